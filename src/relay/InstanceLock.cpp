#include "relay/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace relaybox {
namespace {

// FNV-1a: a short, stable name for a path of any length.
std::uint64_t PathHash(const std::string& path) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : path) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

// An absolute folder that belongs to this user and nobody else can write to.
bool IsPrivateFolder(const char* path) {
  struct stat info {};
  return path != nullptr && path[0] == '/' && ::lstat(path, &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == ::geteuid() && (info.st_mode & 022) == 0;
}

} // namespace

std::string TInstanceLock::UserLockFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (IsPrivateFolder(runtime)) return std::string(runtime) + "/relaybox/";
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/relaybox/";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.cache/relaybox/";
}

TInstanceLock::TInstanceLock(const std::string& folder, const std::string& lockFolder) {
  std::error_code ignored;
  std::filesystem::create_directories(lockFolder, ignored);
  ::chmod(lockFolder.c_str(), 0700);
  // One name however the folder is written: relative, with "./" or through a link.
  std::filesystem::path key = std::filesystem::weakly_canonical(folder, ignored);
  if (key.empty()) key = std::filesystem::absolute(folder, ignored).lexically_normal();
  const std::string keyText = (key / "").string();
  char name[40];
  std::snprintf(name, sizeof name, "watch-%016llx.lock", static_cast<unsigned long long>(PathHash(keyText)));
  FPath = lockFolder + name;
  FFd = ::open(FPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  // Without a place for the lock there is nothing to guard with: the relay runs unguarded.
  if (FFd < 0) {
    FPath.clear();
    return;
  }
  int result = 0;
  do {
    result = ::flock(FFd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  FAcquired = result == 0 || errno != EWOULDBLOCK;
  if (result != 0) return;
  // For people who wonder what the file is; the sticky bit keeps runtime-folder clean-ups off it.
  const std::string text = keyText + "\n";
  if (::ftruncate(FFd, 0) == 0) {
    [[maybe_unused]] const auto written = ::pwrite(FFd, text.data(), text.size(), 0);
  }
  ::fchmod(FFd, 0600 | S_ISVTX);
}

TInstanceLock::~TInstanceLock() {
  if (FFd >= 0) ::close(FFd);
}

} // namespace relaybox
