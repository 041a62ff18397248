// The relay bench's queue phases. The program takes at most one file per 200-ms scan tick, so
// filling its 2000-entry queue takes at least 400 s; rss and scan share one fill:
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
// boundrss needs 2000 queued updates whose lines are at the 16,384-character bound, so it
// cannot share the queue that rss fills with 1-KB ones. It fills a second program's queue in
// the same way at the same time, and reads that program's memory once both are full; its
// stall then ends and the bench checks that the first bound-sized address arrives whole. The
// second program takes 5 small files a second on a 2-core machine: scan's figures are CPU
// times of the first program alone, and the rate is measured after the second has stopped.
// The programs are left with files to go; the bench stops them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "RelayBench.h"

namespace relaybox::bench {
namespace {

constexpr int FirstStall = 100001;
constexpr int StallUpdates = 75;  // 750 s of aborted deliveries, past the fill's time limit
constexpr int FirstQueued = 100101;
constexpr std::size_t QueueCapacity = 2000;
constexpr std::size_t UpdateBytes = 1024;
constexpr std::size_t BoundLine = 16384;  // UpdateLineLimit in src/relay/UpdateFile.h
constexpr int ScanFiles = 10000;
constexpr std::size_t RateDeliveries = 300;
constexpr double TicksPerSecond = 5;
constexpr auto MeasureFor = 10s;
constexpr auto FillLimit = 700s;
constexpr auto StableFor = 3s;  // 15 ticks without a file taken

std::size_t Closed(const std::vector<TVisit>& visits) {
  return static_cast<std::size_t>(
      std::count_if(visits.begin(), visits.end(), [](const TVisit& v) { return v.Closed.has_value(); }));
}

// One relay's queue filling behind a stalled delivery: the stalling updates, then `queued`
// updates written by `drop(folder, n)`, numbered from FirstQueued.
class TQueueFill {
public:
  template <class F>
  TQueueFill(TWatched watched, const char* name, int queued, F drop) : FWatched(watched), FName(name) {
    const auto start = Clock::now();
    for (int i = 0; i < StallUpdates; ++i) {
      DropPaddedUpdate(FWatched.Folder, FirstStall + i, Url(FStall, "/stall/" + std::to_string(i)), UpdateBytes);
    }
    for (int i = 0; i < queued; ++i) drop(FWatched.Folder, FirstQueued + i);
    FDropped = static_cast<std::size_t>(StallUpdates + queued);
    std::printf("%s: %zu files written in %.1f s\n", FName, FDropped, Seconds(Clock::now() - start));
  }

  TServer& Stall() { return FStall; }

  void WaitForStall() {
    if (!FStall.WaitFor(FWatched.Relay.Child(), 10s, [](const auto& v) { return !v.empty(); })) {
      throw TFailure{1, std::string(FName) + ": the program did not start the stalled delivery within 10 s"};
    }
  }

