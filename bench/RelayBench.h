#pragma once
// What the relay bench's phases share: the loopback HTTP server the relay delivers to, the
// relay under test (the program or the shell-script baseline) with the CPU of its whole
// process tree, and the one-line figure format that scripts/bench.sh collects.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "RelayHarness.h"

namespace relaybox::bench {

inline constexpr std::size_t MaxHeader = 65536;
inline constexpr auto ServerLifetime = 30min;  // the servers stop by themselves even if never told

// One connection a server took.
struct TVisit {
  Clock::time_point Accepted;
  std::optional<Clock::time_point> Arrived;  // when the request line was complete
  std::string RequestLine;                   // empty until the whole header has arrived
  std::optional<Clock::time_point> Closed;   // Hold mode: when the client hung up or was answered
};

// An HTTP server on 127.0.0.1 at a port the system picks, serving one connection at a time on
// its own thread. In Answer mode it replies "ok" to each request and closes, and records the
// visit after replying; in Hold mode it records the visit at accept and never replies, waiting
// at most 30 s for the client to give up, until Release() turns it into an answering server.
// In Flood mode it records the visit at accept and sends a reply that never ends until the
// client gives up (at most 30 s): a body of 256 KiB blocks, or for "/chunks" chunks of one
// byte, or for "/trickle" a byte each millisecond.
class TServer {
public:
  enum class EMode { Answer, Hold, Flood };

  explicit TServer(EMode mode)
      : FMode(mode), FListener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), FPort(BindLoopback(FListener.Get(), true)) {
    FThread = std::thread([this] { AcceptLoop(); });
  }
  ~TServer() {
    FStop = true;
    FThread.join();
  }
  TServer(const TServer&) = delete;
  TServer& operator=(const TServer&) = delete;

  unsigned short Port() const { return FPort; }
  // Hold mode: answers the held request and every later one.
  void Release() { FReleased = true; }
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
  std::atomic<bool> FReleased = false;
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

  static void Answer(int fd) {
    constexpr std::string_view Reply = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
    ::send(fd, Reply.data(), Reply.size(), MSG_NOSIGNAL);  // fits any socket buffer at once
  }

  // Sends the flood that `requestLine` asks for until the client closes or `deadline`.
  void Flood(int fd, const std::string& requestLine, Clock::time_point deadline) {
    const bool chunks = requestLine.find("/chunks") != std::string::npos;
    const bool trickle = requestLine.find("/trickle") != std::string::npos;
    std::string block;
    if (chunks) {
      for (int i = 0; i < 40000; ++i) block += "1\r\nx\r\n";
    } else {
      block.assign(trickle ? 1 : 256 * 1024, 'x');
    }
    const std::string head = chunks ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" : "HTTP/1.0 200 OK\r\n\r\n";
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    for (int i = 0; i < MaxSteps * 100 && !FStop && Clock::now() < deadline; ++i) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      if ((p.revents & (POLLERR | POLLHUP)) != 0) return;
      if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) return;
      if (trickle) std::this_thread::sleep_for(1ms);
    }
  }

  void Serve(int fd, Clock::time_point accepted) {
    const bool hold = FMode != EMode::Answer;
    if (hold) Record([&](auto& visits) { visits.push_back({accepted, {}, {}, {}}); });
    const auto deadline = accepted + (hold ? 30s : 10s);
    std::string header;
    std::optional<Clock::time_point> arrived;
    bool complete = false;
    char buffer[4096];
    for (int i = 0; i < MaxSteps && !FStop && Clock::now() < deadline; ++i) {
      if (hold && complete && FReleased) {
        Answer(fd);
        Record([](auto& visits) { visits.back().Closed = Clock::now(); });
        return;
      }
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {  // end of stream or a reset: the client gave up
        if (hold) Record([](auto& visits) { visits.back().Closed = Clock::now(); });
        return;
      }
      if (header.size() < MaxHeader) header.append(buffer, static_cast<std::size_t>(n));
      if (!arrived && header.find('\n') != std::string::npos) arrived = Clock::now();
      if (complete || (header.find("\r\n\r\n") == std::string::npos && header.find("\n\n") == std::string::npos)) {
        continue;
      }
      complete = true;
      std::string line = header.substr(0, header.find('\n'));
      if (line.ends_with('\r')) line.pop_back();
      if (hold) {
        Record([&](auto& visits) {
          visits.back().RequestLine = line;
          visits.back().Arrived = arrived;
        });
        if (FMode == EMode::Flood) {
          Flood(fd, line, deadline);
          Record([](auto& visits) { visits.back().Closed = Clock::now(); });
          return;
        }
        continue;
      }
      Answer(fd);
      Record([&](auto& visits) { visits.push_back({accepted, arrived, line, {}}); });
      return;
    }
  }
};

