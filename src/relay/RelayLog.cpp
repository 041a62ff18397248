#include "relay/RelayLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "relay/StateFolder.h"

namespace relaybox {
namespace {

// The local time as ISO 8601 with milliseconds and the offset from UTC.
std::string LocalTimeStamp() {
  timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local {};
  ::localtime_r(&now.tv_sec, &local);
  char stamp[48];
  const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  const long offset = local.tm_gmtoff / 60;
  std::snprintf(stamp + length, sizeof stamp - length, ".%03ld%c%02ld:%02ld", now.tv_nsec / 1000000,
                offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
  return stamp;
}

} // namespace

TRelayLog::TRelayLog(std::string folder, std::uint64_t limit) : FFolder(std::move(folder)), FLimit(limit) {}

TRelayLog::~TRelayLog() {
  if (FFd >= 0) ::close(FFd);
}

bool TRelayLog::Append(const std::string& line) {
  std::string text = LocalTimeStamp() + "\t";
  for (const char c : line) {
    if (c == '\n') {
      text += "\\n";
    } else if (c != '\r') {
      text.push_back(c);
    }
  }
  text.push_back('\n');
  FProblem = Write(text);
  return FProblem.empty();
}

std::string TRelayLog::Write(const std::string& text) {
  // The log at the path is the one written to, even after someone moved or deleted it.
  struct stat atPath {}, held {};
  if (FFd >= 0 && (::stat(Path().c_str(), &atPath) != 0 || ::fstat(FFd, &held) != 0 || atPath.st_ino != held.st_ino ||
                   atPath.st_dev != held.st_dev)) {
    ::close(FFd);
    FFd = -1;
  }
  if (FFd < 0) {
    const std::string failure = Open();
    if (!failure.empty()) return failure;
    ::fstat(FFd, &held);
  }
  if (held.st_size > 0 && static_cast<std::uint64_t>(held.st_size) + text.size() > FLimit) {
    const std::string older = Path() + ".1";
    if (::rename(Path().c_str(), older.c_str()) != 0) return "the log " + Path() + " cannot be moved to " + older + ": " + std::strerror(errno);
    ::close(FFd);
    FFd = -1;
    const std::string failure = Open();
    if (!failure.empty()) return failure;
  }
  const ssize_t written = ::write(FFd, text.data(), text.size());
  if (written == static_cast<ssize_t>(text.size())) return {};
  return "the log " + Path() + " cannot be written: " + (written < 0 ? std::strerror(errno) : "the disk is full");
}

std::string TRelayLog::Open() {
  FFd = ::open(Path().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (FFd < 0 && errno == ENOENT) {
    const std::string failure = MakeStateFolder(FFolder);
    if (!failure.empty()) return "the log " + Path() + " cannot be made: " + failure;
    FFd = ::open(Path().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  }
  if (FFd < 0) return "the log " + Path() + " cannot be opened: " + std::strerror(errno);
  return {};
}

} // namespace relaybox
