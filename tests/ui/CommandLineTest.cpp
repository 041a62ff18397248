#include "ui/CommandLine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "LoopbackPeer.h"

extern char** environ;

namespace relaybox {
namespace {

TEST(CommandLineTest, ReadsTheOptionsTheQtWay) {
  struct {
    QStringList Arguments;
    bool Headless, Help, Version;
    QString Error;
  } const cases[] = {
      {{}, false, false, false, ""},
      {{"--headless"}, true, false, false, ""},
      {{"-h"}, false, true, false, ""},
      {{"--help"}, false, true, false, ""},
      {{"-v"}, false, false, true, ""},
      {{"--version", "--headless"}, true, false, true, ""},
      {{"--bogus"}, false, false, false, "Unknown option 'bogus'."},
      {{"folder"}, false, false, false, "Unexpected argument 'folder'."},
  };
  for (const auto& c : cases) {
    const TCommandLine line = ParseCommandLine(QStringList{"relaybox"} + c.Arguments);
    EXPECT_EQ(line.Headless, c.Headless) << c.Arguments.join(' ').toStdString();
    EXPECT_EQ(line.ShowHelp, c.Help) << c.Arguments.join(' ').toStdString();
    EXPECT_EQ(line.ShowVersion, c.Version) << c.Arguments.join(' ').toStdString();
    EXPECT_EQ(line.Error, c.Error);
  }
  const QString help = ParseCommandLine({"relaybox"}).HelpText;
  EXPECT_TRUE(help.startsWith("Usage: relaybox [options]"));
  EXPECT_TRUE(help.contains("--headless"));
}

TEST(CommandLineTest, StatusTextsBecomeSingleLines) {
  EXPECT_EQ(StatusLine(u"Updates sent: 3"), "Updates sent: 3");
  EXPECT_EQ(StatusLine(u"Latest Response : a\r\nb\nc\rd\u00e9"), "Latest Response : a b c d\xc3\xa9");
}

// Runs the real program without a window against a loopback server and reads what it prints.
TEST(HeadlessRunTest, PrintsEachStatusChangeAsOneLine) {
  QTemporaryDir home;
  const std::string folder = home.path().toStdString() + "/Documents/Quintel/Hoofline/Relaybox/";
  std::filesystem::create_directories(folder);
  TLoopbackPeer peer([](int connection) {
    TLoopbackPeer::ReadHeader(connection);
    TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\n\r\nfine\r\nthanks");
  });
  std::ofstream(folder + "C000001.txt", std::ios::binary)
      << "Site\r\nhttp://127.0.0.1:" << peer.Port() << "/u\r\n";

  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> env{"HOME=" + home.path().toStdString()};
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (!entry.starts_with("HOME=") && !entry.starts_with("XDG_") && !entry.starts_with("QT_QPA_PLATFORM=")) {
      env.push_back(entry);
    }
  }
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char program[] = RELAYBOX_PROGRAM;
  char headless[] = "--headless";
  char* argv[] = {program, headless, nullptr};
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, program, &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);

  std::string printed;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (printed.find("Updates sent: 1\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd ready{out[0], POLLIN, 0};
    char buffer[512];
    if (::poll(&ready, 1, 1000) != 1) continue;
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    printed.append(buffer, static_cast<std::size_t>(n));
  }
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  ::close(out[0]);
  EXPECT_EQ(printed, "Watching " + folder + "\nLatest Response : fine thanks\nUpdates sent: 1\n");
}

} // namespace
} // namespace relaybox