  // Waits until the folder count has not changed for StableFor while the program holds about
  // QueueCapacity updates: taken files less finished deliveries, give or take the one in
  // flight.
  void WaitUntilFull() {
    const fs::path& folder = FWatched.Folder;
    const auto start = Clock::now();
    auto lastChange = start, lastReport = start;
    std::size_t left = UpdatesLeft(folder);
    for (int i = 0; i < MaxSteps && Clock::now() - start < FillLimit; ++i) {
      Pause(FWatched.Relay.Child(), 1s);  // each count lists thousands of files: not too often
      const std::size_t now = UpdatesLeft(folder);
      if (now != left) lastChange = Clock::now();
      left = now;
      const std::size_t queued = FDropped - left - Closed(FStall.Visits());
      if (Clock::now() - lastReport >= 60s) {
        lastReport = Clock::now();
        std::printf("%s: %.0f s, about %zu queued, %zu files waiting\n", FName, Seconds(lastReport - start), queued,
                    left);
      }
      if (Clock::now() - lastChange >= StableFor && queued + 1 >= QueueCapacity) {
        std::printf("%s: queue full after %.0f s (about %zu queued, %zu files waiting)\n", FName,
                    Seconds(Clock::now() - start), queued, left);
        return;
      }
    }
    throw TFailure{1, std::string(FName) + ": the queue did not fill within " + std::to_string(FillLimit.count()) +
                          " s: " + std::to_string(left) + " of " + std::to_string(FDropped) +
                          " files still waiting, " + std::to_string(Closed(FStall.Visits())) +
                          " stalled deliveries finished"};
  }

private:
  TWatched FWatched;
  const char* FName;
  TServer FStall{TServer::EMode::Hold};
  std::size_t FDropped = 0;
};

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

// Reads the memory of the relay with bound-sized updates queued, then lets its stall end and
// checks that the first queued address reaches `answer` whole.
void MeasureBound(TWatched bound, TQueueFill& fill, TServer& answer, std::size_t idleRss) {
  std::printf("boundrss: idle %.1f MB, 2000 updates of 2 x %zu characters queued\n", Mb(idleRss), BoundLine);
  Figure("boundrss_2000_queued", Mb(bound.Relay.MemoryBytes("VmRSS")), 1, "MB", "< 200");
  Figure("boundrss_peak", Mb(bound.Relay.MemoryBytes("VmHWM")), 1, "MB", "< 200");
  fill.Stall().Release();
  const auto visits = answer.WaitFor(bound.Relay.Child(), 60s, [](const auto& v) { return !v.empty(); });
  if (!visits) throw TFailure{1, "boundrss: no delivery within 60 s of the stall ending"};
  const std::string url = BoundAddress(Url(answer, "/b/" + std::to_string(FirstQueued)), BoundLine);
  const std::string expected = "GET " + url.substr(Url(answer, "").size()) + " HTTP/1.0";
  const std::string& got = visits->front().RequestLine;
  if (got != expected) {
    throw TFailure{1, "boundrss: the first delivery's request line has " + std::to_string(got.size()) +
                          " characters and starts \"" + got.substr(0, 40) + "\"; expected " +
                          std::to_string(expected.size()) + " starting \"" + expected.substr(0, 40) + "\""};
  }
  std::printf("boundrss: the first queued address arrived whole (%zu characters)\n", url.size());
  bound.Relay.Stop();
}

} // namespace

void QueuePhases(TWatched relay, TServer& fast, bool rss, bool scan, std::size_t idleRss, TWatched* bound) {
  std::optional<TQueueFill> fill;
  if (rss || scan) {
    fill.emplace(relay, "rss/scan", scan ? ScanFiles : static_cast<int>(QueueCapacity),
                 [&](const fs::path& folder, int n) {
                   DropPaddedUpdate(folder, n, Url(fast, "/q/" + std::to_string(n)), UpdateBytes);
                 });
  }
  TServer boundAnswer(TServer::EMode::Answer);
  std::optional<TQueueFill> boundFill;
  std::size_t boundIdleRss = 0;
  if (bound) {
    boundIdleRss = bound->Relay.MemoryBytes("VmRSS");
    boundFill.emplace(*bound, "boundrss", static_cast<int>(QueueCapacity), [&](const fs::path& folder, int n) {
      DropBoundUpdate(folder, n, Url(boundAnswer, "/b/" + std::to_string(n)), BoundLine);
    });
  }
  if (fill) fill->WaitForStall();
  if (boundFill) boundFill->WaitForStall();
  if (scan) {
    const std::size_t left = UpdatesLeft(relay.Folder);
    const double cpu = relay.Relay.CpuSeconds();
    Pause(relay.Relay.Child(), MeasureFor);
    const double used = relay.Relay.CpuSeconds() - cpu;
    const std::size_t taken = left - UpdatesLeft(relay.Folder);
    std::printf("scan: filling, %zu files taken in %.0f s with about %zu waiting, %.2f s CPU\n", taken,
                Seconds(MeasureFor), left, used);
    if (taken == 0) throw TFailure{1, "scan: the program took no file in 10 s while its queue had room"};
    Figure("scan_tick_filling", 1000 * used / static_cast<double>(taken), 2, "ms CPU", "< 20");
  }
  if (fill) fill->WaitUntilFull();
  if (boundFill) boundFill->WaitUntilFull();
  if (scan) {
    const double cpu = relay.Relay.CpuSeconds();
    Pause(relay.Relay.Child(), MeasureFor);
    const double used = relay.Relay.CpuSeconds() - cpu;
    Figure("scan_tick_full", 1000 * used / (Seconds(MeasureFor) * TicksPerSecond), 2, "ms CPU", "< 20");
  }
  if (rss) {
    Figure("rss_idle", Mb(idleRss), 1, "MB", "<= 12");
    Figure("rss_2000_queued", Mb(relay.Relay.MemoryBytes("VmRSS")), 1, "MB", "<= 20");
    Figure("rss_peak", Mb(relay.Relay.PeakBytes()), 1, "MB", "< 60");
  }
  if (boundFill) MeasureBound(*bound, *boundFill, boundAnswer, boundIdleRss);
  if (scan) MeasureDraining(relay.Relay, fast, fill->Stall(), relay.Folder);
}

} // namespace relaybox::bench
