// Runs the relaybox program headless in a fresh home folder against loopback HTTP servers and
// prints the CPU it uses when idle, the CPU it uses while one delivery waits on a server that
// never answers, and the rate at which it delivers a burst of updates. Speeds are reported,
// not judged: the exit status is 1 only when deliveries do not arrive in time or the program
// dies, and 2 when the bench cannot set itself up.
//   relaybox_relay_bench [--program PATH] [--burst N] [--skip-idle]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "RelayHarness.h"

namespace relaybox {
namespace {

using namespace bench;

constexpr int FirstBurst = 101;
constexpr int MaxBurst = 10000;
constexpr std::size_t MaxHeader = 65536;
constexpr auto ServerLifetime = 30min;  // the servers stop by themselves even if never told

// One connection a server took.
struct TVisit {
  Clock::time_point Accepted;
  std::string RequestLine;                  // empty until the whole header has arrived
  std::optional<Clock::time_point> Closed;  // Hold mode: when the client hung up
};

// An HTTP server on 127.0.0.1 at a port the system picks, serving one connection at a time on
// its own thread. In Answer mode it replies "ok" to each request and closes, and records the
// visit after replying; in Hold mode it records the visit at accept, never replies and waits,
// at most 30 s, for the client to give up.
class TServer {
public:
  enum class EMode { Answer, Hold };

  explicit TServer(EMode mode) : FMode(mode), FListener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (FListener.Get() < 0 || ::bind(FListener.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(FListener.Get(), 16) != 0 ||
        ::getsockname(FListener.Get(), reinterpret_cast<sockaddr*>(&a), &size) != 0) {
      throw TFailure{2, std::string("server socket: ") + std::strerror(errno)};
    }
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] { AcceptLoop(); });
  }
  ~TServer() {
    FStop = true;
    FThread.join();
  }
  unsigned short Port() const { return FPort; }
  std::vector<TVisit> Visits() const {
    std::lock_guard lock(FMutex);
    return FVisits;
  }
  // Waits until `done` holds for the visits and returns them; nullopt after `limit`. Throws
  // when the program exits first.
  template <class F> std::optional<std::vector<TVisit>> WaitFor(TChild& program, Clock::duration limit, F done) {
    const auto deadline = Clock::now() + limit;
    for (int i = 0; i < MaxSteps && Clock::now() < deadline; ++i) {
      program.CheckAlive();
      std::unique_lock lock(FMutex);
      if (FChanged.wait_for(lock, 100ms, [&] { return done(FVisits); })) return FVisits;
    }
    return std::nullopt;
  }

private:
  const EMode FMode;
  TFd FListener;
  unsigned short FPort = 0;
  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<TVisit> FVisits;
  std::atomic<bool> FStop = false;
  std::thread FThread;

  template <class F> void Record(F change) {
    {
      std::lock_guard lock(FMutex);
      change(FVisits);
    }
    FChanged.notify_all();
  }

