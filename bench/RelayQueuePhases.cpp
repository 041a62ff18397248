// The relay bench's queue phases. The program takes at most one file per 200-ms scan tick, so
// filling its 2000-entry queue takes at least 400 s; both phases share one fill:
//   1. Updates pointing at a server that never answers stall the send side (each delivery is
//      aborted after 10 s, so there are enough of them to outlast the fill), followed by the
//      updates of 1 KB each pointing at the answering server: 2000 for rss, 10,000 for scan.
//   2. scan: CPU per tick while the queue fills with 10,000 files waiting. Every such tick lists
//      the folder and takes exactly one file, so the ticks are counted as the files taken.
//   3. Once the folder count stops falling with 2000 queued: scan measures CPU per tick with
//      the queue full (ticks counted at their nominal 5 per second), rss reads the memory.
//   4. scan: the stalling server starts answering, and the bench measures the delivery rate
//      and CPU per tick over the first 300 deliveries to the answering server, with thousands
//      of files still waiting.
// The program is left with thousands of files to go; the bench stops it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "RelayBench.h"

namespace relaybox::bench {
namespace {

constexpr int FirstStall = 100001;
constexpr int StallUpdates = 75;  // 750 s of aborted deliveries, past the fill's time limit
constexpr int FirstQueued = 100101;
constexpr std::size_t QueueCapacity = 2000;
constexpr std::size_t UpdateBytes = 1024;
constexpr int ScanFiles = 10000;
constexpr std::size_t RateDeliveries = 300;
constexpr double TicksPerSecond = 5;
constexpr auto MeasureFor = 10s;
constexpr auto FillLimit = 700s;
constexpr auto StableFor = 3s;  // 15 ticks without a file taken

double Mb(std::size_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

std::size_t Closed(const std::vector<TVisit>& visits) {
  return static_cast<std::size_t>(
      std::count_if(visits.begin(), visits.end(), [](const TVisit& v) { return v.Closed.has_value(); }));
}

// Waits until the folder count has not changed for StableFor while the program holds about
// QueueCapacity updates: taken files less finished deliveries, give or take the one in flight.
void WaitUntilFull(TRelay& relay, TServer& stall, const fs::path& folder, std::size_t dropped) {
  const auto start = Clock::now();
  auto lastChange = start, lastReport = start;
  std::size_t left = UpdatesLeft(folder);
  for (int i = 0; i < MaxSteps && Clock::now() - start < FillLimit; ++i) {
    Pause(relay.Child(), 1s);  // each count lists thousands of files: not too often
    const std::size_t now = UpdatesLeft(folder);
    if (now != left) lastChange = Clock::now();
    left = now;
    const std::size_t queued = dropped - left - Closed(stall.Visits());
    if (Clock::now() - lastReport >= 60s) {
      lastReport = Clock::now();
      std::printf("rss/scan: %.0f s, about %zu queued, %zu files waiting\n", Seconds(lastReport - start), queued, left);
    }
    if (Clock::now() - lastChange >= StableFor && queued + 1 >= QueueCapacity) {
      std::printf("rss/scan: queue full after %.0f s (about %zu queued, %zu files waiting)\n",
                  Seconds(Clock::now() - start), queued, left);
      return;
    }
  }
  throw TFailure{1, "rss/scan: the queue did not fill within " + std::to_string(FillLimit.count()) + " s: " +
                        std::to_string(left) + " of " + std::to_string(dropped) + " files still waiting, " +
                        std::to_string(Closed(stall.Visits())) + " stalled deliveries finished"};
}

void MeasureDraining(TRelay& relay, TServer& fast, TServer& stall, const fs::path& folder) {
  const std::size_t before = fast.Visits().size();
  stall.Release();
  const auto first = fast.WaitFor(relay.Child(), 60s, [&](const auto& v) { return v.size() > before; });
  if (!first) throw TFailure{1, "scan: no delivery within 60 s of the stall ending"};
  const double cpuStart = relay.CpuSeconds();
  const auto start = *first->back().Arrived;
  const auto target = before + 1 + RateDeliveries;
  const auto visits = fast.WaitFor(relay.Child(), 240s, [&](const auto& v) { return v.size() >= target; });
  if (!visits) {
    throw TFailure{1, "scan: " + std::to_string(fast.Visits().size() - before) + " of " +
                          std::to_string(RateDeliveries + 1) + " deliveries within 240 s"};
  }
  const double cpu = relay.CpuSeconds() - cpuStart;
  const double seconds = Seconds(*visits->back().Arrived - start);
  std::printf("scan: %zu deliveries in %.1f s with %zu files waiting, %.2f s CPU\n", RateDeliveries, seconds,
              UpdatesLeft(folder), cpu);
  Figure("scan_rate_10000_waiting", static_cast<double>(RateDeliveries) / seconds, 2, "updates/s", ">= 4.5");
  // The ticks' share cannot be told apart from the deliveries' here: this counts both.
  Figure("scan_tick_draining", 1000 * cpu / (seconds * TicksPerSecond), 2, "ms CPU", "< 20");
  int expected = RequestNumber((*visits)[before].RequestLine);
  for (std::size_t i = before; i < visits->size(); ++i, ++expected) {
    if (RequestNumber((*visits)[i].RequestLine) != expected) {
      std::printf("scan order: broken at \"%s\"\n", (*visits)[i].RequestLine.c_str());
      return;
    }
  }
  std::printf("scan order: held, from %s\n", (*visits)[before].RequestLine.c_str());
}

} // namespace

void QueuePhases(TRelay& relay, TServer& fast, const fs::path& folder, bool rss, bool scan, std::size_t idleRss) {
  TServer stall(TServer::EMode::Hold);
  const int queued = scan ? ScanFiles : static_cast<int>(QueueCapacity);
  const auto dropStart = Clock::now();
  for (int i = 0; i < StallUpdates; ++i) {
    DropPaddedUpdate(folder, FirstStall + i, Url(stall, "/stall/" + std::to_string(i)), UpdateBytes);
  }
  for (int i = 0; i < queued; ++i) {
    DropPaddedUpdate(folder, FirstQueued + i, Url(fast, "/q/" + std::to_string(FirstQueued + i)), UpdateBytes);
  }
  const auto dropped = static_cast<std::size_t>(StallUpdates + queued);
  std::printf("rss/scan: %zu files of %zu bytes written in %.1f s\n", dropped, UpdateBytes,
              Seconds(Clock::now() - dropStart));
  if (!stall.WaitFor(relay.Child(), 10s, [](const auto& v) { return !v.empty(); })) {
    throw TFailure{1, "rss/scan: the program did not start the stalled delivery within 10 s"};
  }
  if (scan) {
    const std::size_t left = UpdatesLeft(folder);
    const double cpu = relay.CpuSeconds();
    Pause(relay.Child(), MeasureFor);
    const double used = relay.CpuSeconds() - cpu;
    const std::size_t taken = left - UpdatesLeft(folder);
    std::printf("scan: filling, %zu files taken in %.0f s with about %zu waiting, %.2f s CPU\n", taken,
                Seconds(MeasureFor), left, used);
    if (taken == 0) throw TFailure{1, "scan: the program took no file in 10 s while its queue had room"};
    Figure("scan_tick_filling", 1000 * used / static_cast<double>(taken), 2, "ms CPU", "< 20");
  }
  WaitUntilFull(relay, stall, folder, dropped);
  if (scan) {
    const double cpu = relay.CpuSeconds();
    Pause(relay.Child(), MeasureFor);
    const double used = relay.CpuSeconds() - cpu;
    Figure("scan_tick_full", 1000 * used / (Seconds(MeasureFor) * TicksPerSecond), 2, "ms CPU", "< 20");
  }
  if (rss) {
    Figure("rss_idle", Mb(idleRss), 1, "MB", "none");
    Figure("rss_2000_queued", Mb(relay.MemoryBytes("VmRSS")), 1, "MB", "< 60");
    Figure("rss_peak", Mb(relay.MemoryBytes("VmHWM")), 1, "MB", "< 60");
  }
  if (scan) MeasureDraining(relay, fast, stall, folder);
}

} // namespace relaybox::bench
