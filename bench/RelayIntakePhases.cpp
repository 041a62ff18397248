// The relay bench's intake phases: what files the program must take without reading all of
// them, or must not open at all, cost it.
//   bigline   a 1 GiB update file whose site line runs for 60 MiB, with its address after it
//             (inside the 64 MiB a file is read to) and 960 MiB of a third line no one reads,
//             written under a temporary name and renamed into the folder: the program's CPU
//             from the rename until the file is gone, its peak RSS above what it had just
//             before, and how long its RSS takes to come back. The update must still be
//             delivered with its address.
//   oddfiles  a link to /dev/zero and a FIFO named like updates: CPU and RSS over 10 s, as in
//             the idle phase; then an update numbered behind them must be delivered, and both
//             must still be there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "RelayBench.h"

namespace relaybox::bench {
namespace {

constexpr int BigLineUpdate = 30001;
constexpr std::size_t BigFileBytes = std::size_t{1} << 30;
constexpr std::size_t BigLineBytes = std::size_t{60} << 20;
constexpr std::size_t WriteBlock = 1 << 20;
constexpr auto TakeLimit = 60s;
constexpr auto SampleEvery = 5ms;
constexpr auto SettleLimit = 60s;
constexpr std::size_t NearIdle = 4 * 1024 * 1024;  // "back at idle": within this of it

constexpr int FirstOddFile = 40001;  // the link; the FIFO and the update come next

// Writes the long site line, the address and the unread rest under a temporary name.
void WriteBigLine(const fs::path& path, const std::string& url) {
  const TFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.Get() < 0) throw TFailure{2, "cannot create " + path.string() + ": " + std::strerror(errno)};
  const std::string block(WriteBlock, 'x');
  const std::string address = "\r\n" + url + "\r\n";
  const std::size_t blocks = BigFileBytes / WriteBlock;
  for (std::size_t i = 0; i <= blocks; ++i) {
    CheckInterrupted();
    const std::string_view part = i == BigLineBytes / WriteBlock ? std::string_view(address)
                                  : i < blocks                    ? std::string_view(block)
                                                                  : std::string_view();
    for (std::size_t done = 0; done < part.size();) {
      const ssize_t n = ::write(out.Get(), part.data() + done, part.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw TFailure{2, "cannot write " + path.string() + ": " + std::strerror(errno)};
      done += static_cast<std::size_t>(n);
    }
  }
}

bool Exists(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// Waits for a request line from `server` and fails the phase without it.
void ExpectDelivery(TRelay& relay, TServer& server, const std::string& line, const char* phase) {
  const auto found = [&](const std::vector<TVisit>& visits) {
    return std::any_of(visits.begin(), visits.end(), [&](const TVisit& v) { return v.RequestLine == line; });
  };
  if (!server.WaitFor(relay.Child(), 10s, found)) {
    throw TFailure{1, std::string(phase) + ": \"" + line + "\" did not arrive within 10 s"};
  }
}

} // namespace

void BigLinePhase(TRelay& relay, TServer& fast, const fs::path& folder) {
  const std::string path = "/big/" + std::to_string(BigLineUpdate);
  const fs::path temp = folder / "tmp-bigline";
  const fs::path update = folder / UpdateName(BigLineUpdate);
  const auto writeStart = Clock::now();
  WriteBigLine(temp, Url(fast, path));
  std::printf("bigline: %zu MiB written in %.1f s\n", BigFileBytes >> 20, Seconds(Clock::now() - writeStart));
  const std::size_t idle = relay.MemoryBytes("VmRSS");
  const bool reset = relay.ResetPeak();
  const double cpuBefore = relay.CpuSeconds();
  std::error_code error;
  fs::rename(temp, update, error);
  if (error) throw TFailure{2, "cannot rename to " + update.string() + ": " + error.message()};
  const auto renamed = Clock::now();
  // VmHWM catches what sampling misses where the reset worked; sampling is the fallback.
  std::size_t peak = idle;
  for (int i = 0; i < MaxSteps && Exists(update); ++i) {
    if (Clock::now() - renamed > TakeLimit) {
      throw TFailure{1, "bigline: the program did not take the file within " + std::to_string(TakeLimit.count()) +
                            " s"};
    }
    peak = std::max(peak, relay.MemoryBytes("VmRSS"));
    std::this_thread::sleep_for(SampleEvery);
  }
  const auto taken = Clock::now();
  const double cpu = relay.CpuSeconds() - cpuBefore;
  if (reset) peak = std::max(peak, relay.MemoryBytes("VmHWM"));
  std::printf("bigline: taken %.2f s after the rename; idle RSS %.1f MB, peak %s %.1f MB\n",
              Seconds(taken - renamed), Mb(idle), reset ? "(VmHWM)" : "(sampled)", Mb(peak));
  Figure("bigline_cpu", cpu, 2, "s", "< 2");
  Figure("bigline_peak_above_idle", Mb(peak - idle), 1, "MB", "< 50");
  auto settled = taken;
  for (int i = 0; i < MaxSteps && relay.MemoryBytes("VmRSS") > idle + NearIdle; ++i) {
    if (Clock::now() - taken > SettleLimit) {
      std::printf("bigline: RSS still %.1f MB above idle %.0f s after the take\n",
                  Mb(relay.MemoryBytes("VmRSS") - idle), Seconds(SettleLimit));
      break;
    }
    std::this_thread::sleep_for(50ms);
    settled = Clock::now();
  }
  Figure("bigline_rss_settle", Seconds(settled - taken), 1, "s", "< 10");
  ExpectDelivery(relay, fast, "GET " + path + " HTTP/1.0", "bigline");
  std::printf("bigline: delivered with its address\n");
}

void OddFilesPhase(TRelay& relay, TServer& fast, const fs::path& folder) {
  const fs::path link = folder / UpdateName(FirstOddFile);
  const fs::path fifo = folder / UpdateName(FirstOddFile + 1);
  const std::size_t idle = relay.MemoryBytes("VmRSS");
  std::error_code error;
  fs::create_symlink("/dev/zero", link, error);
  if (error || ::mkfifo(fifo.c_str(), 0644) != 0) throw TFailure{2, "cannot make the link or the FIFO"};
  const auto start = Clock::now();
  const double before = relay.CpuSeconds();
  Pause(relay.Child(), 10s);
  const double used = relay.CpuSeconds() - before;
  const std::size_t rss = relay.MemoryBytes("VmRSS");
  std::printf("oddfiles: RSS %.1f MB before, %.1f MB after 10 s\n", Mb(idle), Mb(rss));
  Figure("oddfiles_idle_cpu", 100 * used / Seconds(Clock::now() - start), 2, "%", "< 1");
  Figure("oddfiles_rss_above_idle", Mb(rss) - Mb(idle), 1, "MB", "< 4");
  const std::string path = "/odd/" + std::to_string(FirstOddFile + 2);
  DropUpdate(folder, FirstOddFile + 2, Url(fast, path));
  ExpectDelivery(relay, fast, "GET " + path + " HTTP/1.0", "oddfiles");
  const bool kept = fs::is_symlink(fs::symlink_status(link, error)) && fs::read_symlink(link, error) == "/dev/zero" &&
                    fs::is_fifo(fs::symlink_status(fifo, error));
  if (!kept) throw TFailure{1, "oddfiles: the link or the FIFO is gone or changed"};
  std::printf("oddfiles: the update behind them was delivered; both are still there\n");
  fs::remove(link, error);
  fs::remove(fifo, error);
}

} // namespace relaybox::bench
