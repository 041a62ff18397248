// The relay bench's quiet phases: what the program costs beside the work its deliveries need.
//   window     a burst with the window shown on the offscreen platform, in a program of its
//              own: CPU per delivery
//   backlog    5,000 updates dropped at once: CPU per delivery over the first 250 while the rest
//              wait, and its ratio to the burst's figure
//   unrelated  idle CPU over 10 s with 100,000 files in the folder that are no updates
//   waiting    CPU per scan tick while 100,000 updates wait and the queue fills behind
//              deliveries that are never answered
//   start      time from starting the program to its first request, with an update waiting
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "RelayBench.h"

namespace relaybox::bench {
namespace {

constexpr int FirstWindow = 50001;
constexpr int FirstBacklog = 60001;
constexpr int BacklogFiles = 5000;
constexpr int BacklogMeasured = 250;
constexpr int ManyFiles = 100000;
constexpr int FirstWaiting = 100001;
constexpr auto MeasureFor = 10s;
constexpr double TicksPerSecond = 5;
const std::vector<std::string> Headless = {"--headless"};

// Removes the update files numbered [first, first + count) that are still in the folder.
void RemoveUpdates(const fs::path& folder, int first, int count) {
  for (int n = first; n < first + count; ++n) ::unlink((folder / UpdateName(n)).c_str());
}

} // namespace

void WindowPhase(const std::string& program, TServer& fast, int count) {
  TOwnRelay own(program, {});
  Pause(own.Relay.Child(), 2s);  // start-up
  const TBurst burst = DeliverBurst(own.Relay, fast, own.Home.Folder(), FirstWindow, count, "window");
  Figure("cpu_per_delivery_window", burst.CpuMs, 2, "ms", "<= 1.5");
}

void BacklogPhase(TRelay& relay, TServer& fast, const fs::path& folder, double emptyCpuMs) {
  const std::size_t before = fast.Visits().size();
  for (int n = FirstBacklog; n < FirstBacklog + BacklogFiles; ++n) {
    DropUpdate(folder, n, Url(fast, "/u/" + std::to_string(n)));
  }
  // Counted from the first delivery after the drop, so that the files the relay took while they
  // were written do not make the figure look better.
  const auto from = fast.WaitFor(relay.Child(), 20s, [&](const auto& v) { return v.size() > before; });
  if (!from) throw TFailure{1, "backlog: nothing delivered within 20 s of dropping 5,000 updates"};
  const std::size_t start = fast.Visits().size();
  const double cpu = relay.CpuSeconds();
  const auto done = fast.WaitFor(relay.Child(), 180s, [&](const auto& v) { return v.size() >= start + BacklogMeasured; });
  if (!done) throw TFailure{1, "backlog: fewer than 250 deliveries within 180 s with 5,000 files waiting"};
  const double cpuMs = 1000 * (relay.CpuSeconds() - cpu) / static_cast<double>(done->size() - start);
  RemoveUpdates(folder, FirstBacklog, BacklogFiles);
  Pause(relay.Child(), 2s);  // what was queued is delivered
  std::printf("backlog: %zu delivered with about %zu waiting\n", done->size() - start,
              static_cast<std::size_t>(BacklogFiles) - (done->size() - before));
  Figure("cpu_per_delivery_5000_waiting", cpuMs, 2, "ms", "none");
  if (emptyCpuMs > 0) Figure("backlog_cpu_vs_empty", 100 * cpuMs / emptyCpuMs, 0, "%", "<= 120");
}

void UnrelatedIdlePhase(const std::string& program) {
  TRelayHome home;
  for (int n = 0; n < ManyFiles; ++n) {
    const int fd = ::open((home.Folder() / ("other-" + std::to_string(n) + ".dat")).c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) throw TFailure{2, "unrelated: cannot create the files"};
    ::close(fd);
  }
  TRelay relay(program, Headless, ProgramEnvironment(home.Path()), home.Log());
  Pause(relay.Child(), 3s);  // start-up and the first listing
  const auto start = Clock::now();
  const double before = relay.ThreadCpuSeconds();
  Pause(relay.Child(), MeasureFor);
  const double used = relay.ThreadCpuSeconds() - before;
  Figure("idle_cpu_100000_unrelated", 100 * used / Seconds(Clock::now() - start), 3, "%", "<= 0.05");
}

void WaitingTickPhase(const std::string& program, TServer& silent) {
  TOwnRelay own(program, Headless);
  const fs::path& folder = own.Home.Folder();
  // Every delivery waits the full time limit for a reply, so that the queue fills one file per
  // tick and a delivery starts only every 10 s.
  for (int n = FirstWaiting; n < FirstWaiting + ManyFiles; ++n) DropUpdate(folder, n, Url(silent, "/w"));
  Pause(own.Relay.Child(), 2s);
  const std::size_t left = UpdatesLeft(folder);
  const double cpu = own.Relay.CpuSeconds();
  Pause(own.Relay.Child(), MeasureFor);
  const double used = own.Relay.CpuSeconds() - cpu;
  const std::size_t taken = left - UpdatesLeft(folder);
  std::printf("waiting: %zu files taken in %.0f s with about %zu waiting, %.3f s CPU\n", taken, Seconds(MeasureFor),
              left, used);
  if (taken == 0) throw TFailure{1, "waiting: the program took no file in 10 s while its queue had room"};
  Figure("scan_tick_100000_waiting", 1000 * used / (Seconds(MeasureFor) * TicksPerSecond), 2, "ms CPU", "<= 1");
}

// The median of three starts.
void StartPhase(const std::string& program, TServer& fast) {
  std::vector<double> seconds;
  for (int round = 0; round < 3; ++round) {
    TRelayHome home;
    const std::size_t before = fast.Visits().size();
    DropUpdate(home.Folder(), 1, Url(fast, "/start"));
    const auto started = Clock::now();
    TRelay relay(program, Headless, ProgramEnvironment(home.Path()), home.Log());
    const auto visits = fast.WaitFor(relay.Child(), 10s, [&](const auto& v) { return v.size() > before; });
    if (!visits) throw TFailure{1, "start: no delivery within 10 s of the start"};
    seconds.push_back(Seconds((*visits)[before].Accepted - started));
  }
  std::sort(seconds.begin(), seconds.end());
  Figure("first_delivery_after_start", seconds[1], 2, "s", "<= 0.5");
}

} // namespace relaybox::bench
