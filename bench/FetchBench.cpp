// Fetches a 200 MiB body from a loopback HTTP server with relaybox-fetch and with curl, in
// alternating rounds, and prints each tool's best throughput and their ratio. Both tools write
// the body into a pipe that this program drains and counts, so they pay the same output cost.
//   relaybox_fetch_bench [--rounds N] [--fetch PATH] [--curl PATH]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "RelayHarness.h"

namespace relaybox {
namespace {

using namespace bench;

constexpr std::size_t BodySize = 209715200;
constexpr std::size_t Chunk = std::size_t{1} << 20;
constexpr auto ChildTimeout = std::chrono::seconds(120);
constexpr int MaxRounds = 100;

// Answers every request on 127.0.0.1 with the same 200 MiB body, one connection at a time,
// until destroyed.
class TBodyServer {
public:
  TBodyServer() : Listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), Body(Chunk) {
    for (std::size_t i = 0; i < Body.size(); ++i) Body[i] = static_cast<char>('a' + i % 26);
    Port = BindLoopback(Listener.Get(), true);
    Thread = std::thread([this] { AcceptLoop(); });
  }
  ~TBodyServer() {
    Stop = true;
    Thread.join();
  }
  unsigned short GetPort() const { return Port; }

private:
  TFd Listener;
  unsigned short Port = 0;
  std::vector<char> Body;
  std::atomic<bool> Stop = false;
  std::thread Thread;

