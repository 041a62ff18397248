// Runs the relaybox program (--headless) in a fresh home folder against loopback HTTP servers, or
// the shell-script baseline (bench/relay-baseline.sh) on the same folder, and prints one
// "figure:" line per measurement. Phases, in this order:
//   idle     CPU over 10 s with nothing to do
//   silent   CPU while one delivery waits on a server that never answers
//   latency  time from an update's rename into the folder to its request line at the server,
//            for updates dropped one at a time with random gaps
//   burst    delivery rate and CPU per delivery for a burst of updates dropped at once
//   window, backlog   the burst's CPU with the window shown, and with 5,000 files waiting
//            (RelayQuietPhases.cpp)                                               (program only)
//   flood    how long a delivery lasts, seen from the server, whose reply never ends: a body
//            flood, one-byte chunks, a trickle                                    (program only)
//   oddfiles CPU and memory with a FIFO and a link to /dev/zero named like updates,
//            and an update behind them delivered                                 (program only)
//   bigline  CPU and memory to take a 1 GiB update file with a 60 MiB site line    (program only)
//   rss      memory with 2000 updates of 1 KB queued behind a stalled delivery   (program only)
//   scan     CPU per scan tick and delivery rate with 10,000 files waiting       (program only)
//   boundrss memory with 2000 updates queued whose two lines are at the 16,384-character
//            bound, in a second program that fills its queue alongside rss/scan (program only)
//   unrelated, waiting, start   idle CPU with 100,000 unrelated files, a scan tick's CPU with
//            100,000 updates waiting, time to the first delivery (RelayQuietPhases.cpp)
// Speeds are reported, not judged: the exit status is 1 only when deliveries do not arrive in
// time or the relay dies, 2 when the bench cannot set itself up, and 130 when it is
// interrupted; it stops the programs and removes its folders however it ends.
//   relaybox_relay_bench [--program PATH | --baseline [--baseline-script PATH]]
//                        [--phases LIST] [--skip-idle] [--burst N] [--latency-updates N] [--seed N]
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "RelayBench.h"

#ifndef RELAYBOX_SOURCE_DIR
#define RELAYBOX_SOURCE_DIR "."
#endif

