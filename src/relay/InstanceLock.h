#pragma once

#include <string>
#include <vector>

namespace relaybox {

// Keeps other relays off a watch folder while this one runs: two relays on one folder would
// deliver updates twice. The lock is a kernel lock on files outside the watch folder, named
// after the folder's path, so cleaning or recreating the folder cannot lift it; it ends with
// the process however that ends, so a lock file a crashed relay left behind stops nobody.
class TInstanceLock {
public:
  // `folder` is the watch folder with its trailing "/". A lock file goes into each of
  // `lockFolders` that can hold one; the folder is this relay's when it holds them all.
  explicit TInstanceLock(const std::string& folder, const std::vector<std::string>& lockFolders = UserLockFolders());
  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  // False when another relay holds the folder.
  bool Acquired() const { return FAcquired; }
  // The lock files' paths.
  const std::vector<std::string>& Paths() const { return FPaths; }

  // Where this user's relays keep their locks: the user's runtime folder when there is one,
  // and the cache folder in the home folder. A relay started in a desktop session and one
  // started from ssh or cron, which has no runtime folder, share at least the latter.
  static std::vector<std::string> UserLockFolders();

private:
  std::vector<int> FFds;
  std::vector<std::string> FPaths;
  bool FAcquired = true;
};

} // namespace relaybox