inline std::string Url(const TServer& server, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(server.Port()) + path;
}

// The number at the end of a request line "GET /x/N HTTP/1.0", or -1.
inline int RequestNumber(const std::string& line) {
  const auto end = line.rfind(' ');
  const auto start = line.rfind('/', end);
  if (end == std::string::npos || start == std::string::npos || start + 1 >= end) return -1;
  return std::atoi(line.c_str() + start + 1);
}

// The relay under test, started as one executable: the program itself, or a two-line wrapper
// that execs bash on the baseline script. Its CPU time counts the whole process tree.
class TRelay {
public:
  TRelay(const std::string& executable, const std::vector<std::string>& args, const std::vector<std::string>& env,
         const fs::path& log)
      : FChild(executable, args, env, log) {}
  TRelay(const TRelay&) = delete;
  TRelay& operator=(const TRelay&) = delete;
  ~TRelay() { Stop(); }

  TChild& Child() { return FChild; }

  // User plus system CPU of the relay and everything it started, in seconds. Each live
  // process in the tree adds its own utime + stime plus cutime + cstime, which hold the CPU
  // of the children it has already reaped (and of theirs). Summed over the live tree that
  // counts every process once, finished or not: a child that has exited but is not yet reaped
  // is still listed with its own times and is not yet in its parent's. A child reaped between
  // reading its parent and reading it is missed by that one sample (a few ms of one curl at
  // most); nothing in the script leaves orphans, whose time would go to init.
  double CpuSeconds() {
    unsigned long long ticks = 0;
    for (const auto& process : Tree()) ticks += process.Ticks;
    FChild.CheckAlive();
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  // CPU of the top process's live threads in seconds, to the nanosecond (schedstat): for the
  // idle figures, where CpuSeconds' clock ticks are too coarse. Threads that ended are missed.
  double ThreadCpuSeconds() {
    unsigned long long nanoseconds = 0;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(FChild.Pid()) + "/task", error)) {
      std::ifstream in(task.path() / "schedstat");
      unsigned long long running = 0;
      if (in >> running) nanoseconds += running;
    }
    FChild.CheckAlive();
    return static_cast<double>(nanoseconds) / 1e9;
  }

  // A field of /proc/<pid>/status in kB of the top process, in bytes: "VmRSS" or "VmHWM".
  std::size_t MemoryBytes(std::string_view field) {
    std::ifstream in("/proc/" + std::to_string(FChild.Pid()) + "/status");
    FChild.CheckAlive();
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
        return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10) * 1024;
      }
    }
    // A process on its way out has no memory figures: tell how it ended, once it has.
    for (int i = 0; i < 100 && FChild.Alive(); ++i) std::this_thread::sleep_for(10ms);
    FChild.CheckAlive();
    throw TFailure{1, "cannot read the relay's " + std::string(field)};
  }

  // Starts the high-water mark (VmHWM) afresh at the present RSS, so that it tells the peak of
  // what follows; false where the kernel does not allow it. PeakBytes keeps the earlier peak.
  bool ResetPeak() {
    const std::size_t earlier = MemoryBytes("VmHWM");
    std::ofstream out("/proc/" + std::to_string(FChild.Pid()) + "/clear_refs");
    if (!(out << "5" << std::flush)) return false;
    FEarlierPeak = std::max(FEarlierPeak, earlier);
    return true;
  }
  // The highest RSS since the start, across resets.
  std::size_t PeakBytes() { return std::max(FEarlierPeak, MemoryBytes("VmHWM")); }

  // Ends the descendants first: the top process may be killed before it could pass a
  // SIGTERM on, and a curl or inotifywait left behind would outlive the bench.
  void Stop() {
    if (!FChild.Alive()) return;
    for (const auto& process : Tree()) {
      if (process.Pid != FChild.Pid()) ::kill(process.Pid, SIGTERM);
    }
    FChild.Stop();
  }

