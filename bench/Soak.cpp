// Soaks the relaybox program: runs it headless in a fresh home folder for thousands of updates
// against loopback servers that misbehave on purpose by a seeded schedule, writes the update
// files in bursts and trickles the way the sibling program does, and then proves that every
// update went out exactly once, in number order, with nothing left behind, without a stall and
// without memory growth. Exit status 0 when every check passed, 1 when one failed, 2 on a
// setup error. The same seed gives the same schedule and the same writing pattern.
//   soak [--updates N] [--quick] [--seed N] [--program PATH]
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "RelayBench.h"  // the figure lines scripts/bench.sh collects
#include "RelayHarness.h"
#include "SoakServer.h"

namespace relaybox {
namespace {

using namespace bench;
using soak::EBehaviour;
using soak::TTarget;

constexpr int MinUpdates = 100, QuickUpdates = 1000, MaxUpdates = 200000;
constexpr int MinUpdatesToFill = 4000;   // room for the silent stretch and 2000 queued behind it
constexpr unsigned DefaultSeed = 20240917;
constexpr int QueueCapacity = 2000;      // the program's queue
constexpr int FillStretch = 45;          // silent updates in a row: 450 s, while the queue fills in 400 s
constexpr int NormalLead = 1500, FillLead = 2500;  // most files written ahead of the deliveries
constexpr int MaxWritesPerTick = 200;
constexpr auto Tick = 50ms;
constexpr double MB = 1e6;

// Per mille, in the order of EBehaviour.
constexpr std::array<int, soak::BehaviourCount> Weights = {600, 50, 60, 60, 40, 50, 50, 25, 25, 5, 25, 10};

struct TOptions {
  std::string Program = DefaultProgram();
  int Updates = 10000;
  bool Quick = false;
  unsigned Seed = DefaultSeed;
};

struct TPlan {
  std::vector<EBehaviour> Behaviour;  // by update number; [0] is unused
  std::vector<std::size_t> Bytes;     // the body size of each large reply
  int WarmUp = 0;                     // updates 1..WarmUp hold every behaviour
  int FillFrom = 0, FillTo = 0;       // the silent stretch [FillFrom, FillTo); empty when not filling

  EBehaviour operator[](int n) const { return Behaviour[static_cast<std::size_t>(n)]; }
  int Count(EBehaviour b) const { return static_cast<int>(std::count(Behaviour.begin() + 1, Behaviour.end(), b)); }
  bool Redirects(int n) const { return (*this)[n] == EBehaviour::Redirect || (*this)[n] == EBehaviour::RedirectOther; }
};

TPlan MakePlan(int updates, bool fill, std::mt19937& rng) {
  TPlan plan;
  plan.WarmUp = updates / 5;
  auto& b = plan.Behaviour;
  std::discrete_distribution<int> pick(Weights.begin(), Weights.end());
  b.push_back(EBehaviour::Normal);
  for (int n = 1; n <= updates; ++n) b.push_back(static_cast<EBehaviour>(pick(rng)));
  // A behaviour the draw left out of the warm-up takes the place of a normal update in it.
  std::uniform_int_distribution<int> place(1, plan.WarmUp);
  for (int k = 1; k < soak::BehaviourCount; ++k) {
    const auto behaviour = static_cast<EBehaviour>(k);
    const auto warmEnd = b.begin() + plan.WarmUp + 1;
    for (int tries = 0; tries < 10000 && std::find(b.begin() + 1, warmEnd, behaviour) == warmEnd; ++tries) {
      if (const int n = place(rng); b[n] == EBehaviour::Normal) b[n] = behaviour;
    }
    if (std::find(b.begin() + 1, warmEnd, behaviour) == warmEnd) throw TFailure{2, "cannot place every behaviour"};
  }
  if (fill) {
    plan.FillFrom = updates * 3 / 10;
    plan.FillTo = plan.FillFrom + FillStretch;
    std::fill(b.begin() + plan.FillFrom, b.begin() + plan.FillTo, EBehaviour::Silent);
  }
  b.back() = EBehaviour::Normal;  // the servers see the last one, so a refused one before it provably went out
  std::uniform_int_distribution<std::size_t> large(2'000'000, 6'000'000);
  for (const EBehaviour behaviour : b) plan.Bytes.push_back(behaviour == EBehaviour::Large ? large(rng) : 0);
  return plan;
}

// Writes like the sibling program: bursts of 20–200 files at once, and trickles of 10–60 files
// with 50–1000 ms between them.
class TWriter {
public:
  explicit TWriter(unsigned seed) : FRng(seed) {}
  // How many files to write now, at most `room`.
  int Due(Clock::time_point now, int room) {
    if (FLeft == 0) {
      FBurst = std::bernoulli_distribution(0.3)(FRng);
      FLeft = FBurst ? Uniform(20, 200) : Uniform(10, 60);
    }
    if (room <= 0 || now < FNext) return 0;
    const int count = FBurst ? std::min(FLeft, room) : 1;
    FLeft -= count;
    if (!FBurst) FNext = now + std::chrono::milliseconds(Uniform(50, 1000));
    return count;
  }

private:
  std::mt19937 FRng;
  bool FBurst = false;
  int FLeft = 0;
  Clock::time_point FNext;
  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(FRng); }
};

class TSoak {
public:
  TSoak(const TOptions& options, const TPlan& plan, soak::TSoakServer& server, TChild& program, fs::path folder)
      : FPlan(plan), FServer(server), FProgram(program), FFolder(std::move(folder)), FUpdates(options.Updates),
        FSeed(options.Seed), FRefusedPort(soak::ClosedPort()), FWriter(options.Seed ^ 0x9e3779b9u),
        FWrittenAt(FPlan.Behaviour.size()), FRequests(FPlan.Behaviour.size()), FFinals(FPlan.Behaviour.size()) {}