  // Polls in short steps so that it notices Stop.
  void AcceptLoop() {
    while (!Stop) {
      pollfd p{Listener.Get(), POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      TFd c(::accept4(Listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (c.Get() >= 0) Serve(c.Get());
    }
  }

  void Serve(int c) {
    const timeval timeout{30, 0};
    ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    // Reads the request header up to its blank line; a client sending more than 64 KiB of
    // header, or going quiet, gets no reply.
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(c, buffer, sizeof buffer, 0);
      if (n <= 0 || request.size() > 65536) return;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                             std::to_string(BodySize) + "\r\n\r\n";
    if (!SendAll(c, head.data(), head.size())) return;
    for (std::size_t sent = 0; sent < BodySize && !Stop; sent += Chunk) {
      if (!SendAll(c, Body.data(), std::min(Chunk, BodySize - sent))) return;
    }
  }

  static bool SendAll(int c, const char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = ::send(c, data, size, MSG_NOSIGNAL);
      if (n <= 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
};

// One finished run; Problem is empty when it succeeded.
struct TRun {
  std::size_t Bytes = 0;
  double Seconds = 0;
  std::string Problem;
};

// Runs `argv` with stdout and stderr on pipes, counting stdout bytes and keeping the start of
// stderr for error messages. The child gets its own process group, all of which is killed once
// ChildTimeout has passed.
TRun RunChild(const std::vector<std::string>& argv) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {.Problem = "pipe failed"};
  TFd outRead(out[0]), outWrite(out[1]);
  if (::pipe2(err, O_CLOEXEC) != 0) return {.Problem = "pipe failed"};
  TFd errRead(err[0]), errWrite(err[1]);
  ::fcntl(outRead.Get(), F_SETPIPE_SZ, static_cast<int>(Chunk)); // fewer wake-ups; best effort

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
  posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const auto start = Clock::now();
  const auto deadline = start + ChildTimeout;
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) return {.Problem = "cannot start " + argv[0]};
  const TFd child(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  outWrite.Reset();
  errWrite.Reset();

  // Reads until both pipes are at end of file and the child has exited.
  TRun run;
  std::vector<char> buffer(Chunk);
  std::string stderrText;
  int status = 0;
  bool exited = false;
  if (child.Get() < 0) run.Problem = "pidfd_open failed";
  while (run.Problem.empty() && (!exited || outRead.Get() >= 0 || errRead.Get() >= 0)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p[3] = {
        {outRead.Get(), POLLIN, 0}, {errRead.Get(), POLLIN, 0}, {exited ? -1 : child.Get(), POLLIN, 0}};
    if (left.count() <= 0) {
      run.Problem = "killed after 120 s";
    } else if (::poll(p, 3, static_cast<int>(left.count())) < 0) {
      run.Problem = "poll failed";
    }
    if (p[0].revents != 0) {
      const ssize_t n = ::read(outRead.Get(), buffer.data(), buffer.size());
      if (n > 0) run.Bytes += static_cast<std::size_t>(n);
      else outRead.Reset();
    }
    if (p[1].revents != 0) {
      const ssize_t n = ::read(errRead.Get(), buffer.data(), buffer.size());
      if (n <= 0) errRead.Reset();
      else if (stderrText.size() < 4096) stderrText.append(buffer.data(), static_cast<std::size_t>(n));
    }
    if (p[2].revents != 0) exited = ::waitpid(pid, &status, 0) == pid;
  }
  run.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!run.Problem.empty()) ::kill(-pid, SIGKILL); // the group outlives its leader while members remain
  if (!exited) ::waitpid(pid, &status, 0);

  while (!stderrText.empty() && std::isspace(static_cast<unsigned char>(stderrText.back()))) {
    stderrText.pop_back();
  }
  const std::string detail = stderrText.empty() ? "" : "; stderr: " + stderrText;
  if (!run.Problem.empty()) {
    run.Problem += detail;
  } else if (!WIFEXITED(status)) {
    run.Problem = "ended by signal " + std::to_string(WTERMSIG(status)) + detail;
  } else if (WEXITSTATUS(status) != 0) {
    run.Problem = "exit status " + std::to_string(WEXITSTATUS(status)) + detail;
  } else if (run.Bytes != BodySize) {
    run.Problem = "wrote " + std::to_string(run.Bytes) + " bytes, expected " + std::to_string(BodySize);
  }
  return run;
}

std::optional<std::string> FindOnPath(std::string_view name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "";
  while (!rest.empty()) {
    const auto colon = std::min(rest.find(':'), rest.size());
    const fs::path candidate = fs::path(rest.substr(0, colon)) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    rest.remove_prefix(std::min(colon + 1, rest.size()));
  }
  return std::nullopt;
}

// relaybox-fetch beside this program, else in the folder above: the build folder, when this
// program is in its bench/ subfolder.
std::string DefaultFetch() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  const fs::path beside = self.parent_path() / "relaybox-fetch";
  if (::access(beside.c_str(), X_OK) == 0) return beside.string();
  return (self.parent_path().parent_path() / "relaybox-fetch").string();
}

int Usage() {
  std::fprintf(stderr, "usage: relaybox_fetch_bench [--rounds N] [--fetch PATH] [--curl PATH]\n");
  return 2;
}

int Main(int argc, char** argv) {
  int rounds = 3;
  std::string fetch = DefaultFetch();
  std::optional<std::string> curl = FindOnPath("curl");
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* value = argv[++i];
    if (arg == "--rounds") {
      rounds = std::atoi(value);
      if (rounds < 1 || rounds > MaxRounds) return Usage();
    } else if (arg == "--fetch") {
      fetch = value;
    } else if (arg == "--curl") {
      curl = value;
    } else {
      return Usage();
    }
  }
  if (!curl || ::access(curl->c_str(), X_OK) != 0) {
    std::fprintf(stderr, "curl not found%s%s; install it or pass --curl PATH\n", curl ? " at " : " on PATH",
                 curl ? curl->c_str() : "");
    return 2;
  }
  if (::access(fetch.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "relaybox-fetch not found at %s; build it or pass --fetch PATH\n", fetch.c_str());
    return 2;
  }

  TBodyServer server;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.GetPort()) + "/big";
  const std::pair<const char*, std::vector<std::string>> tools[] = {
      {"relaybox-fetch", {fetch, url}},
      {"curl", {*curl, "-s", "--http1.0", url}},
  };
  double best[2] = {0, 0};
  for (int round = 1; round <= rounds; ++round) {
    for (int t = 0; t < 2; ++t) {
      const TRun run = RunChild(tools[t].second);
      if (!run.Problem.empty()) {
        std::fprintf(stderr, "round %d %s failed: %s\n", round, tools[t].first, run.Problem.c_str());
        return 1;
      }
      const double rate = static_cast<double>(BodySize) / 1e6 / run.Seconds;
      best[t] = std::max(best[t], rate);
      std::printf("round %d  %-14s %7.3f s  %8.1f MB/s\n", round, tools[t].first, run.Seconds, rate);
      std::fflush(stdout);
    }
  }
  std::printf("relaybox-fetch %.1f MB/s, curl %.1f MB/s, ratio %.2f (target >= 0.80)\n", best[0], best[1],
              best[0] / best[1]);
  return 0;
}

} // namespace
} // namespace relaybox

int main(int argc, char** argv) {
  return relaybox::bench::ExitStatusOf([&] { return relaybox::Main(argc, argv); });
}