  // Polls in 100 ms steps so that it notices FStop.
  void AcceptLoop() {
    const auto end = Clock::now() + ServerLifetime;
    for (int i = 0; i < MaxSteps && !FStop && Clock::now() < end; ++i) {
      pollfd p{FListener.Get(), POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const auto accepted = Clock::now();
      const TFd client(::accept4(FListener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (client.Get() >= 0) Serve(client.Get(), accepted);
    }
  }

  void Serve(int fd, Clock::time_point accepted) {
    const bool hold = FMode == EMode::Hold;
    if (hold) Record([&](auto& visits) { visits.push_back({accepted, {}, {}}); });
    const auto deadline = accepted + (hold ? 30s : 10s);
    std::string header;
    bool complete = false;
    char buffer[4096];
    for (int i = 0; i < MaxSteps && !FStop && Clock::now() < deadline; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {  // end of stream or a reset: the client gave up
        if (hold) Record([](auto& visits) { visits.back().Closed = Clock::now(); });
        return;
      }
      if (header.size() < MaxHeader) header.append(buffer, static_cast<std::size_t>(n));
      if (complete || (header.find("\r\n\r\n") == std::string::npos && header.find("\n\n") == std::string::npos)) {
        continue;
      }
      complete = true;
      std::string line = header.substr(0, header.find('\n'));
      if (line.ends_with('\r')) line.pop_back();
      if (hold) {
        Record([&](auto& visits) { visits.back().RequestLine = line; });
        continue;
      }
      constexpr std::string_view Reply = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
      ::send(fd, Reply.data(), Reply.size(), MSG_NOSIGNAL);  // fits any socket buffer at once
      Record([&](auto& visits) { visits.push_back({accepted, line, {}}); });
      return;
    }
  }
};

std::string Url(const TServer& server, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(server.Port()) + path;
}

void IdlePhase(TChild& program) {
  const auto start = Clock::now();
  const double before = CpuSeconds(program);
  Pause(program, 10s);
  const double used = CpuSeconds(program) - before;
  std::printf("idle: %.2f%% of one core (target < 1%%)\n", 100 * used / Seconds(Clock::now() - start));
}

void SilentPhase(TChild& program, TServer& silent, const fs::path& folder) {
  DropUpdate(folder, 1, Url(silent, "/silent"));
  if (!silent.WaitFor(program, 10s, [](const auto& v) { return !v.empty(); })) {
    std::error_code error;
    throw TFailure{1, fs::exists(folder / UpdateName(1), error)
                          ? "silent: the program did not take " + UpdateName(1) + " within 10 s"
                          : "silent: the program took the update but did not connect within 10 s"};
  }
  const double cpuAtAccept = CpuSeconds(program);
  const auto visits = silent.WaitFor(program, 20s, [](const auto& v) { return v[0].Closed.has_value(); });
  if (!visits) throw TFailure{1, "silent: the program kept the unanswered connection open for over 20 s"};
  const double cpu = CpuSeconds(program) - cpuAtAccept;
  const TVisit& visit = visits->front();
  std::printf("silent wait: %.1f s, CPU %.3f s (target < 0.1 s)\n", Seconds(*visit.Closed - visit.Accepted), cpu);
  if (visit.RequestLine != "GET /silent HTTP/1.0") {
    std::printf("silent: unexpected request line \"%s\"\n", visit.RequestLine.c_str());
  }
}

void BurstPhase(TChild& program, TServer& fast, TServer& silent, const fs::path& folder, int count) {
  for (int n = FirstBurst; n < FirstBurst + count; ++n) DropUpdate(folder, n, Url(fast, "/u/" + std::to_string(n)));
  const auto start = Clock::now();
  const auto limit = std::chrono::seconds(std::max(180, count * 3 / 5));
  const auto size = static_cast<std::size_t>(count);
  const auto visits = fast.WaitFor(program, limit, [&](const auto& v) { return v.size() >= size; });
  if (!visits) {
    throw TFailure{1, "burst: " + std::to_string(fast.Visits().size()) + " of " + std::to_string(count) +
                          " delivered within " + std::to_string(limit.count()) + " s; " +
                          std::to_string(UpdatesLeft(folder)) + " update files still in the folder; " +
                          std::to_string(silent.Visits().size()) + " connections to the silent server"};
  }
  const double seconds = Seconds(Clock::now() - start);
  std::printf("burst: %d updates in %.1f s = %.2f updates/s (target >= 4.5)\n", count, seconds, count / seconds);
  for (int i = 0; i < count; ++i) {
    const std::string expected = "GET /u/" + std::to_string(FirstBurst + i) + " HTTP/1.0";
    if ((*visits)[i].RequestLine != expected) {
      std::printf("burst order: broken at delivery %d: \"%s\", expected \"%s\"\n", i + 1,
                  (*visits)[i].RequestLine.c_str(), expected.c_str());
      return;
    }
  }
  std::printf("burst order: held\n");
}

struct TOptions {
  std::string Program;
  int Burst = 300;
  bool SkipIdle = false;
};

int Run(const TOptions& options) {
  const TTempDir home;
  const fs::path folder = home.Path() / "Documents/Quintel/Hoofline/Relaybox";
  const fs::path log = home.Path() / "relaybox.log";
  std::error_code error;
  if (!fs::create_directories(folder, error)) throw TFailure{2, "cannot create " + folder.string()};
  TServer fast(TServer::EMode::Answer), silent(TServer::EMode::Hold);
  TChild program(options.Program, ProgramEnvironment(home.Path()), log);
  std::printf("started %s (pid %d), watching %s\n", options.Program.c_str(), program.Pid(), folder.c_str());
  try {
    Pause(program, 2s);  // start-up
    if (!options.SkipIdle) IdlePhase(program);
    SilentPhase(program, silent, folder);
    BurstPhase(program, fast, silent, folder, options.Burst);
  } catch (const TFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.Message.c_str());
    program.Stop();
    PrintLogTail(log);
    return failure.Status;
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr, "usage: relaybox_relay_bench [--program PATH] [--burst N] [--skip-idle]\n");
  return 2;
}

int Main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows while the phases run
  TOptions options;
  options.Program = DefaultProgram();
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--skip-idle") {
      options.SkipIdle = true;
    } else if (arg == "--program" && i + 1 < argc) {
      options.Program = argv[++i];
    } else if (arg == "--burst" && i + 1 < argc) {
      options.Burst = std::atoi(argv[++i]);
      if (options.Burst < 1 || options.Burst > MaxBurst) return Usage();
    } else {
      return Usage();
    }
  }
  if (::access(options.Program.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "relaybox not found at %s; build it or pass --program PATH\n", options.Program.c_str());
    return 2;
  }
  try {
    return Run(options);
  } catch (const TFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.Message.c_str());
    return failure.Status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
}

} // namespace
} // namespace relaybox

int main(int argc, char** argv) { return relaybox::Main(argc, argv); }
