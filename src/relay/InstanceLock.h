#pragma once

#include <string>

namespace relaybox {

// Keeps other relays off a watch folder while this one runs: two relays on one folder would
// deliver updates twice. The lock is a kernel lock on a file outside the watch folder, named
// after the folder's path, so cleaning or recreating the folder cannot lift it; it ends with
// the process however that ends, so a lock file a crashed relay left behind stops nobody.
class TInstanceLock {
public:
  // `folder` is the watch folder with its trailing "/". The lock file goes into `lockFolder`.
  explicit TInstanceLock(const std::string& folder, const std::string& lockFolder = UserLockFolder());
  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  // False when another relay holds the folder.
  bool Acquired() const { return FAcquired; }
  // The lock file's path (empty when none could be made).
  const std::string& Path() const { return FPath; }

  // The user's runtime folder (XDG_RUNTIME_DIR) when there is one, else the user's cache
  // folder; "relaybox/" in it.
  static std::string UserLockFolder();

private:
  int FFd = -1;
  bool FAcquired = true;
  std::string FPath;
};

} // namespace relaybox
