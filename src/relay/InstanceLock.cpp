#include "relay/InstanceLock.h"

#include <fcntl.h>
#include <pwd.h>
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

std::vector<std::string> TInstanceLock::UserLockFolders() {
  std::vector<std::string> folders;
  const std::string session = "/run/user/" + std::to_string(::geteuid());
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (IsPrivateFolder(runtime)) {
    folders.push_back(std::string(runtime) + "/relaybox/");
  } else if (IsPrivateFolder(session.c_str())) {
    folders.push_back(session + "/relaybox/");
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    const passwd* user = ::getpwuid(::geteuid());
    home = user != nullptr ? user->pw_dir : nullptr;
  }
  if (home != nullptr && home[0] == '/') folders.push_back(std::string(home) + "/.cache/relaybox/");
  return folders;
}

TInstanceLock::TInstanceLock(const std::string& folder, const std::vector<std::string>& lockFolders) {
  // One name however the folder is written: relative, with "./" or through a link.
  std::error_code ignored;
  std::filesystem::path key = std::filesystem::weakly_canonical(folder, ignored);
  if (key.empty()) key = std::filesystem::absolute(folder, ignored).lexically_normal();
  const std::string keyText = (key / "").string();
  char name[40];
  std::snprintf(name, sizeof name, "watch-%016llx.lock", static_cast<unsigned long long>(PathHash(keyText)));
  for (const std::string& lockFolder : lockFolders) {
    std::filesystem::create_directories(lockFolder, ignored);
    const std::string path = lockFolder + name;
    // A folder that cannot hold a lock file is passed over; with none at all the relay runs unguarded.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) continue;
    FFds.push_back(fd);
    FPaths.push_back(path);
    int result = 0;
    do {
      result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EWOULDBLOCK) {
      // Another relay holds it. What this one holds already is let go at once, so that two
      // relays starting together cannot each keep the other out.
      FAcquired = false;
      for (const int held : FFds) ::close(held);
      FFds.clear();
      return;
    }
    if (result != 0) continue;
    // For people who wonder what the file is; the sticky bit keeps runtime-folder clean-ups off it.
    const std::string text = keyText + "\n";
    if (::ftruncate(fd, 0) == 0) {
      [[maybe_unused]] const auto written = ::pwrite(fd, text.data(), text.size(), 0);
    }
    ::fchmod(fd, 0600 | S_ISVTX);
  }
}

TInstanceLock::~TInstanceLock() {
  for (const int fd : FFds) ::close(fd);
}

} // namespace relaybox