  static Clock::duration Limit(int updates, int silent) {
    return std::chrono::duration_cast<Clock::duration>(2 * updates * 250ms + silent * 15s + 120s);
  }

  // Writes every update and waits until the last has been delivered and the folder is empty;
  // throws on a stall or when the program dies.
  void Run() {
    const auto limit = Limit(FUpdates, FPlan.Count(EBehaviour::Silent));
    const auto deadline = FStart + limit;
    FLastAt = FNextProgress = FStart;
    FNextProgress += 30s;
    for (long tick = 0; tick < limit / Tick + 1 && Clock::now() < deadline; ++tick) {
      const auto now = Clock::now();
      Absorb();
      if (tick % 5 == 0) WatchQueue(now);
      if (FLast == FUpdates && FLeft == 0) return;
      Write(now);
      if (tick % 20 == 0) Sample();
      CheckStall(now);
      if (now >= FNextProgress) Progress(now);
      std::this_thread::sleep_for(Tick);
    }
    std::printf("gave up waiting after %.0f s\n", Seconds(limit));
  }

  // Waits for late requests and lets memory settle, then prints every check; true when all passed.
  bool Report() {
    const double elapsed = Seconds(Clock::now() - FStart);
    Pause(FProgram, 5s);
    Absorb();
    const std::size_t rssEnd = RssBytes(FProgram);
    std::printf("\n== soak summary: %d updates, seed %u ==\n", FUpdates, FSeed);
    bool passed = true;
    const auto check = [&passed](bool ok, const std::string& what) {
      std::printf("%s  %s\n", ok ? "PASS" : "FAIL", what.c_str());
      passed = passed && ok;
    };
    CheckDeliveries(check);
    check(FUnexpected.empty(), "every request an expected HTTP/1.0 GET (" + std::to_string(FSeen) + " requests)" +
                                   (FUnexpected.empty() ? "" : ": " + FUnexpected));
    char line[300];
    std::snprintf(line, sizeof line, "never stalled (longest wait for a delivery %.1f s)", Seconds(FLongestWait));
    check(true, line);  // a stall ends the run with a failure before this
    const double growth = Mb(rssEnd) - Mb(FRssWarm), allowed = std::max(8.0, 0.15 * Mb(FRssWarm));
    std::snprintf(line, sizeof line,
                  "memory: RSS %.1f MB after warm-up, %.1f MB at the end (%+.1f MB, allowed %.1f); peak %.1f MB, "
                  "lowest after warm-up %.1f MB", Mb(FRssWarm), Mb(rssEnd), growth, allowed, Mb(FRssPeak),
                  Mb(FRssLow));
    check(FRssWarm > 0 && growth <= allowed, line);
    if (FPlan.FillTo > 0) check(!FFullNote.empty(), FFullNote.empty() ? "the queue never filled" : FFullNote);
    PrintTotals(elapsed);
    char target[32];
    std::snprintf(target, sizeof target, "<= %.1f", allowed);
    Figure("soak_rate", FUpdates / elapsed, 2, "updates/s", "none");
    Figure("soak_longest_wait", Seconds(FLongestWait), 1, "s", "none");
    Figure("soak_rss_growth", growth, 1, "MB", target);
    Figure("soak_rss_peak", Mb(FRssPeak), 1, "MB", "none");
    return passed;
  }

private:
  const TPlan& FPlan;
  soak::TSoakServer& FServer;
  TChild& FProgram;
  const fs::path FFolder;
  const int FUpdates;
  const unsigned FSeed;
  const unsigned short FRefusedPort;
  TWriter FWriter;
  const Clock::time_point FStart = Clock::now();
  int FWritten = 0;
  std::vector<Clock::time_point> FWrittenAt;
  std::size_t FSeen = 0;                   // requests absorbed
  std::vector<int> FRequests, FFinals;     // by update number
  int FLast = 0;                           // the highest update delivered
  Clock::time_point FLastAt;               // when it was
  std::string FOrderBreak, FUnexpected;    // the first of each
  Clock::duration FLongestWait{};
  int FLeft = 0, FTaken = 0;               // files in the folder, files the program took
  Clock::time_point FTakenAt;              // when it last took one
  std::string FFullNote;
  std::size_t FRss = 0, FRssWarm = 0, FRssPeak = 0, FRssLow = 0;
  double FCpu = 0;
  Clock::time_point FNextProgress;
  int FLastAtProgress = 0;