private:
  struct TProcess {
    pid_t Pid;
    pid_t Parent;
    unsigned long long Ticks;  // utime + stime + cutime + cstime
  };

  TChild FChild;
  std::size_t FEarlierPeak = 0;

  static std::optional<TProcess> ReadProcess(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat{std::istreambuf_iterator<char>(in), {}};
    // The name is in parentheses and may hold anything; after it come fields 3 (state) to
    // 13, then utime, stime, cutime and cstime.
    const auto nameEnd = stat.rfind(')');
    int parent = 0;
    unsigned long long utime = 0, stime = 0;
    long long cutime = 0, cstime = 0;
    if (nameEnd == std::string::npos ||
        std::sscanf(stat.c_str() + nameEnd + 1, " %*c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %lld %lld",
                    &parent, &utime, &stime, &cutime, &cstime) != 5) {
      return std::nullopt;  // gone meanwhile
    }
    return TProcess{pid, parent, utime + stime + static_cast<unsigned long long>(cutime + cstime)};
  }

  // The top process and all its live descendants.
  std::vector<TProcess> Tree() {
    std::vector<TProcess> all;
    if (DIR* proc = ::opendir("/proc")) {
      for (int i = 0; i < MaxSteps * 10; ++i) {
        const dirent* entry = ::readdir(proc);
        if (!entry) break;
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        if (const auto process = ReadProcess(static_cast<pid_t>(pid))) all.push_back(*process);
      }
      ::closedir(proc);
    }
    std::unordered_map<pid_t, std::vector<const TProcess*>> children;
    const TProcess* top = nullptr;
    for (const auto& process : all) {
      children[process.Parent].push_back(&process);
      if (process.Pid == FChild.Pid()) top = &process;
    }
    std::vector<TProcess> tree;
    if (!top) return tree;
    tree.push_back(*top);
    // Breadth first; the /proc listing is finite, so is the tree.
    for (std::size_t i = 0; i < tree.size() && i < all.size(); ++i) {
      for (const TProcess* child : children[tree[i].Pid]) tree.push_back(*child);
    }
    return tree;
  }
};

// A fresh home folder with the watch folder in it and the program's log beside it; all removed
// on destruction.
class TRelayHome {
public:
  TRelayHome() : FFolder(FHome.Path() / "Documents/Quintel/Hoofline/Relaybox"), FLog(FHome.Path() / "relay.log") {
    std::error_code error;
    if (!fs::create_directories(FFolder, error)) throw TFailure{2, "cannot create " + FFolder.string()};
  }
  const fs::path& Path() const { return FHome.Path(); }
  const fs::path& Folder() const { return FFolder; }
  const fs::path& Log() const { return FLog; }

private:
  TTempDir FHome;
  fs::path FFolder, FLog;
};

// A relay and the folder it watches.
struct TWatched {
  TRelay& Relay;
  fs::path Folder;
};

