#include "ui/HeadlessOutput.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <atomic>
#include <filesystem>
#include <future>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "LoopbackPeer.h"

extern char** environ;

namespace relaybox {
namespace {

TEST(HeadlessOutputTest, LinesKeepTheirFieldsApart) {
  EXPECT_EQ(StatusLine(u"Updates sent: 3"), "Updates sent: 3");
  EXPECT_EQ(StatusLine(u"Latest Response : a\r\nb\nc\rd\u00e9"), "Latest Response : a b c d\xc3\xa9");
  // No control character of any kind reaches a reader: not a form feed, an escape, a C1 code
  // (a 1252 file's unassigned bytes decode to them) or a Unicode line separator.
  EXPECT_EQ(StatusLine(u"a\f\x1B[2Jb\u0085c\u008Dd\u2028e"), "a  [2Jb c d e");
  TDeliveryReport report;
  report.FileName = u"C000042.txt";
  report.Site = u"Site\tone";
  report.Request = u"http://a.example/u?x=1";
  report.Outcome.StatusCode = 404;
  report.Outcome.ReasonText = u"Not Found";
  report.Duration = std::chrono::milliseconds(153);
  EXPECT_EQ(DeliveryLine(report), "delivery\tC000042.txt\tSite one\thttp://a.example/u?x=1\t404 Not Found\t153 ms");
  report.Outcome.Failure = "timed out after 10 s";
  report.Retry = "next try in 4s";
  EXPECT_EQ(DeliveryLine(report),
            "delivery\tC000042.txt\tSite one\thttp://a.example/u?x=1\tfailed: timed out after 10 s\t153 ms\tnext try in 4s");
  EXPECT_EQ(PassedOverLine(u"C000007.txt", "is not a regular file"), "passed over\tC000007.txt\tis not a regular file");
  EXPECT_EQ(PassedOverLine(u"C00\u00850.txt", "x"), "passed over\tC00 0.txt\tx");
}

// The real program without a window, its output read through a pipe as it comes.
class THeadlessRun {
public:
  explicit THeadlessRun(const std::string& home) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> env{"HOME=" + home};
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
    if (::posix_spawn(&FPid, program, &actions, nullptr, argv, envp.data()) != 0) FPid = 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    FOut = out[0];
  }
  ~THeadlessRun() {
    if (FPid != 0) {
      ::kill(FPid, SIGTERM);
      ::waitpid(FPid, nullptr, 0);
    }
    if (FOut >= 0) ::close(FOut);
  }

  // Reads until the output holds `text`, at most `limit`; true when it does. With a `pause`,
  // as a slow reader: 512 bytes, then the pause.
  bool ReadUntil(const std::string& text, std::chrono::seconds limit,
                 std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Printed.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd ready{FOut, POLLIN, 0};
      char buffer[512];
      if (::poll(&ready, 1, 100) != 1) continue;
      const ssize_t n = ::read(FOut, buffer, sizeof buffer);
      if (n <= 0) break;
      Printed.append(buffer, static_cast<std::size_t>(n));
      std::this_thread::sleep_for(pause);
    }
    return Printed.find(text) != std::string::npos;
  }
  void Signal(int signal) const { ::kill(FPid, signal); }
  // The files the program has mapped, one a line.
  std::string Maps() const {
    std::ifstream maps("/proc/" + std::to_string(FPid) + "/maps");
    return {std::istreambuf_iterator<char>(maps), std::istreambuf_iterator<char>()};
  }

  std::string Printed;

private:
  pid_t FPid = 0;
  int FOut = -1;
};