  std::string Ref(int n) const { return "#" + std::to_string(n) + " (" + std::string(soak::NameOf(FPlan[n])) + ")"; }
  // Keeps the first eight numbers of a list.
  static void Note(std::string& list, int n) {
    const auto entries = std::count(list.begin(), list.end(), ' ');
    if (entries < 8) list += " #" + std::to_string(n);
    if (entries == 8) list += " ...";
  }
  static std::string Listed(const char* what, const std::string& list) {
    return list.empty() ? "" : "; " + std::string(what) + ":" + list;
  }
  static double Mb(std::size_t bytes) { return static_cast<double>(bytes) / MB; }

  // Exactly once, in order, nothing left in the folder, each redirect followed once.
  template <class F> void CheckDeliveries(F check) const {
    std::string missing, twice, unsent, finals;
    int seen = 0;
    for (int n = 1; n <= FUpdates; ++n) {
      std::error_code error;
      if (FPlan[n] == EBehaviour::Refused) {
        // Unseen by the servers: sent when its file was taken and a later update went out.
        if (fs::exists(FFolder / UpdateName(n), error) || FLast <= n) Note(unsent, n);
      } else {
        seen += FRequests[n] > 0;
        if (FRequests[n] == 0) Note(missing, n);
        if (FRequests[n] > 1) Note(twice, n);
      }
      if (FFinals[n] != (FPlan.Redirects(n) ? 1 : 0)) Note(finals, n);
    }
    check(missing.empty() && twice.empty() && unsent.empty(),
          "every update delivered exactly once (" + std::to_string(seen) + " seen by the servers, " +
              std::to_string(FPlan.Count(EBehaviour::Refused)) + " refused)" + Listed("missing", missing) +
              Listed("twice", twice) + Listed("refused but not provably sent", unsent));
    check(FOrderBreak.empty(), "in number order" + (FOrderBreak.empty() ? "" : ": " + FOrderBreak));
    std::string left;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(FFolder, error)) {
      // The program keeps its lock file there by design; the temporary name is the soak's own.
      const std::string name = entry.path().filename().string();
      if (name != ".relaybox.lock" && name != "tmp-update") left += " " + name;
    }
    check(left.empty(), "none left behind" + (left.empty() ? std::string(" (folder empty)") : ":" + left.substr(0, 99)));
    const int redirects = FPlan.Count(EBehaviour::Redirect) + FPlan.Count(EBehaviour::RedirectOther);
    check(finals.empty(), "every redirect's /final requested once, no other (" + std::to_string(redirects) +
                              " redirects)" + Listed("wrong count", finals));
  }

