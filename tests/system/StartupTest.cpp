// What the real program says when it cannot start, and what its help names.
#include <gtest/gtest.h>

#include <unistd.h>

#include "LoopbackPeer.h"
#include "RelayRun.h"

namespace relaybox {
namespace {

using namespace std::chrono_literals;

// Listens on a loopback port of the system's choosing, takes connections and never answers.
class TSilentListener {
public:
  TSilentListener() { FListener = TLoopbackPeer::Listen(FPort); }
  ~TSilentListener() { ::close(FListener); }
  int Port() const { return FPort; }

private:
  int FListener = -1;
  unsigned short FPort = 0;
};

constexpr char NoDisplay[] =
    "relaybox: no display to show the window on; run 'relaybox --headless' to relay without one.\n";

TEST(StartupTest, WhatCannotWorkIsSaidPlainly) {
  // An X display over TCP (port 6000 + display number) that takes the connection and never
  // answers, as a stopped X server does.
  TSilentListener silentDisplay;
  ASSERT_GT(silentDisplay.Port(), 6000);
  // A desktop whose documents folder lies where no folder can be made.
  const TTempFolder config;
  config.Write("user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"/proc/no-documents\"\n");
  const struct {
    const char* Name;
    std::vector<std::string> Arguments, Variables;
    std::string ErrTail;
  } cases[] = {
      {"no display", {}, {"DISPLAY=", "WAYLAND_DISPLAY="}, NoDisplay},
      {"a display nobody serves", {}, {"DISPLAY=:1999", "WAYLAND_DISPLAY="}, NoDisplay},
      {"a platform chosen that cannot start", {}, {"QT_QPA_PLATFORM=xcb", "DISPLAY=:1999"}, NoDisplay},
      {"a platform chosen that does not exist", {}, {"QT_QPA_PLATFORM=bogus"},
       "relaybox: the window system \"bogus\" that QT_QPA_PLATFORM names has no plugin here; unset it, or run "
       "'relaybox --headless' to relay without a window.\n"},
      {"a display that never answers", {}, {"DISPLAY=127.0.0.1:" + std::to_string(silentDisplay.Port() - 6000),
                                             "WAYLAND_DISPLAY="}, NoDisplay},
      {"a watch folder that cannot be made", {"--headless"}, {"XDG_CONFIG_HOME=" + config.Path()},
       "relaybox: cannot create the watch folder /proc/no-documents/Quintel/Hoofline/Relaybox/: No such file or "
       "directory\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{RELAYBOX_PROGRAM};
    argv.insert(argv.end(), c.Arguments.begin(), c.Arguments.end());
    const TRunResult run = RunToEnd(argv, 20s, c.Variables);
    EXPECT_EQ(run.ExitCode, 1) << c.Name;
    EXPECT_TRUE(run.Err.ends_with(c.ErrTail)) << c.Name << ": " << run.Err;
    // Without a window, the toolkit's own messages stay out of the way.
    if (!c.Arguments.empty()) {
      EXPECT_EQ(run.Err, c.ErrTail) << c.Name;
    }
  }
}

TEST(StartupTest, TheHelpNamesTheWatchFolderInUse) {
  const TTempFolder config;
  config.Write("user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"/srv/Dokumente\"\n");
  const TRunResult run = RunToEnd({RELAYBOX_PROGRAM, "--help"}, 20s, {"XDG_CONFIG_HOME=" + config.Path()});
  EXPECT_EQ(run.ExitCode, 0);
  EXPECT_NE(run.Out.find("/srv/Dokumente/Quintel/Hoofline/Relaybox/"), std::string::npos) << run.Out;
}

} // namespace
} // namespace relaybox