inline double Mb(std::size_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// One figure for scripts/bench.sh: "figure: NAME = VALUE UNIT (target OP NUMBER)", or
// "(target none)" for a figure reported without a target.
inline void Figure(const char* name, double value, int decimals, const char* unit, const char* target) {
  std::printf("figure: %s = %.*f %s (target %s)\n", name, decimals, value, unit, target);
}

// Writes update `n` under a temporary name first like DropUpdate.
inline void DropUpdateLines(const fs::path& folder, int n, const std::string& site, const std::string& url) {
  const fs::path temp = folder / "tmp-update";
  {
    std::ofstream out(temp, std::ios::binary);
    out << site << "\r\n" << url << "\r\n";
    if (!out.flush()) throw TFailure{2, "cannot write " + temp.string()};
  }
  std::error_code error;
  fs::rename(temp, folder / UpdateName(n), error);
  if (error) throw TFailure{2, "cannot rename to " + UpdateName(n) + ": " + error.message()};
}

// Update `n` with its site line padded so that the file is about `size` bytes.
inline void DropPaddedUpdate(const fs::path& folder, int n, const std::string& url, std::size_t size) {
  std::string site = "Bench site " + std::to_string(n) + " ";
  const std::size_t fixed = site.size() + url.size() + 4;
  if (size > fixed) site.append(size - fixed, 'x');
  DropUpdateLines(folder, n, site, url);
}

// `url` padded with a query ("?xxx...") to exactly `length` characters.
inline std::string BoundAddress(const std::string& url, std::size_t length) {
  std::string address = url + "?";
  address.resize(std::max(length, address.size()), 'x');
  return address.substr(0, length);
}

// Update `n` with both lines exactly `length` characters long: the site line padded, the
// address as BoundAddress makes it.
inline void DropBoundUpdate(const fs::path& folder, int n, const std::string& url, std::size_t length) {
  std::string site = "Bench site " + std::to_string(n) + " ";
  site.resize(length, 'x');
  DropUpdateLines(folder, n, site, BoundAddress(url, length));
}

// What a burst came to: deliveries per second and the relay's CPU per delivery in ms.
struct TBurst {
  double Rate;
  double CpuMs;
};
// Drops `count` updates numbered from `first` at once, waits until `fast` has them all and says
// whether they came in order.
TBurst DeliverBurst(TRelay& relay, TServer& fast, const fs::path& folder, int first, int count, const std::string& label);

// A program of the phase's own, in a fresh home, started with `args`.
struct TOwnRelay {
  TOwnRelay(const std::string& program, const std::vector<std::string>& args)
      : Relay(program, args, ProgramEnvironment(Home.Path()), Home.Log()) {}
  TRelayHome Home;
  TRelay Relay;
};

// The quiet phases, in RelayQuietPhases.cpp: what the program costs beside its deliveries.
// `window` delivers a burst with the window shown (offscreen) in a program of its own;
// `backlog` delivers while 5,000 files wait, next to `emptyCpuMs` from the burst; `unrelated`
// is idle CPU with 100,000 unrelated files in the folder; `waiting` is the CPU of a scan tick
// with 100,000 updates waiting; `start` is the time from start to the first delivery. Each
// leaves the folders it used empty.
void WindowPhase(const std::string& program, TServer& fast, int count);
void BacklogPhase(TRelay& relay, TServer& fast, const fs::path& folder, double emptyCpuMs);
void UnrelatedIdlePhase(const std::string& program);
void WaitingTickPhase(const std::string& program, TServer& silent);
void StartPhase(const std::string& program, TServer& fast);

// The intake phases, in RelayIntakePhases.cpp: a 1 GiB one-line update file (`bigline`), and a
// FIFO and a link to /dev/zero named like updates (`oddfiles`). Each leaves the folder empty.
void BigLinePhase(TRelay& relay, TServer& fast, const fs::path& folder);
void OddFilesPhase(TRelay& relay, TServer& fast, const fs::path& folder);

// The queue phases, in RelayQueuePhases.cpp: peak memory with a full queue of 1-KB updates
// (`rss`), the cost of a scan tick with 10,000 files waiting (`scan`), and peak memory with a
// full queue of updates at the line bound (`boundrss`) in `bound`, a relay started for it
// alone. They leave the programs stalled with full queues, so they run last, and only against
// the program.
void QueuePhases(TWatched relay, TServer& fast, bool rss, bool scan, std::size_t idleRss, TWatched* bound);

} // namespace relaybox::bench