  void PrintTotals(double elapsed) const {
    std::printf("totals: %d updates in %.1f s = %.2f updates/s; program CPU %.1f s (%.1f%% of one core)\n", FUpdates,
                elapsed, FUpdates / elapsed, FCpu, 100 * FCpu / elapsed);
    std::string counts;
    for (int k = 0; k < soak::BehaviourCount; ++k) {
      counts += " " + std::string(soak::BehaviourNames[k]) + " " + std::to_string(FPlan.Count(EBehaviour(k)));
    }
    std::printf("behaviours:%s\n", counts.c_str());
    const auto holds = FServer.SilentHolds();
    if (!holds.empty()) {
      std::printf("silent: the program hung up after %.1f-%.1f s\n", *std::min_element(holds.begin(), holds.end()),
                  *std::max_element(holds.begin(), holds.end()));
    }
  }

  std::string Url(int n) const {
    const EBehaviour b = FPlan[n];
    const unsigned short port = b == EBehaviour::Refused ? FRefusedPort : FServer.MainPort();
    return "http://127.0.0.1:" + std::to_string(port) + soak::UpdatePath(n, b, FPlan.Bytes[n]);
  }

  // Tallies the requests that arrived since the last call: the first /u/<n> one is update n's
  // delivery, /final/<n> the end of its redirect, on the port the redirect named.
  void Absorb() {
    for (const soak::TRequest& r : FServer.RequestsSince(FSeen)) {
      ++FSeen;
      const TTarget t = soak::RequestTarget(r.Line);
      const int n = t.Number;
      const bool wellFormed = r.Line.starts_with("GET ") && r.Line.ends_with(" HTTP/1.0") && n <= FWritten;
      if (wellFormed && t.Kind == TTarget::EKind::Update && t.Behaviour == FPlan[n] &&
          t.Behaviour != EBehaviour::Refused && !r.OnOther) {
        if (++FRequests[n] > 1) continue;
        if (n < FLast && FOrderBreak.empty()) FOrderBreak = Ref(n) + " came after " + Ref(FLast);
        if (n > FLast) {
          FLast = n;
          FLastAt = r.At;
        }
      } else if (wellFormed && t.Kind == TTarget::EKind::Final &&
                 r.OnOther == (FPlan[n] == EBehaviour::RedirectOther)) {
        ++FFinals[n];
      } else if (FUnexpected.empty()) {
        FUnexpected = "\"" + r.Line + "\" on connection " + std::to_string(r.Connection) +
                      (r.OnOther ? " to the other port" : "");
      }
    }
  }

  void Write(Clock::time_point now) {
    // From the silent stretch on, files are written as fast as the lead allows until the queue is full.
    const bool filling = FPlan.FillTo > 0 && FWritten >= FPlan.FillFrom && FFullNote.empty();
    const int room = std::min({FUpdates - FWritten, (filling ? FillLead : NormalLead) - (FWritten - FLast),
                               MaxWritesPerTick});
    const int count = filling ? room : FWriter.Due(now, room);
    for (int i = 0; i < count; ++i) {
      ++FWritten;
      DropUpdate(FFolder, FWritten, Url(FWritten));
      FWrittenAt[FWritten] = Clock::now();
    }
  }

  // The update in flight is still queued, so the queue holds the files taken since the one before
  // it. It is full when it holds 2000 while files wait and the program has not taken any for a second.
  void WatchQueue(Clock::time_point now) {
    FLeft = static_cast<int>(UpdatesLeft(FFolder));
    if (FWritten - FLeft != FTaken) {
      FTaken = FWritten - FLeft;
      FTakenAt = now;
    }
    if (FPlan.FillTo == 0 || !FFullNote.empty()) return;
    const int queued = FTaken - std::max(FLast - 1, 0);
    if (queued >= QueueCapacity && FLeft > 0 && now - FTakenAt >= 1s) {
      FFullNote = "full queue reached: " + std::to_string(queued) + " queued behind " + Ref(FLast) + " while " +
                  std::to_string(FLeft) + " files waited in the folder";
      std::printf("%s\n", FFullNote.c_str());
    }
  }

