#include "base/BlockOutput.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "base/StandardStreams.h"

namespace relaybox {
namespace {

constexpr int LargestPipe = 1024 * 1024;
constexpr std::size_t Anything = std::numeric_limits<std::size_t>::max();

bool IsStreamSocket(int fd) {
  int type = 0;
  socklen_t size = sizeof type;
  return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM;
}

} // namespace

TBlockOutput::TBlockOutput(int fd) : FFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0)) {
  if (const long page = ::sysconf(_SC_PAGESIZE); page > 0) FPage = static_cast<std::size_t>(page);
  struct stat status {};
  if (FFd < 0 || ::fstat(FFd, &status) != 0) return;
  if (S_ISFIFO(status.st_mode)) {
    FKind = TKind::Pipe;
    // A larger pipe holds more for a slow reader; the system may allow less, or nothing more.
    const int capacity = ::fcntl(FFd, F_GETPIPE_SZ);
    for (int size = LargestPipe; size > capacity && ::fcntl(FFd, F_SETPIPE_SZ, size) < 0; size /= 2) {
    }
  } else if (S_ISSOCK(status.st_mode) && IsStreamSocket(FFd)) {
    FKind = TKind::StreamSocket;
  }
}

TBlockOutput::~TBlockOutput() {
  if (FFd >= 0) ::close(FFd);
}

TBlockOutput::TRoom TBlockOutput::Room() {
  pollfd ready{FFd, POLLOUT, 0};
  if (FFd < 0 || ::poll(&ready, 1, 0) < 0 || (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
    return {Anything, Anything};  // a write fails at once
  }
  const bool writable = (ready.revents & POLLOUT) != 0;
  switch (FKind) {
    case TKind::Pipe:
      return PipeRoom();
    case TKind::StreamSocket:
      return SocketRoom();
    case TKind::Other:
      break;
  }
  return {writable ? Anything : 0, Anything};
}

// A pipe holds its bytes in page-sized slots. A write fills its pages whole but for its last,
// which the next write fills further only when all of that write's part beyond whole pages
// fits; in the first page, what was read is lost until the page is. So the unread bytes take
// at most one page more than themselves for each write not yet wholly read, plus one, and a
// write of n bytes needs at most n bytes' pages and one more.
TBlockOutput::TRoom TBlockOutput::PipeRoom() {
  const int capacity = ::fcntl(FFd, F_GETPIPE_SZ);
  int unread = 0;
  if (capacity <= 0 || ::ioctl(FFd, FIONREAD, &unread) != 0 || unread < 0) return {Anything, Anything};
  // Bytes of other writers to the pipe count as ours not yet read: that errs on the safe side.
  const std::uint64_t read = FWritten - std::min<std::uint64_t>(FWritten, static_cast<std::uint64_t>(unread));
  while (!FWriteEnds.empty() && FWriteEnds.front() <= read) FWriteEnds.pop_front();
  const std::size_t size = static_cast<std::size_t>(capacity);
  const std::size_t taken = static_cast<std::size_t>(unread) + (FWriteEnds.size() + 2) * FPage;
  const std::size_t most = size > 2 * FPage ? size - 2 * FPage : 0;
  return {size > taken ? size - taken : 0, most};
}

// A stream socket's write waits while its send buffer, counted with each packet's overhead,
// holds SO_SNDBUF bytes; counting each byte twice covers the overhead.
TBlockOutput::TRoom TBlockOutput::SocketRoom() {
  int buffer = 0, queued = 0;
  socklen_t size = sizeof buffer;
  if (::getsockopt(FFd, SOL_SOCKET, SO_SNDBUF, &buffer, &size) != 0 || ::ioctl(FFd, SIOCOUTQ, &queued) != 0 ||
      buffer <= 0 || queued < 0) {
    return {Anything, Anything};
  }
  const std::size_t most = static_cast<std::size_t>(buffer) / 2;
  return {queued < buffer ? static_cast<std::size_t>(buffer - queued) / 2 : 0, most};
}

bool TBlockOutput::Write(std::string_view bytes) {
  if (FFd < 0 || !WriteAll(FFd, bytes.data(), bytes.size())) return false;
  if (FKind == TKind::Pipe) {
    FWritten += bytes.size();
    FWriteEnds.push_back(FWritten);
  }
  return true;
}

} // namespace relaybox
