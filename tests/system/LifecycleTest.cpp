#include <gtest/gtest.h>
#include <signal.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <numeric>
#include <random>

#include "LoopbackPeer.h"
#include "RelayRun.h"
#include "VirtualDisplay.h"

namespace relaybox {
namespace {

using namespace std::chrono_literals;

// How the user, or another program, ends the program.
// The display lost: its server ended, or the program's connection to it killed.
enum class TEnding { CloseBox, FileExit, WindowDestroyed, DisplayLost, ConnectionKilled, Sigterm, Sigint, Sighup };
constexpr const char* EndingNames[] = {"CloseBox",         "FileExit", "WindowDestroyed", "DisplayLost",
                                       "ConnectionKilled", "Sigterm",  "Sigint",          "Sighup"};

void PrintTo(TEnding ending, std::ostream* out) { *out << EndingNames[static_cast<int>(ending)]; }

bool Windowed(TEnding ending) { return ending <= TEnding::ConnectionKilled; }

// Opens "File" with a click on the menu bar, then picks "Exit" from the keyboard: Down
// selects the menu's one item wherever the menu was drawn, Return triggers it. A click that
// opened no menu (the window not yet taking input) is repeated.
bool ChooseFileExit(const TVirtualDisplay& display, const std::string& window, pid_t pid) {
  for (int click = 0; click < 3; ++click) {
    display.XDoTool({"mousemove", "--window", window, "15", "10", "click", "1"});
    for (int wait = 0; wait < 20; ++wait) {
      if (display.Windows(pid).size() > 1) return display.XDoTool({"key", "Down", "Return"}).ExitCode == 0;
      std::this_thread::sleep_for(100ms);
    }
  }
  return false;
}

// Ends the running program the way `ending` says; false when that could not be done.
bool End(TRelayRun& relay, TEnding ending, TVirtualDisplay& display, const std::string& window) {
  switch (ending) {
    case TEnding::CloseBox:
      return display.Run({"/usr/bin/python3", RELAYBOX_CLOSE_WINDOW, window}).ExitCode == 0;
    case TEnding::FileExit:
      return ChooseFileExit(display, window, relay.Process().Pid());
    case TEnding::WindowDestroyed:
      return display.XDoTool({"windowclose", window}).ExitCode == 0;
    case TEnding::DisplayLost:
      display.Stop();
      return true;
    case TEnding::ConnectionKilled:
      return display.XDoTool({"windowkill", window}).ExitCode == 0;
    case TEnding::Sigterm:
      relay.Process().Signal(SIGTERM);
      return true;
    case TEnding::Sigint:
      relay.Process().Signal(SIGINT);
      return true;
    case TEnding::Sighup:
      relay.Process().Signal(SIGHUP);
      return true;
  }
  return false;
}

// Holds a connection without ever answering until the client drops it (at most 15 s).
void HoldSilently(int connection) {
  pollfd ready{connection, POLLIN, 0};
  char byte = 0;
  while (::poll(&ready, 1, 15000) == 1 && ::recv(connection, &byte, 1, 0) > 0) {
  }
}

class LifecycleTest : public ::testing::TestWithParam<TEnding> {};

// Ending the program while a server keeps it waiting for a reply abandons that delivery: the
// program exits with 0 long before the delivery's own 10-s time-out would, and a new
// instance can take over the watch folder at once.
TEST_P(LifecycleTest, EndingDuringADeliveryExitsAndFreesTheWatchFolder) {
  const TEnding ending = GetParam();
  std::string error;
  TVirtualDisplay display;
  if (Windowed(ending)) {
    ASSERT_TRUE(display.Start(error)) << error;
  }
  TRelayRun relay;
  ASSERT_TRUE(relay.Start(error, display.Display())) << error;  // headless without a display
  std::string window;
  if (Windowed(ending)) {
    window = display.FindWindow("Hoofline Relaybox", 10s);
    ASSERT_FALSE(window.empty()) << relay.Errors();
  }

  std::promise<void> requested;
  const TLoopbackPeer silent([&requested](int connection) {
    TLoopbackPeer::ReadHeader(connection);
    requested.set_value();
    HoldSilently(connection);
  });
  relay.AddUpdate("silent", "http://127.0.0.1:" + silent.Port() + "/update");
  ASSERT_EQ(requested.get_future().wait_for(10s), std::future_status::ready) << relay.Errors();

  ASSERT_TRUE(End(relay, ending, display, window));
  const bool ended = relay.Process().Wait(5s);
  if (!ended) relay.Stop();  // frees the silent peer now rather than after the time-out
  ASSERT_TRUE(ended) << "still running after it was told to end";
  EXPECT_EQ(relay.Process().ExitCode(), 0);
  EXPECT_FALSE(HasSanitizerReport(relay.Errors())) << relay.Errors();

  const TLoopbackPeer answering([](int connection) {
    TLoopbackPeer::ReadHeader(connection);
    TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\n\r\nok");
  });
  relay.AddUpdate("answering", "http://127.0.0.1:" + answering.Port() + "/update");
  ASSERT_TRUE(relay.Start(error)) << error;
  EXPECT_TRUE(relay.WaitForSent(1, 20s)) << relay.Output() << relay.Errors();
  relay.Stop();
  EXPECT_FALSE(HasSanitizerReport(relay.Errors())) << relay.Errors();
}

// Neither a bind mount of the watch folder, nor cleaning it away or making it anew, nor a start
// from a session with a runtime folder, nor one from another home that shares no lock folder,
// lets a second relay take the folder of one started without.
TEST(SingleInstanceTest, ASecondRelayOnTheFolderIsRefusedHoweverItIsStarted) {
  TRelayRun first;
  std::string error;
  first.AddUpdate("refused", "http://127.0.0.1:" + ClosedPort() + "/");
  ASSERT_TRUE(first.Start(error)) << error;
  ASSERT_TRUE(first.WaitForSent(0, 20s, 1)) << first.Errors();
  const TTempFolder runtime;
  ::chmod(runtime.Path().c_str(), 0700);
  // A second relay whose documents folder is elsewhere, its watch folder the first's through a
  // bind mount.
  const std::string elsewhere = first.Home() + "elsewhere/";
  std::filesystem::create_directories(elsewhere + "Quintel/Hoofline/Relaybox");
  std::filesystem::create_directories(first.Home() + "elsewhere-config");
  std::ofstream(first.Home() + "elsewhere-config/user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"" << elsewhere << "\"\n";
  const std::vector<std::string> throughBindMount = InMountNamespace(
      "mount --bind '" + first.WatchFolder() + "' '" + elsewhere + "Quintel/Hoofline/Relaybox'");
  // Another home whose documents folder is a link to the first's, where no cache folder can be
  // made, and a runtime folder of its own.
  const TTempFolder otherHome, otherRuntime;
  std::filesystem::create_directory_symlink(first.Home() + "Documents", otherHome.Path() + "Documents");
  otherHome.Write(".cache", "");
  ::chmod(otherRuntime.Path().c_str(), 0700);
  const bool namespaces = MountNamespacesWork();
  enum TChange { AsItIs, CleanedAway, MadeAnew };
  const struct {
    const char* Name;
    TChange Change;  // done to the watch folder first
    bool BindMount, RuntimeFolder;
    bool OtherHome = false;
  } cases[] = {
      {"through a bind mount", AsItIs, true, false},
      {"after the folder was cleaned away", CleanedAway, false, false},
      {"from a session with a runtime folder", AsItIs, false, true},
      {"through a bind mount of the folder made anew", MadeAnew, true, false},
      {"through a bind mount, from a session with a runtime folder", AsItIs, true, true},
      {"from another home with its own runtime folder and no cache folder", AsItIs, false, false, true},
  };
  int sent = 1;  // each refused: they count as failed
  for (const auto& c : cases) {
    if (c.Change == CleanedAway) std::filesystem::remove_all(first.Home() + "Documents");
    if (c.Change == MadeAnew) {
      // Once the new folder's update is sent, the first relay has taken the folder.
      std::filesystem::create_directories(first.WatchFolder());
      first.AddUpdate("refused", "http://127.0.0.1:" + ClosedPort() + "/");
      ASSERT_TRUE(first.WaitForSent(0, 20s, ++sent)) << first.Output() << first.Errors();
    }
    if (c.BindMount && !namespaces) continue;
    std::filesystem::remove(first.Home() + "second.err");
    TChildProcess second;
    std::vector<std::string> env = FreshHomeEnvironment(c.OtherHome ? otherHome.Path() : first.Home());
    if (c.RuntimeFolder) env.push_back("XDG_RUNTIME_DIR=" + runtime.Path());
    if (c.OtherHome) env.push_back("XDG_RUNTIME_DIR=" + otherRuntime.Path());
    if (c.BindMount) env.push_back("XDG_CONFIG_HOME=" + first.Home() + "elsewhere-config");
    std::vector<std::string> argv = c.BindMount ? throughBindMount : std::vector<std::string>{};
    argv.insert(argv.end(), {RELAYBOX_PROGRAM, "--headless"});
    ASSERT_TRUE(second.Start(argv, env, first.Home(), "/dev/null", first.Home() + "second.err", error)) << error;
    ASSERT_TRUE(second.Wait(20s)) << c.Name << ": a second relay runs on the folder";
    EXPECT_EQ(second.ExitCode(), 1) << c.Name;
    EXPECT_EQ(ReadFile(first.Home() + "second.err"), "Hoofline Relaybox is already running.\n") << c.Name;
  }
  if (!namespaces) GTEST_SKIP() << "no mount namespace can be made here: the bind-mount rows did not run";
}

std::string EndingName(const ::testing::TestParamInfo<TEnding>& info) {
  return EndingNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Endings, LifecycleTest,
                         ::testing::Values(TEnding::CloseBox, TEnding::FileExit, TEnding::WindowDestroyed,
                                           TEnding::DisplayLost, TEnding::ConnectionKilled, TEnding::Sigterm,
                                           TEnding::Sigint, TEnding::Sighup),
                         EndingName);

// SIGTERM ends the program with 0 in every phase: while it starts, and between the deliveries
// of a flow of long addresses, where the quit that the closed window asked for used to be
// discarded by the next delivery's wait, so that the program relayed on and no later signal
// ended it; and with its output stalled. Each round sends it at another moment.
// Whether the process has a handler for SIGTERM.
bool CatchesSigterm(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigCgt:")) return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1) != 0;
  }
  return false;
}

TEST(ShutdownTest, ASignalEndsTheProgramWhateverItIsDoing) {
  TLoopbackPeer quick(
      [](int connection) {
        TLoopbackPeer::ReadHeader(connection);
        TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
      },
      1000);
  const std::string address = "http://127.0.0.1:" + quick.Port() + "/u?" + std::string(16000, 'q');
  for (int round = 0; round < 15; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TRelayRun relay;
    for (int n = 0; n < 40; ++n) relay.AddUpdate("flow", address + "&n=" + std::to_string(n));
    int stalled[2] = {-1, -1};  // the last round's stdout: a pipe that is full and never read
    if (round == 14) {
      ASSERT_EQ(::mkfifo((relay.Home() + "out").c_str(), 0600), 0);
      stalled[0] = ::open((relay.Home() + "out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      stalled[1] = ::open((relay.Home() + "out").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      ::fcntl(stalled[1], F_SETPIPE_SZ, 1024 * 1024);
      for (int i = 0; i < 1024 && ::write(stalled[1], address.data(), 4096) > 0; ++i) {
      }
    }
    std::string error;
    ASSERT_TRUE(relay.Start(error)) << error;
    // Rounds 0-3 at start-up, 0-300 ms after its own code began (it catches SIGTERM from
    // then on; before, the process is still being loaded), the others while updates flow (1-3 s).
    if (round < 4) {
      for (int i = 0; i < 5000 && !CatchesSigterm(relay.Process().Pid()); ++i) std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(round < 4 ? 100ms * round : 1s + 200ms * (round - 4));
    relay.Process().Signal(SIGTERM);
    const bool ended = relay.Process().Wait(5s);
    if (!ended) relay.Stop();
    EXPECT_TRUE(ended) << "still running 5 s after SIGTERM";
    EXPECT_EQ(relay.Process().ExitCode(), 0);
    for (const int fd : stalled) {
      if (fd >= 0) ::close(fd);
    }
  }
}

// Stopping the program at any moment of a flow, again and again, loses no update: what was
// queued is delivered after the next start, ahead of newer files and in order. A kill can
// send the one update in flight twice; SIGTERM sends none twice.
class StopAnyMomentTest : public ::testing::TestWithParam<int> {};

TEST_P(StopAnyMomentTest, EveryUpdateArrivesInOrder) {
  const int signal = GetParam();
  constexpr int Updates = 40, Stops = 4;
  std::mutex lock;
  std::vector<int> arrived;
  TLoopbackPeer server(
      [&](int connection) {
        const std::string request = TLoopbackPeer::ReadHeader(connection);
        // A stop between the connect and the request closes the connection unused: the update
        // stays queued for the next start, and nothing arrived.
        if (request.empty()) return;
        const std::size_t n = request.find("n=");
        {
          const std::lock_guard guard(lock);
          arrived.push_back(n == std::string::npos ? -1 : std::atoi(request.c_str() + n + 2));
        }
        // A long reply keeps the delivery busy after the reply is complete, while it is read.
        TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\n\r\n" + std::string(256 * 1024, 'r'));
      },
      Updates * 2);
  const auto count = [&] {
    const std::lock_guard guard(lock);
    return arrived.size();
  };
  TRelayRun relay;
  for (int n = 1; n <= Updates; ++n) relay.AddUpdate("flow", "http://127.0.0.1:" + server.Port() + "/u?n=" + std::to_string(n));
  std::string error;
  std::mt19937 random(static_cast<unsigned>(signal));
  for (int stop = 0; stop <= Stops; ++stop) {
    ASSERT_TRUE(relay.Start(error)) << error;
    if (stop == Stops) break;
    const std::size_t before = count();
    for (int i = 0; i < 500 && count() < before + 3; ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 250));
    relay.Process().Signal(signal);
    ASSERT_TRUE(relay.Process().Wait(5s));
    EXPECT_FALSE(HasSanitizerReport(relay.Errors())) << relay.Errors();
  }
  for (int i = 0; i < 3000; ++i) {
    {
      const std::lock_guard guard(lock);
      if (!arrived.empty() && arrived.back() == Updates) break;
    }
    std::this_thread::sleep_for(10ms);
  }
  relay.Stop();
  const std::lock_guard guard(lock);
  std::vector<int> first;  // each update at its first arrival
  for (const int n : arrived) {
    if (std::find(first.begin(), first.end(), n) == first.end()) first.push_back(n);
  }
  std::vector<int> all(Updates);
  std::iota(all.begin(), all.end(), 1);
  EXPECT_EQ(first, all) << relay.Output();
  EXPECT_LE(arrived.size() - first.size(), signal == SIGKILL ? std::size_t{Stops} : std::size_t{0});
}

INSTANTIATE_TEST_SUITE_P(Signals, StopAnyMomentTest, ::testing::Values(SIGKILL, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) { return info.param == SIGKILL ? "Sigkill" : "Sigterm"; });

} // namespace
} // namespace relaybox
