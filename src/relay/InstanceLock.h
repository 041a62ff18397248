#pragma once

#include <string>

namespace relaybox {

// Keeps other relays off a watch folder while this one runs: two relays on one folder would
// deliver updates twice. The lock is a kernel lock on a file in the folder, so it ends with
// the process however that ends; a lock file a crashed relay left behind stops nobody.
class TInstanceLock {
public:
  // `folder` is the watch folder with its trailing "/"; it is created when missing.
  explicit TInstanceLock(const std::string& folder);
  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  // False when another relay holds the folder.
  bool Acquired() const { return FAcquired; }

  static constexpr const char* FileName = ".relaybox.lock";

private:
  int FFd = -1;
  bool FAcquired = true;
};

} // namespace relaybox