namespace relaybox {
namespace {

using namespace bench;

constexpr int FirstBurst = 101;
constexpr int MaxBurst = 10000;
constexpr int FirstLatency = 20001;
constexpr int MaxLatencyUpdates = 1000;
constexpr int FirstFlood = 30001;

const std::vector<std::string> AllPhases = {"idle",   "silent",   "latency", "burst",  "window",
                                            "backlog", "flood",  "oddfiles", "bigline", "rss",
                                            "scan",    "boundrss", "unrelated", "waiting", "start"};
const std::vector<std::string> BaselinePhases = {"idle", "silent", "latency", "burst"};

// The program's threads are measured to the nanosecond; the baseline's tree, whose commands
// come and go, in clock ticks.
void IdlePhase(TRelay& relay, bool baseline) {
  const auto cpu = [&] { return baseline ? relay.CpuSeconds() : relay.ThreadCpuSeconds(); };
  const auto start = Clock::now();
  const double before = cpu();
  Pause(relay.Child(), 10s);
  const double used = cpu() - before;
  Figure("idle_cpu", 100 * used / Seconds(Clock::now() - start), 3, "%", "<= 0.05");
}

void SilentPhase(TRelay& relay, TServer& silent, const fs::path& folder) {
  DropUpdate(folder, 1, Url(silent, "/silent"));
  if (!silent.WaitFor(relay.Child(), 10s, [](const auto& v) { return !v.empty(); })) {
    std::error_code error;
    throw TFailure{1, fs::exists(folder / UpdateName(1), error)
                          ? "silent: the relay did not take " + UpdateName(1) + " within 10 s"
                          : "silent: the relay took the update but did not connect within 10 s"};
  }
  const double cpuAtAccept = relay.CpuSeconds();
  const auto visits = silent.WaitFor(relay.Child(), 20s, [](const auto& v) { return v[0].Closed.has_value(); });
  if (!visits) throw TFailure{1, "silent: the relay kept the unanswered connection open for over 20 s"};
  const double cpu = relay.CpuSeconds() - cpuAtAccept;
  const TVisit& visit = visits->front();
  Figure("silent_abort_after", Seconds(*visit.Closed - visit.Accepted), 1, "s", "none");
  Figure("silent_cpu", cpu, 3, "s", "< 0.1");
  if (visit.RequestLine != "GET /silent HTTP/1.0") {
    std::printf("silent: unexpected request line \"%s\"\n", visit.RequestLine.c_str());
  }
}

// Nearest rank: the smallest value with at least `share` of the values at or below it.
double Percentile(const std::vector<double>& sorted, double share) {
  const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

double Median(const std::vector<double>& sorted) {
  const std::size_t n = sorted.size();
  return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

void LatencyPhase(TRelay& relay, TServer& fast, const fs::path& folder, int count, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> gapMs(300, 700);
  const std::size_t before = fast.Visits().size();
  std::vector<Clock::time_point> dropped;
  for (int i = 0; i < count; ++i) {
    DropUpdate(folder, FirstLatency + i, Url(fast, "/l/" + std::to_string(FirstLatency + i)));
    dropped.push_back(Clock::now());  // DropUpdate returns right after the rename
    Pause(relay.Child(), std::chrono::milliseconds(gapMs(random)));
  }
  const auto size = before + static_cast<std::size_t>(count);
  const auto visits = fast.WaitFor(relay.Child(), 30s, [&](const auto& v) { return v.size() >= size; });
  if (!visits) {
    throw TFailure{1, "latency: " + std::to_string(fast.Visits().size() - before) + " of " + std::to_string(count) +
                          " delivered within 30 s of the last drop; " + std::to_string(UpdatesLeft(folder)) +
                          " update files still in the folder"};
  }
  std::vector<double> ms;
  std::set<int> seen;
  for (std::size_t i = before; i < visits->size(); ++i) {
    const TVisit& visit = (*visits)[i];
    const int index = RequestNumber(visit.RequestLine) - FirstLatency;
    if (index < 0 || index >= count || !visit.Arrived || !seen.insert(index).second) {
      std::printf("latency: unexpected delivery \"%s\"\n", visit.RequestLine.c_str());
      continue;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(*visit.Arrived - dropped[static_cast<std::size_t>(index)])
                     .count());
  }
  if (ms.empty()) throw TFailure{1, "latency: no delivery matched a dropped update"};
  std::sort(ms.begin(), ms.end());
  std::printf("latency: %zu updates, gaps 300-700 ms (seed %u), min %.0f ms\n", ms.size(), seed, ms.front());
  Figure("latency_median", Median(ms), 0, "ms", "<= 250");
  Figure("latency_p90", Percentile(ms, 0.9), 0, "ms", "none");
  Figure("latency_max", ms.back(), 0, "ms", "<= 450");
}

} // namespace

TBurst bench::DeliverBurst(TRelay& relay, TServer& fast, const fs::path& folder, int first, int count, const std::string& label) {
  const std::size_t before = fast.Visits().size();
  const double cpuBefore = relay.CpuSeconds();
  // The clock starts before the first drop: the baseline starts delivering while the bench is
  // still writing the burst.
  const auto start = Clock::now();
  for (int n = first; n < first + count; ++n) DropUpdate(folder, n, Url(fast, "/u/" + std::to_string(n)));
  const auto limit = std::chrono::seconds(std::max(180, count * 3 / 5));
  const auto size = before + static_cast<std::size_t>(count);
  const auto visits = fast.WaitFor(relay.Child(), limit, [&](const auto& v) { return v.size() >= size; });
  if (!visits) {
    throw TFailure{1, label + ": " + std::to_string(fast.Visits().size() - before) + " of " + std::to_string(count) +
                          " delivered within " + std::to_string(limit.count()) + " s; " +
                          std::to_string(UpdatesLeft(folder)) + " update files still in the folder"};
  }
  const double cpu = relay.CpuSeconds() - cpuBefore;
  const double seconds = Seconds(Clock::now() - start);
  std::printf("%s: %d updates in %.1f s, %.2f s CPU\n", label.c_str(), count, seconds, cpu);
  for (int i = 0; i < count; ++i) {
    const std::string expected = "GET /u/" + std::to_string(first + i) + " HTTP/1.0";
    const std::string& got = (*visits)[before + static_cast<std::size_t>(i)].RequestLine;
    if (got != expected) {
      std::printf("%s order: broken at delivery %d: \"%s\", expected \"%s\"\n", label.c_str(), i + 1, got.c_str(),
                  expected.c_str());
      return {count / seconds, 1000 * cpu / count};
    }
  }
  std::printf("%s order: held\n", label.c_str());
  return {count / seconds, 1000 * cpu / count};
}

namespace {

double BurstPhase(TRelay& relay, TServer& fast, const fs::path& folder, int count) {
  const TBurst burst = DeliverBurst(relay, fast, folder, FirstBurst, count, "burst");
  Figure("burst_rate", burst.Rate, 2, "updates/s", ">= 4.5");
  Figure("cpu_per_delivery", burst.CpuMs, 2, "ms", "<= 0.5");
  return burst.CpuMs;
}

// The time limit holds whatever the server sends: each delivery ends within 10 s of its start.
void FloodPhase(TRelay& relay, TServer& flood, const fs::path& folder) {
  const std::vector<std::string> paths = {"/body", "/chunks", "/trickle"};
  const std::size_t before = flood.Visits().size();
  for (std::size_t i = 0; i < paths.size(); ++i) DropUpdate(folder, FirstFlood + static_cast<int>(i), Url(flood, paths[i]));
  const auto visits = flood.WaitFor(relay.Child(), 60s, [&](const auto& v) {
    return v.size() >= before + paths.size() && v.back().Closed.has_value();
  });
  if (!visits) throw TFailure{1, "flood: the deliveries did not all end within 60 s"};
  double longest = 0;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const TVisit& visit = (*visits)[before + i];
    const double seconds = Seconds(*visit.Closed - visit.Accepted);
    std::printf("flood: %s ended after %.3f s\n", visit.RequestLine.c_str(), seconds);
    longest = std::max(longest, seconds);
  }
  Figure("flood_delivery_max", longest, 3, "s", "<= 10.2");
}

struct TOptions {
  std::string Program;
  bool Baseline = false;
  std::string BaselineScript = RELAYBOX_SOURCE_DIR "/bench/relay-baseline.sh";
  std::set<std::string> Phases;
  int Burst = 300;
  int LatencyUpdates = 100;
  unsigned Seed = 1;
};

// Single-quoted for sh.
std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// TChild starts one executable without arguments; the baseline needs bash, the script and the
// folder, so it gets a wrapper that execs them under the same pid.
std::string BaselineWrapper(const fs::path& home, const std::string& script, const fs::path& folder) {
  const fs::path wrapper = home / "run-baseline";
  {
    std::ofstream out(wrapper);
    out << "#!/bin/sh\nexec /bin/bash " << Quoted(script) << ' ' << Quoted(folder.string()) << '\n';
    if (!out.flush()) throw TFailure{2, "cannot write " + wrapper.string()};
  }
  fs::permissions(wrapper, fs::perms::owner_all);
  return wrapper.string();
}

int Run(const TOptions& options) {
  const TRelayHome home;
  const fs::path& folder = home.Folder();
  TServer fast(TServer::EMode::Answer), silent(TServer::EMode::Hold), flood(TServer::EMode::Flood);
  const std::string executable =
      options.Baseline ? BaselineWrapper(home.Path(), options.BaselineScript, folder) : options.Program;
  // The program runs headless: its window's cost is the window phase's figure.
  const std::vector<std::string> args = options.Baseline ? std::vector<std::string>{} : std::vector<std::string>{"--headless"};
  TRelay relay(executable, args, ProgramEnvironment(home.Path()), home.Log());
  std::printf("relay: %s (pid %d), watching %s\n", options.Baseline ? options.BaselineScript.c_str() : executable.c_str(),
              relay.Child().Pid(), folder.c_str());
  const auto has = [&](const char* phase) { return options.Phases.contains(phase); };
  // boundrss's program, started when the queue phases begin.
  std::optional<TRelayHome> boundHome;
  std::optional<TRelay> bound;
  try {
    Pause(relay.Child(), 2s);  // start-up
    const std::size_t idleRss = relay.MemoryBytes("VmRSS");
    if (has("idle")) IdlePhase(relay, options.Baseline);
    if (has("silent")) SilentPhase(relay, silent, folder);
    if (has("latency")) LatencyPhase(relay, fast, folder, options.LatencyUpdates, options.Seed);
    const double burstCpuMs = has("burst") ? BurstPhase(relay, fast, folder, options.Burst) : 0;
    if (has("window")) WindowPhase(options.Program, fast, options.Burst);
    if (has("backlog")) BacklogPhase(relay, fast, folder, burstCpuMs);
    if (has("flood")) FloodPhase(relay, flood, folder);
    if (has("oddfiles")) OddFilesPhase(relay, fast, folder);
    if (has("bigline")) BigLinePhase(relay, fast, folder);
    std::optional<TWatched> boundWatched;
    if (has("boundrss")) {
      boundHome.emplace();
      bound.emplace(options.Program, args, ProgramEnvironment(boundHome->Path()), boundHome->Log());
      std::printf("boundrss relay: pid %d, watching %s\n", bound->Child().Pid(), boundHome->Folder().c_str());
      Pause(bound->Child(), 2s);
      boundWatched.emplace(TWatched{*bound, boundHome->Folder()});
    }
    if (has("rss") || has("scan") || has("boundrss")) {
      QueuePhases({relay, folder}, fast, has("rss"), has("scan"), idleRss, boundWatched ? &*boundWatched : nullptr);
    }
    if (has("unrelated")) UnrelatedIdlePhase(options.Program);
    if (has("waiting")) WaitingTickPhase(options.Program, silent);
    if (has("start")) StartPhase(options.Program, fast);
  } catch (const TFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.Message.c_str());
    relay.Stop();
    PrintLogTail(home.Log());
    if (bound) {
      bound->Stop();
      std::fprintf(stderr, "boundrss relay:\n");
      PrintLogTail(boundHome->Log());
    }
    return failure.Status;
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: relaybox_relay_bench [--program PATH | --baseline [--baseline-script PATH]]\n"
               "                            [--phases idle,silent,latency,burst,window,backlog,flood,oddfiles,bigline,\n"
               "                                      rss,scan,boundrss,unrelated,waiting,start]\n"
               "                            [--skip-idle] [--burst N] [--latency-updates N] [--seed N]\n"
               "The baseline runs idle, silent, latency and burst; the default is every phase it can run.\n"
               "bigline writes a 1 GiB file under /tmp; rss, scan and boundrss take about 7 minutes together.\n");
  return 2;
}

bool ParsePhases(std::string_view list, std::set<std::string>& phases) {
  std::stringstream in{std::string(list)};
  for (std::string phase; std::getline(in, phase, ',');) {
    if (std::find(AllPhases.begin(), AllPhases.end(), phase) == AllPhases.end()) return false;
    phases.insert(phase);
  }
  return !phases.empty();
}

int Main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows while the phases run
  TOptions options;
  options.Program = DefaultProgram();
  bool skipIdle = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--baseline") {
      options.Baseline = true;
    } else if (arg == "--skip-idle") {
      skipIdle = true;
    } else if (arg == "--program" && hasValue) {
      options.Program = argv[++i];
    } else if (arg == "--baseline-script" && hasValue) {
      options.BaselineScript = fs::absolute(argv[++i]).string();
    } else if (arg == "--phases" && hasValue) {
      if (!ParsePhases(argv[++i], options.Phases)) return Usage();
    } else if (arg == "--burst" && hasValue) {
      options.Burst = std::atoi(argv[++i]);
      if (options.Burst < 1 || options.Burst > MaxBurst) return Usage();
    } else if (arg == "--latency-updates" && hasValue) {
      options.LatencyUpdates = std::atoi(argv[++i]);
      if (options.LatencyUpdates < 1 || options.LatencyUpdates > MaxLatencyUpdates) return Usage();
    } else if (arg == "--seed" && hasValue) {
      options.Seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    } else {
      return Usage();
    }
  }
  const auto& runnable = options.Baseline ? BaselinePhases : AllPhases;
  if (options.Phases.empty()) options.Phases.insert(runnable.begin(), runnable.end());
  if (skipIdle) options.Phases.erase("idle");
  for (const auto& phase : options.Phases) {
    if (std::find(runnable.begin(), runnable.end(), phase) == runnable.end()) {
      std::fprintf(stderr, "phase %s runs only against the program\n", phase.c_str());
      return 2;
    }
  }
  if (options.Baseline) {
    if (::access(options.BaselineScript.c_str(), R_OK) != 0) {
      std::fprintf(stderr, "baseline script not found at %s; pass --baseline-script PATH\n",
                   options.BaselineScript.c_str());
      return 2;
    }
  } else if (!ProgramFound(options.Program)) {
    return 2;
  }
  StopOnSignals();
  return ExitStatusOf([&] { return Run(options); });
}

} // namespace
} // namespace relaybox

int main(int argc, char** argv) { return relaybox::Main(argc, argv); }
