#include "relay/UpdateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <system_error>

#include "base/CodePage.h"

namespace relaybox {
namespace {

// A writer opening a leased file makes the kernel signal the lease holder; the lease is only
// held while two lines are read, so that signal needs no handling, but its default action
// would end the program.
void IgnoreLeaseBreakSignal() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGIO, SIG_IGN); });
}

} // namespace

TUpdateFile::~TUpdateFile() { Close(); }

TUpdateFile::TOpenResult TUpdateFile::Open(const std::string& path) {
  Close();
  IgnoreLeaseBreakSignal();
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    FError = errno;
    struct stat link {};
    return FError == ENOENT && ::lstat(path.c_str(), &link) != 0 ? Vanished : Unreadable;
  }
  // Reading a FIFO or a device could block or never end; they are not opened at all.
  if (!S_ISREG(info.st_mode)) return NotRegular;
  do {
    FFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (FFd < 0 && errno == EINTR);
  if (FFd < 0) {
    FError = errno;
    if (FError == ENOENT) return Vanished;
    // EAGAIN (EWOULDBLOCK): another process's lease on the file is being broken, which the
    // open would wait for without O_NONBLOCK. The file is in use, not unreadable.
    return FError == EAGAIN ? BeingWritten : Unreadable;
  }
  // Swapped for something else since the check above.
  if (::fstat(FFd, &FInfo) != 0 || !S_ISREG(FInfo.st_mode)) {
    Close();
    return NotRegular;
  }
  // A read lease is granted only while no process has the file open for writing. Where
  // leases are not permitted at all (another user's file, a file system without them) the
  // file is read without one.
  if (::fcntl(FFd, F_SETLEASE, F_RDLCK) == 0) {
    FLeased = true;
  } else if (errno == EAGAIN) {
    Close();
    return BeingWritten;
  }
  FReader.emplace([this](char* buffer, std::size_t size) { return ReadBytes(buffer, size); }, UpdateLineLimit, FBuffer);
  return Opened;
}

std::size_t TUpdateFile::ReadBytes(char* buffer, std::size_t size) {
  size = std::min(size, UpdateReadLimit - FBytesRead);
  if (size == 0) return 0;  // read far enough: this is where the file ends
  for (;;) {
    const ssize_t n = ::read(FFd, buffer, size);
    if (n >= 0) {
      FBytesRead += static_cast<std::size_t>(n);
      return static_cast<std::size_t>(n);
    }
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "read");
  }
}

bool TUpdateFile::Eof() { return FReader->Eof(); }

Text TUpdateFile::ReadLine() { return AnsiToText(FReader->ReadLine()); }

bool TUpdateFile::IsStillAt(const std::string& path) const {
  struct stat open {}, named {};
  return ::fstat(FFd, &open) == 0 && ::stat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

void TUpdateFile::Close() {
  if (FFd < 0) return;
  if (FLeased) ::fcntl(FFd, F_SETLEASE, F_UNLCK);
  ::close(FFd);
  FFd = -1;
  FLeased = false;
  FBytesRead = 0;
  FReader.reset();
}

} // namespace relaybox
