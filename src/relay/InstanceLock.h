#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace relaybox {

// Keeps other relays off a watch folder while this one runs: two relays on one folder would
// deliver updates twice. The locks are kernel locks. One is on the watch folder itself, which
// meets every relay on that folder whatever path, home folder or lock folders it has; some file
// systems (network ones) cannot lock a folder, and there the lock files alone keep relays apart.
// The lock files lie outside the watch folder: one named after the folder's path, so cleaning or
// recreating the folder cannot lift it, and one named after the folder itself (its device and
// inode), so a relay that reaches the same folder by another path (a bind mount, another link)
// is kept off too. The locks end with the process however that ends, so a lock file a crashed
// relay left behind stops nobody.
class TInstanceLock {
public:
  // `folder` is the watch folder with its trailing "/". Lock files go into each of
  // `lockFolders` that can hold them; the folder is this relay's when it holds them all and at
  // least one lock folder could hold them.
  explicit TInstanceLock(const std::string& folder, const std::vector<std::string>& lockFolders = UserLockFolders());
  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  // False when another relay holds the folder, or when no lock folder could hold a lock.
  bool Acquired() const { return FAcquired; }
  // Why the folder could not be locked at all, naming each lock folder tried with its error;
  // "" when it was locked or another relay holds it.
  const std::string& Failure() const { return FFailure; }
  // The lock files held.
  std::vector<std::string> Paths() const;

  // Run before each look into the folder while the relay runs: makes sure this relay holds what
  // is at the folder's path now. A folder put in place of the old one is locked as well and the
  // old one let go; a lock file deleted from its folder is made and locked anew, and a lock
  // folder that could not hold the lock files before is tried again. Returns "" when
  // the folder is this relay's, else why not; no file may be taken then, and the next call tries
  // again.
  std::string Keep();

  // Where this user's relays keep their locks: the user's runtime folder when there is one,
  // and the cache folder in the home folder. A relay started in a desktop session and one
  // started from ssh or cron, which has no runtime folder, share at least the latter.
  static std::vector<std::string> UserLockFolders();

private:
  struct THeld {
    std::string Path;
    int Fd;
    dev_t Device;
    ino_t Inode;
  };
  enum TTake { Taken, Busy, Failed };

  TTake Take(const std::string& path, THeld& held, std::string& error) const;
  TTake TakeFolder(THeld& held) const;
  std::string FolderLockName() const;
  static void Release(std::vector<THeld>& held);
  static void Release(THeld& held);

  std::string FFolder;
  std::string FKeyText;   // the folder's canonical path, written into the lock files
  std::string FPathName;  // the lock file named after the path
  std::vector<std::string> FLockFolders;
  std::vector<THeld> FHeld;  // the lock files
  // The lock on the folder at the path: its device and inode, Fd -1 when it could not be locked
  // there or there is no folder (Device and Inode 0).
  THeld FFolderLock{{}, -1, 0, 0};
  bool FAcquired = false;
  std::string FFailure;
};

} // namespace relaybox
