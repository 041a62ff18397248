#include "relay/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace relaybox {

TInstanceLock::TInstanceLock(const std::string& folder) {
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  FFd = ::open((folder + FileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  // A folder that cannot hold the lock file cannot hold update files either: nothing to guard.
  if (FFd < 0) return;
  int result = 0;
  do {
    result = ::flock(FFd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  FAcquired = result == 0 || errno != EWOULDBLOCK;
}

TInstanceLock::~TInstanceLock() {
  if (FFd >= 0) ::close(FFd);
}

} // namespace relaybox
