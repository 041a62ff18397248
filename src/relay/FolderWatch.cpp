#include "relay/FolderWatch.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace relaybox {
namespace {

constexpr std::uint32_t WatchedEvents = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB |
                                        IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF;
// Reads per call: the kernel's default queue of 16384 events fits in a few of them.
constexpr int MaxReads = 64;

// File systems whose contents other machines change without a local event.
bool IsRemote(long type) {
  constexpr unsigned long Remote[] = {
      0x6969,      // NFS
      0x517B,      // SMB
      0xFF534D42,  // CIFS
      0xFE534D42,  // SMB2
      0x65735546,  // FUSE (sshfs and others)
      0x01021997,  // 9P
      0x00C36400,  // Ceph
      0x5346414F,  // AFS
      0x6B414653,  // kAFS
      0x73757245,  // Coda
      0x01161970,  // GFS2
      0x7461636F,  // OCFS2
  };
  const auto value = static_cast<unsigned long>(type) & 0xFFFFFFFFul;
  return std::find(std::begin(Remote), std::end(Remote), value) != std::end(Remote);
}

TFolderEvent::TKind KindOf(std::uint32_t mask) {
  if (mask & (IN_DELETE | IN_MOVED_FROM)) return TFolderEvent::Removed;
  if (mask & IN_MOVED_TO) return TFolderEvent::Arrived;
  if (mask & IN_CREATE) return TFolderEvent::Created;
  if (mask & IN_CLOSE_WRITE) return TFolderEvent::Closed;
  if (mask & IN_MODIFY) return TFolderEvent::Modified;
  return TFolderEvent::Touched;
}

} // namespace

TFolderWatch::~TFolderWatch() {
  Stop();
  if (FFd >= 0) ::close(FFd);
}

TFolderWatch::TStart TFolderWatch::Start(const std::string& folder) {
  Stop();
  if (FFd < 0) FFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (FFd < 0) {
    FProblem = std::string("inotify_init1: ") + std::strerror(errno);
    return Unavailable;
  }
  struct statfs fs {};
  if (::statfs(folder.c_str(), &fs) != 0) {
    FProblem = std::strerror(errno);
    return errno == ENOENT || errno == ENOTDIR ? Missing : Unavailable;
  }
  if (IsRemote(fs.f_type)) {
    FProblem = "the watch folder is on a network file system";
    return Unavailable;
  }
  // The folder is held open, and watched and reached through that descriptor, so that events,
  // listings and files all come from one folder whatever is renamed to or from its path.
  FDir = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  int error = errno;
  struct stat info {};
  if (FDir >= 0 && ::fstat(FDir, &info) == 0) {
    FPath = "/proc/self/fd/" + std::to_string(FDir) + "/";
    FWatch = ::inotify_add_watch(FFd, FPath.c_str(), WatchedEvents | IN_ONLYDIR);
    error = errno;
    // Without /proc the folder is reached by its path, as it is found on each use.
    if (FWatch < 0 && error == ENOENT && ::access("/proc/self/fd", X_OK) != 0) {
      FPath = folder;
      FWatch = ::inotify_add_watch(FFd, folder.c_str(), WatchedEvents | IN_ONLYDIR);
      error = errno;
    }
  }
  if (FWatch < 0) {
    FProblem = std::string("inotify_add_watch: ") + std::strerror(error);
    Stop();
    return error == ENOENT || error == ENOTDIR ? Missing : Unavailable;
  }
  FDevice = info.st_dev;
  FInode = info.st_ino;
  FProblem.clear();
  return Watching;
}

void TFolderWatch::Stop() {
  // A watch the kernel ended (IN_IGNORED) is gone already; removing it again fails harmlessly.
  if (FWatch >= 0) ::inotify_rm_watch(FFd, FWatch);
  FWatch = -1;
  if (FDir >= 0) ::close(FDir);
  FDir = -1;
  FPath.clear();
}

bool TFolderWatch::IsStillAt(const std::string& folder) const {
  struct stat info {};
  return ::stat(folder.c_str(), &info) == 0 && info.st_dev == FDevice && info.st_ino == FInode;
}

void TFolderWatch::Read(const std::function<void(const TFolderEvent& event)>& handle) {
  if (FFd < 0) return;
  alignas(inotify_event) std::array<char, 64 * 1024> buffer;
  for (int reads = 0; reads < MaxReads; ++reads) {
    const ssize_t got = ::read(FFd, buffer.data(), buffer.size());
    if (got <= 0) return;  // EAGAIN: nothing waits
    for (ssize_t at = 0; at < got;) {
      inotify_event event;
      std::memcpy(&event, buffer.data() + at, sizeof event);
      const char* name = buffer.data() + at + sizeof event;
      at += static_cast<ssize_t>(sizeof event + event.len);
      if (event.mask & IN_Q_OVERFLOW) {
        handle({TFolderEvent::Overflowed, {}, false});
      } else if (event.wd != FWatch) {
        // a watch ended earlier, on a folder no longer watched
      } else if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
        // What the old watch still tells is of a folder no longer at the path.
        if (event.mask & IN_IGNORED) FWatch = -1;
        Stop();
        handle({TFolderEvent::Lost, {}, false});
        return;
      } else if (event.len > 0) {
        handle({KindOf(event.mask), std::string_view(name, ::strnlen(name, event.len)), (event.mask & IN_ISDIR) != 0});
      } else if (event.mask & IN_ATTRIB) {
        handle({TFolderEvent::Reopened, {}, false});
      }
    }
    // A short read took all that waited; what came meanwhile makes the descriptor readable again.
    if (static_cast<std::size_t>(got) + sizeof(inotify_event) + NAME_MAX + 1 <= buffer.size()) return;
  }
}

} // namespace relaybox