TEST(HeadlessOutputTest, EachLineArrivesAsItHappens) {
  QTemporaryDir home;
  const std::string folder = home.path().toStdString() + "/Documents/Quintel/Hoofline/Relaybox/";
  THeadlessRun run(home.path().toStdString());
  // Before any update: the first line is not held back in a buffer.
  ASSERT_TRUE(run.ReadUntil("\n", std::chrono::seconds(20)));
  EXPECT_EQ(run.Printed, "Watching " + folder + "\n");
  // Without a window no windowing platform is loaded, and no font.
  const std::string maps = run.Maps();
  EXPECT_NE(maps.find("libQt6Core"), std::string::npos);
  EXPECT_EQ(maps.find("/platforms/"), std::string::npos);
  EXPECT_EQ(maps.find("/fonts/"), std::string::npos);

  TLoopbackPeer fine([](int c) {
    TLoopbackPeer::ReadHeader(c);
    TLoopbackPeer::WriteBytes(c, "HTTP/1.0 200 OK\r\n\r\nfine");
  });
  TLoopbackPeer missing([](int c) {
    TLoopbackPeer::ReadHeader(c);
    TLoopbackPeer::WriteBytes(c, "HTTP/1.0 404 Not Found\r\n\r\ngone");
  });
  // A Location leads on from a redirect only; each hop counts once, closed connections too,
  // and the sixth redirect is one too many. Paths "/r/N/K" redirect until K reaches N; no
  // redirect's page is ever the response.
  std::vector<std::string> redirected;
  std::optional<TLoopbackPeer> redirector;  // read what it saw once it is gone
  redirector.emplace(
      [&redirected](int c) {
        const std::string header = TLoopbackPeer::ReadHeader(c);
        const std::string path = header.substr(4, header.find(' ', 4) - 4);
        redirected.push_back(path);
        int n = 0, k = 0;
        if (std::sscanf(path.c_str(), "/r/%d/%d", &n, &k) == 2 && k < n) {
          return TLoopbackPeer::WriteBytes(c, "HTTP/1.0 302 Found\r\nLocation: /r/" + std::to_string(n) + "/" +
                                                  std::to_string(k + 1) + "\r\nContent-Length: 5\r\n\r\nmoved");
        }
        TLoopbackPeer::WriteBytes(c, "HTTP/1.0 200 OK\r\nLocation: /elsewhere\r\n\r\nreached");
      },
      11);
  // A server that floods the reply until the relay gives up: the time-out leaves no response.
  std::atomic<bool> floodAccepted{false}, floodLeft{false};
  TLoopbackPeer flood([&](int c) {
    TLoopbackPeer::ReadHeader(c);
    TLoopbackPeer::WriteBytes(c, "HTTP/1.0 200 OK\r\n\r\n");
    floodAccepted = true;
    floodLeft = TLoopbackPeer::Flood(c, std::string(65536, 'f'), std::chrono::seconds(30));
  });
  const std::string redirect = "http://127.0.0.1:" + redirector->Port();
  const std::string urls[] = {"http://127.0.0.1:" + fine.Port() + "/1", "http://127.0.0.1:" + missing.Port() + "/2",
                              "http://127.0.0.1:" + ClosedPort() + "/3", redirect + "/4", redirect + "/r/3/0",
                              redirect + "/r/9/0", "http://127.0.0.1:" + flood.Port() + "/7"};
  for (int n = 1; n <= 7; ++n) {
    const std::string name = "C00000" + std::to_string(n) + ".txt";
    std::ofstream(home.path().toStdString() + "/update", std::ios::binary) << "Site " << n << "\r\n" << urls[n - 1] << "\r\n";
    std::filesystem::rename(home.path().toStdString() + "/update", folder + name);
  }
  ASSERT_TRUE(run.ReadUntil("Updates sent: 4   Failed: 2\n", std::chrono::seconds(30))) << run.Printed;
  // The first six are on record while the seventh still takes its flood.
  for (int i = 0; i < 100 && !floodAccepted; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(floodAccepted && !floodLeft);
  ASSERT_TRUE(run.ReadUntil("Updates sent: 4   Failed: 3\n", std::chrono::seconds(20))) << run.Printed;
  const std::regex expected(
      "Watching [^\n]*\n"
      "delivery\tC000001.txt\tSite 1\thttp://[^\t]*/1\t200 OK\t[0-9]+ ms\n"
      "Latest Response : fine\nUpdates sent: 1\n"
      "delivery\tC000002.txt\tSite 2\thttp://[^\t]*/2\t404 Not Found\t[0-9]+ ms\n"
      "Latest Response : 404 Not Found: gone\nUpdates sent: 2\n"
      "delivery\tC000003.txt\tSite 3\thttp://[^\t]*/3\tfailed: refused\t[0-9]+ ms\n"
      "Latest Response : failed: refused\nUpdates sent: 2   Failed: 1\n"
      "delivery\tC000004.txt\tSite 4\thttp://[^\t]*/4\t200 OK\t[0-9]+ ms\n"
      "Latest Response : reached\nUpdates sent: 3   Failed: 1\n"
      "delivery\tC000005.txt\tSite 5\thttp://[^\t]*/r/3/0\t200 OK\t[0-9]+ ms\n"
      "Updates sent: 4   Failed: 1\n"
      "delivery\tC000006.txt\tSite 6\thttp://[^\t]*/r/9/0\tfailed: too many redirects\t[0-9]+ ms\n"
      "Latest Response : failed: too many redirects\nUpdates sent: 4   Failed: 2\n"
      "delivery\tC000007.txt\tSite 7\thttp://[^\t]*/7\tfailed: timed out after 10 s\t[0-9]+ ms\n"
      "Latest Response : failed: timed out after 10 s\nUpdates sent: 4   Failed: 3\n");
  EXPECT_TRUE(std::regex_match(run.Printed, expected)) << run.Printed;
  // The log has the same records, each after its local time.
  std::ifstream logFile(home.path().toStdString() + "/.local/state/relaybox/relaybox.log");
  const std::string log{std::istreambuf_iterator<char>(logFile), std::istreambuf_iterator<char>()};
  const std::regex logged(
      "(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d\t(Watching|delivery\tC00000\\d\\.txt)[^\n]*\n){8}");
  EXPECT_TRUE(std::regex_match(log, logged)) << log;
  for (int i = 0; i < 100 && !floodLeft; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(floodLeft);  // the relay closed the flooding connection
  redirector.reset();
  const std::vector<std::string> hops{"/4",     "/r/3/0", "/r/3/1", "/r/3/2", "/r/3/3", "/r/9/0",
                                      "/r/9/1", "/r/9/2", "/r/9/3", "/r/9/4", "/r/9/5"};
  EXPECT_EQ(redirected, hops);
}

// A reader slower than the relay, with deliveries of 16-KB addresses, gets each delivery's
// record with its status lines to the end of the program, and learns how many lines it did
// not get: none are lost without a word.
TEST(HeadlessOutputTest, AtTheEndASlowReaderGetsWholeDeliveriesOrLearnsWhatWasDropped) {
  QTemporaryDir home;
  const std::string folder = home.path().toStdString() + "/Documents/Quintel/Hoofline/Relaybox/";
  std::filesystem::create_directories(folder);
  constexpr int Updates = 40;  // each prints 16 KB of address and a reply of about 4 KB
  std::atomic<int> served{0};
  TLoopbackPeer server(
      [&served](int connection) {
        TLoopbackPeer::ReadHeader(connection);
        TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\n\r\n" + std::to_string(++served) + std::string(8192, 'r'));
      },
      Updates);
  for (int n = 1; n <= Updates; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "C%06d.txt", n);
    std::ofstream(folder + name, std::ios::binary)
        << "Site\r\nhttp://127.0.0.1:" << server.Port() << "/?" << std::string(16000, 'a') << "\r\n";
  }
  THeadlessRun run(home.path().toStdString());  // not read until the program is told to end
  for (int i = 0; i < 600 && served < Updates; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  run.Signal(SIGTERM);
  run.ReadUntil("\x01", std::chrono::seconds(2), std::chrono::milliseconds(20));  // slowly: 25 KB/s
  run.ReadUntil("\x01", std::chrono::seconds(30));                                 // then the rest
  // "Watching", whole deliveries (record, reply, count), then the note if lines were dropped.
  std::istringstream lines(run.Printed);
  std::vector<std::string> seen;
  for (std::string line; std::getline(lines, line);) seen.push_back(line.substr(0, line.find_first_of("\t:")));
  ASSERT_GE(seen.size(), 1u);
  EXPECT_EQ(seen.front(), "Watching " + folder);
  std::size_t dropped = 0;
  const bool noted = std::sscanf(seen.back().c_str(), "(%zu lines were dropped", &dropped) == 1;
  if (noted) seen.pop_back();
  EXPECT_EQ(seen.size() + dropped, 1u + 3 * Updates);
  EXPECT_EQ(run.Printed.back(), '\n');
  EXPECT_EQ((seen.size() - 1) % 3, 0u);
  for (std::size_t i = 1; i + 2 < seen.size(); i += 3) {
    EXPECT_EQ(seen[i] + "|" + seen[i + 1] + "|" + seen[i + 2], "delivery|Latest Response |Updates sent") << i;
  }
}

// Like a delivery's: a record of uneven length (up to 20 KB, so that a pipe's pages fill
// unevenly) and two status lines, all naming the group's number.
std::string Group(int n) {
  const std::string id = std::to_string(n);
  return "delivery\t" + id + "\t" + std::string(static_cast<std::size_t>(n) * 2731 % 20000, 'a') +
         "\nLatest Response : " + id + "\nUpdates sent: " + id;
}

// The writer ends with readers of every pace, on a pipe and on a stream socket. The reader
// gets whole groups in order, then, when some were dropped, a note that counts them exactly;
// the writer's end does not wait for the reader. The output never blocks: a write it could
// not take at once would leave a group cut.
TEST(HeadlessOutputTest, AtTheEndEachGroupIsWholeAndEveryDroppedLineCounted) {
  enum TPace { Fast, Slow, Never };  // Never: not before the writer is gone
  const struct { const char* Name; bool Socket; TPace Pace; } cases[] = {
      {"pipe, fast reader", false, Fast}, {"pipe, slow reader", false, Slow}, {"pipe, never read", false, Never},
      {"socket, slow reader", true, Slow}, {"socket, never read", true, Never}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const int groups = c.Pace == Fast ? 40 : 200;  // 40 wait at most 1 MiB
    int ends[2];
    ASSERT_EQ(c.Socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) : ::pipe2(ends, O_CLOEXEC), 0);
    ASSERT_EQ(::fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    std::atomic<bool> writerGone{false};
    std::string printed;
    std::thread reader([&] {
      char buffer[4096];
      for (int i = 0; i < 6000; ++i) {  // a minute at most
        pollfd ready{ends[0], POLLIN, 0};
        if (c.Pace == Never && !writerGone) ::poll(nullptr, 0, 10);
        if ((c.Pace == Never && !writerGone) || ::poll(&ready, 1, 10) != 1) continue;
        const ssize_t n = ::read(ends[0], buffer, sizeof buffer);
        if (n <= 0) return;  // the writer's copy and ours are closed
        printed.append(buffer, static_cast<std::size_t>(n));
        if (c.Pace == Slow && !writerGone) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    auto writer = std::make_unique<THeadlessWriter>(ends[1]);
    for (int n = 1; n <= groups; ++n) writer->Write(Group(n));
    auto ending = std::async(std::launch::async, [&writer] { writer.reset(); });
    EXPECT_EQ(ending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    writerGone = true;
    ending.wait();
    ::close(ends[1]);
    reader.join();
    ::close(ends[0]);

    std::size_t at = 0, lines = 0;
    for (int last = 0; printed.compare(at, 9, "delivery\t") == 0; lines += 3) {
      const int n = std::atoi(printed.c_str() + at + 9);
      const std::string group = Group(n) + "\n";
      ASSERT_EQ(printed.compare(at, group.size(), group), 0) << "group " << n << " is cut";
      ASSERT_GT(n, last);
      last = n;
      at += group.size();
    }
    std::size_t dropped = 0;
    const bool noted = std::sscanf(printed.c_str() + at, "(%zu lines", &dropped) == 1;
    const std::string note = "(" + std::to_string(dropped) + " lines were dropped: the output was not read)\n";
    EXPECT_TRUE(printed.substr(at) == (noted ? note : "")) << printed.substr(at, 200);
    EXPECT_TRUE(c.Pace == Never || noted == (c.Pace == Slow)) << noted;
    EXPECT_EQ(lines + dropped, noted || c.Pace == Fast ? 3u * groups : lines);
  }
}

TEST(HeadlessOutputTest, AReaderThatStopsReadingHoldsNothingUp) {
  QTemporaryDir home;
  const std::string folder = home.path().toStdString() + "/Documents/Quintel/Hoofline/Relaybox/";
  std::filesystem::create_directories(folder);
  constexpr int Updates = 25;  // their replies alone fill the pipe several times
  std::atomic<int> served{0};
  TLoopbackPeer server(
      [&served](int connection) {
        TLoopbackPeer::ReadHeader(connection);
        TLoopbackPeer::WriteBytes(connection, "HTTP/1.0 200 OK\r\n\r\n" + std::string(8192, 'r'));
        ++served;
      },
      Updates);
  for (int n = 1; n <= Updates; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "C%06d.txt", n);
    std::ofstream(folder + name, std::ios::binary) << "Site\r\nhttp://127.0.0.1:" << server.Port() << "/\r\n";
  }
  THeadlessRun run(home.path().toStdString());  // its output is never read
  for (int i = 0; i < 600 && served < Updates; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(served, Updates);
}

} // namespace
} // namespace relaybox
