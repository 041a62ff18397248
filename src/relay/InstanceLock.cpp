#include "relay/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "relay/FolderKey.h"
#include "relay/StateFolder.h"

namespace relaybox {
namespace {

// An absolute folder that belongs to this user and nobody else can write to.
bool IsPrivateFolder(const char* path) {
  struct stat info {};
  return path != nullptr && path[0] == '/' && ::lstat(path, &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == ::geteuid() && (info.st_mode & 022) == 0;
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

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
  if (const std::string home = UserHomeFolder(); !home.empty()) folders.push_back(home + "/.cache/relaybox/");
  return folders;
}

TInstanceLock::TInstanceLock(const std::string& folder, const std::vector<std::string>& lockFolders)
    : FFolder(folder), FLockFolders(lockFolders) {
  FKeyText = CanonicalFolderPath(folder);
  FPathName = "watch-" + PathKey(FKeyText) + ".lock";
  // The folder itself first: that lock meets any other relay on it, whatever its lock folders.
  if (TakeFolder(FFolderLock) == Busy) return;
  const std::string folderName = FolderLockName();

  std::string failures;
  bool locked = false;  // some lock folder holds all the lock files
  for (const std::string& lockFolder : lockFolders) {
    std::error_code made;
    std::filesystem::create_directories(lockFolder, made);
    std::vector<THeld> taken;
    std::string error;
    for (const std::string& lockName : {FPathName, folderName}) {
      if (lockName.empty()) continue;  // the folder is not there yet: Keep() locks it once it is
      THeld held{};
      const TTake outcome = Take(lockFolder + lockName, held, error);
      if (outcome == Taken) taken.push_back(held);
      if (outcome == Busy) {
        // Another relay holds it. What this one holds already is let go at once, so that two
        // relays starting together cannot each keep the other out.
        Release(taken);
        Release(FHeld);
        Release(FFolderLock);
        return;
      }
      if (outcome == Failed) break;
    }
    if (!error.empty()) {
      // A lock folder that cannot hold the lock files is passed over.
      Release(taken);
      failures += (failures.empty() ? "" : ", ") + lockFolder + " (" + (made ? made.message() : error) + ")";
      continue;
    }
    FHeld.insert(FHeld.end(), taken.begin(), taken.end());
    locked = true;
  }
  FAcquired = locked;
  // Without a lock file nothing would keep a relay off once the folder is cleaned or recreated,
  // nor where a folder cannot be locked: the relay does not start.
  if (!FAcquired) {
    Release(FFolderLock);
    FFailure = lockFolders.empty() ? "there is no folder to keep a lock file in"
                                   : "no lock file can be made in " + failures;
  }
}

TInstanceLock::~TInstanceLock() {
  Release(FHeld);
  Release(FFolderLock);
}

std::vector<std::string> TInstanceLock::Paths() const {
  std::vector<std::string> paths;
  for (const THeld& held : FHeld) paths.push_back(held.Path);
  return paths;
}

std::string TInstanceLock::Keep() {
  if (!FAcquired) return "the watch folder is not locked";
  constexpr char Held[] = "another relay holds the watch folder";
  // A folder other than the one locked stands at the path (or none): its lock is taken first.
  struct stat now {};
  const bool changed = ::stat(FFolder.c_str(), &now) != 0 || !S_ISDIR(now.st_mode) ||
                       now.st_dev != FFolderLock.Device || now.st_ino != FFolderLock.Inode;
  THeld folderLock{FFolder, -1, 0, 0};
  if (changed && TakeFolder(folderLock) == Busy) return Held;
  const std::string folderName = FolderLockName();
  std::vector<std::string> kept;  // the lock files this relay holds now, checked or taken anew
  std::vector<THeld> taken;
  std::string failures;
  for (const std::string& lockFolder : FLockFolders) {
    std::string error;
    for (const std::string& lockName : {FPathName, folderName}) {
      if (lockName.empty()) continue;
      const std::string path = lockFolder + lockName;
      const auto held = std::find_if(FHeld.begin(), FHeld.end(), [&path](const THeld& h) { return h.Path == path; });
      struct stat info {};
      if (held != FHeld.end() && ::stat(path.c_str(), &info) == 0 && info.st_dev == held->Device &&
          info.st_ino == held->Inode) {
        kept.push_back(path);
        continue;
      }
      // A new folder at the path, or a lock file deleted: its lock is taken now.
      std::error_code ignored;
      std::filesystem::create_directories(lockFolder, ignored);
      THeld fresh{};
      switch (Take(path, fresh, error)) {
        case Taken:
          taken.push_back(fresh);
          kept.push_back(path);
          break;
        case Busy:
          // Another relay reached the folder first. This one takes nothing from it until that one
          // ends, and holds nothing new meanwhile, so the two cannot keep each other out.
          Release(taken);
          Release(folderLock);
          return Held;
        case Failed:
          failures += (failures.empty() ? "" : ", ") + lockFolder + " (" + error + ")";
          break;
      }
      if (!error.empty()) break;  // this lock folder cannot hold the locks now
    }
  }
  // A lock file taken anew stands in for the one that was deleted.
  for (const THeld& fresh : taken) {
    std::vector<THeld> replaced;
    std::erase_if(FHeld, [&fresh, &replaced](const THeld& h) {
      if (h.Path != fresh.Path) return false;
      replaced.push_back(h);
      return true;
    });
    Release(replaced);
    FHeld.push_back(fresh);
  }
  // At least one lock folder holds every lock this folder needs.
  const bool locked = std::any_of(FLockFolders.begin(), FLockFolders.end(), [&](const std::string& lockFolder) {
    return std::count_if(kept.begin(), kept.end(), [&](const std::string& path) { return FolderOf(path) == lockFolder; }) ==
           (folderName.empty() ? 1 : 2);
  });
  if (!locked) {
    Release(folderLock);
    return "the watch folder cannot be locked: no lock file can be made in " + failures;
  }
  // The folder that was at the path before is no longer looked into: its locks are let go.
  if (changed) {
    Release(FFolderLock);
    FFolderLock = folderLock;
  }
  std::vector<THeld> stale;
  std::erase_if(FHeld, [&kept, &stale](const THeld& h) {
    if (std::find(kept.begin(), kept.end(), h.Path) != kept.end()) return false;
    stale.push_back(h);
    return true;
  });
  Release(stale);
  return {};
}

// The name of the lock file for the folder now at the watch folder's path; "" while there is
// none.
std::string TInstanceLock::FolderLockName() const {
  struct stat info {};
  if (::stat(FFolder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return {};
  char name[64];
  std::snprintf(name, sizeof name, "folder-%llx-%llx.lock", static_cast<unsigned long long>(info.st_dev),
                static_cast<unsigned long long>(info.st_ino));
  return name;
}

TInstanceLock::TTake TInstanceLock::Take(const std::string& path, THeld& held, std::string& error) const {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = std::strerror(errno);
    return Failed;
  }
  int result = 0;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  struct stat info {};
  if (result == 0 && ::fstat(fd, &info) != 0) result = -1;
  if (result != 0) {
    const int failure = errno;
    ::close(fd);
    if (failure == EWOULDBLOCK) return Busy;
    error = std::strerror(failure);
    return Failed;
  }
  // For people who wonder what the file is; the sticky bit keeps runtime-folder clean-ups off it.
  const std::string text = FKeyText + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const auto written = ::pwrite(fd, text.data(), text.size(), 0);
  }
  ::fchmod(fd, 0600 | S_ISVTX);
  held = {path, fd, info.st_dev, info.st_ino};
  return Taken;
}

// The lock on the folder at the path. Failed when there is no folder or it cannot be locked
// there (EOPNOTSUPP, ENOLCK or EBADF on some network file systems); `held` then still names the
// folder found, so that it is not tried again while it stays.
TInstanceLock::TTake TInstanceLock::TakeFolder(THeld& held) const {
  held = {FFolder, -1, 0, 0};
  const int fd = ::open(FFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Failed;
  struct stat info {};
  int result = ::fstat(fd, &info);
  if (result == 0) {
    held.Device = info.st_dev;
    held.Inode = info.st_ino;
    do {
      result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
  }
  if (result != 0) {
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    return busy ? Busy : Failed;
  }
  held.Fd = fd;
  return Taken;
}

void TInstanceLock::Release(std::vector<THeld>& held) {
  for (THeld& h : held) Release(h);
  held.clear();
}

void TInstanceLock::Release(THeld& held) {
  if (held.Fd >= 0) ::close(held.Fd);
  held.Fd = -1;
}

} // namespace relaybox