  void Sample() {
    FRss = RssBytes(FProgram);  // throws once the program has died
    FRssPeak = std::max(FRssPeak, FRss);
    if (FRssWarm > 0) FRssLow = std::min(FRssLow, FRss);
    FCpu = CpuSeconds(FProgram);
    if (FRssWarm == 0 && FLast >= FPlan.WarmUp) {
      FRssWarm = FRssLow = FRss;
      std::printf("warm-up done: %d delivered, RSS %.1f MB\n", FLast, Mb(FRss));
    }
  }

  // A stall: nothing delivered for over 12 s, plus 0.3 s for each refused update before the next
  // the servers can see, while that one has been written.
  void CheckStall(Clock::time_point now) {
    int next = FLast + 1, refused = 0;
    for (; next <= FWritten && FPlan[next] == EBehaviour::Refused; ++next) ++refused;
    if (next > FWritten) return;
    const auto waited = now - std::max(FLastAt, FWrittenAt[next]);
    FLongestWait = std::max(FLongestWait, waited);
    if (waited <= 12s + refused * 300ms) return;
    char message[300];
    std::snprintf(message, sizeof message,
                  "stall: no delivery for %.1f s; last delivered %s, next expected %s after %d refused; %d written, "
                  "%d files in the folder", Seconds(waited), FLast > 0 ? Ref(FLast).c_str() : "none",
                  Ref(next).c_str(), refused, FWritten, FLeft);
    throw TFailure{1, message};
  }

  void Progress(Clock::time_point now) {
    const double elapsed = Seconds(now - FStart);
    std::printf("[%5.0f s] delivered %d of %d written, queue ~%d, folder %d, RSS %.1f MB, CPU %.1f%%, %.2f updates/s\n",
                elapsed, FLast, FWritten, FTaken - std::max(FLast - 1, 0), FLeft,
                Mb(FRss), 100 * FCpu / elapsed, (FLast - FLastAtProgress) / 30.0);
    FLastAtProgress = FLast;
    FNextProgress += 30s;
  }
};

int Run(const TOptions& options) {
  std::mt19937 rng(options.Seed);
  const bool fill = !options.Quick && options.Updates >= MinUpdatesToFill;
  if (!options.Quick && !fill) std::printf("no queue-full phase: it needs at least %d updates\n", MinUpdatesToFill);
  const TPlan plan = MakePlan(options.Updates, fill, rng);
  const TTempDir home;
  const fs::path folder = home.Path() / "Documents/Quintel/Hoofline/Relaybox";
  const fs::path log = home.Path() / "relaybox.log";
  std::error_code error;
  if (!fs::create_directories(folder, error)) throw TFailure{2, "cannot create " + folder.string()};
  soak::TSoakServer server(TSoak::Limit(options.Updates, plan.Count(EBehaviour::Silent)) + 5min);
  TChild program(options.Program, {}, ProgramEnvironment(home.Path()), log);
  std::printf("soak: %d updates, seed %u, program %s (pid %d), servers on ports %u and %u\n", options.Updates,
              options.Seed, options.Program.c_str(), program.Pid(), server.MainPort(), server.OtherPort());
  try {
    Pause(program, 2s);  // start-up
    TSoak soak(options, plan, server, program, folder);
    soak.Run();
    if (soak.Report()) return 0;
  } catch (const TFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.Message.c_str());
    if (failure.Status != 1) return failure.Status;
  }
  program.Stop();
  PrintLogTail(log);
  return 1;
}

int Usage() {
  std::fprintf(stderr, "usage: soak [--updates N] [--quick] [--seed N] [--program PATH]\n");
  return 2;
}

int Main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows while the soak runs
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool valued = i + 1 < argc;
    if (arg == "--quick") {
      options.Quick = true;
    } else if (arg == "--program" && valued) {
      options.Program = argv[++i];
    } else if (arg == "--updates" && valued) {
      options.Updates = std::atoi(argv[++i]);
      if (options.Updates < MinUpdates || options.Updates > MaxUpdates) return Usage();
    } else if (arg == "--seed" && valued) {
      const std::string_view value = argv[++i];
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), options.Seed);
      if (error != std::errc{} || end != value.data() + value.size()) return Usage();
    } else {
      return Usage();
    }
  }
  if (options.Quick) options.Updates = QuickUpdates;
  if (!ProgramFound(options.Program)) return 2;
  return ExitStatusOf([&] { return Run(options); });
}

} // namespace
} // namespace relaybox

int main(int argc, char** argv) { return relaybox::Main(argc, argv); }
