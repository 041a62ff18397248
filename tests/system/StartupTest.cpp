// What the real program says when it cannot start, and what its help names.
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <filesystem>

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
  // Documents folders of their own, named by the desktop's settings, with what stands at the
  // watch folder's place in each.
  const TTempFolder place;
  const auto documents = [&place](const std::string& name) {
    std::filesystem::create_directories(place.Path() + name + "/Quintel/Hoofline");
    std::filesystem::create_directories(place.Path() + name + "-config");
    place.Write(name + "-config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"" + place.Path() + name + "\"\n");
    return "XDG_CONFIG_HOME=" + place.Path() + name + "-config";
  };
  const auto watch = [&place](const std::string& name) { return place.Path() + name + "/Quintel/Hoofline/Relaybox"; };
  const std::string fileSettings = documents("file"), linkSettings = documents("link"),
                    readOnlySettings = documents("read-only"), lockSettings = documents("no-lock");
  place.Write("file/Quintel/Hoofline/Relaybox", "");
  std::filesystem::create_symlink(place.Path() + "gone", watch("link"));
  std::filesystem::create_directory(watch("read-only"));
  place.Write("kms", "{\"device\": \"/dev/no-such-card\"}\n");
  // A runtime folder of this user's where nothing can be made: this process's own in /proc.
  const std::string runtime = "/proc/" + std::to_string(::getpid());
  const struct {
    const char* Name;
    std::vector<std::string> Arguments, Variables;
    std::string ErrTail;
    std::vector<std::string> Through = {};  // what runs the program, in a mount namespace
  } cases[] = {
      {"no display", {}, {"DISPLAY=", "WAYLAND_DISPLAY="}, NoDisplay},
      {"a display nobody serves", {}, {"DISPLAY=:1999", "WAYLAND_DISPLAY="}, NoDisplay},
      {"a platform chosen that cannot start", {}, {"QT_QPA_PLATFORM=xcb", "DISPLAY=:1999"}, NoDisplay},
      {"a platform chosen that does not exist", {}, {"QT_QPA_PLATFORM=bogus"},
       "relaybox: the window system \"bogus\" that QT_QPA_PLATFORM names has no plugin here; unset it, or run "
       "'relaybox --headless' to relay without a window.\n"},
      // Platforms that exist but cannot start: one that comes up without a screen, one that
      // gives up as it starts.
      {"a framebuffer platform without a framebuffer", {}, {"QT_QPA_PLATFORM=linuxfb:fb=/dev/no-such-fb"},
       "relaybox: the window system \"linuxfb:fb=/dev/no-such-fb\" that QT_QPA_PLATFORM names cannot start here; "
       "unset it, or run 'relaybox --headless' to relay without a window.\n"},
      {"an EGL platform without a graphics device", {},
       {"QT_QPA_PLATFORM=eglfs", "QT_QPA_EGLFS_INTEGRATION=eglfs_kms", "QT_QPA_EGLFS_KMS_CONFIG=" + place.Path() + "kms"},
       "relaybox: the window system \"eglfs\" that QT_QPA_PLATFORM names cannot start here; unset it, or run "
       "'relaybox --headless' to relay without a window.\n"},
      {"a display that never answers", {}, {"DISPLAY=127.0.0.1:" + std::to_string(silentDisplay.Port() - 6000),
                                             "WAYLAND_DISPLAY="}, NoDisplay},
      {"a watch folder that cannot be made", {"--headless"}, {"XDG_CONFIG_HOME=" + config.Path()},
       "relaybox: cannot create the watch folder /proc/no-documents/Quintel/Hoofline/Relaybox/: No such file or "
       "directory\n"},
      {"a watch folder path that is a file", {"--headless"}, {fileSettings},
       "relaybox: the watch folder " + watch("file") + " is a file, not a folder\n"},
      {"a watch folder path that is a link to nothing", {"--headless"}, {linkSettings},
       "relaybox: the watch folder " + watch("link") + " is a link to nothing\n"},
      {"a watch folder nothing can be deleted from", {"--headless"}, {readOnlySettings},
       "relaybox: cannot delete files in the watch folder " + watch("read-only") + "/: Read-only file system\n",
       InMountNamespace("mount --bind -o ro '" + watch("read-only") + "' '" + watch("read-only") + "'")},
      {"no folder that can hold the lock", {"--headless"},
       {lockSettings, "HOME=/proc/no-home", "XDG_RUNTIME_DIR=" + runtime},
       "relaybox: cannot lock the watch folder " + watch("no-lock") + "/ against a second relay: no lock file can be "
       "made in " + runtime + "/relaybox/ (No such file or directory), /proc/no-home/.cache/relaybox/ (No such file "
       "or directory)\n"},
  };
  const bool namespaces = MountNamespacesWork();
  for (const auto& c : cases) {
    if (!c.Through.empty() && !namespaces) continue;
    std::vector<std::string> argv = c.Through;
    argv.push_back(RELAYBOX_PROGRAM);
    argv.insert(argv.end(), c.Arguments.begin(), c.Arguments.end());
    const TRunResult run = RunToEnd(argv, 20s, c.Variables);
    EXPECT_EQ(run.ExitCode, 1) << c.Name;
    EXPECT_TRUE(run.Err.ends_with(c.ErrTail)) << c.Name << ": " << run.Err;
    // Without a window, the toolkit's own messages stay out of the way.
    if (!c.Arguments.empty()) {
      EXPECT_EQ(run.Err, c.ErrTail) << c.Name;
    }
  }
  if (!namespaces) GTEST_SKIP() << "no mount namespace can be made here: the rows that need one did not run";
}

TEST(StartupTest, TheHelpNamesTheWatchFolderInUse) {
  const TTempFolder config, noSettings;
  config.Write("user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"/srv/Dokumente\"\n");
  // Without a usable HOME, the user database's home folder, where the locks go too.
  const passwd* user = ::getpwuid(::geteuid());
  ASSERT_NE(user, nullptr);
  const std::string userHome = user->pw_dir;
  const struct {
    std::vector<std::string> Variables;
    std::string Folder;
  } cases[] = {
      {{"XDG_CONFIG_HOME=" + config.Path()}, "/srv/Dokumente/Quintel/Hoofline/Relaybox/"},
      {{"HOME=", "XDG_CONFIG_HOME=" + noSettings.Path()}, userHome + "/Documents/Quintel/Hoofline/Relaybox/"},
      {{"HOME=relative/home", "XDG_CONFIG_HOME=" + noSettings.Path()}, userHome + "/Documents/Quintel/Hoofline/Relaybox/"},
  };
  for (const auto& c : cases) {
    const TRunResult run = RunToEnd({RELAYBOX_PROGRAM, "--help"}, 20s, c.Variables);
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_NE(run.Out.find(" " + c.Folder), std::string::npos) << c.Variables.front() << ": " << run.Out;
  }
}

} // namespace
} // namespace relaybox
