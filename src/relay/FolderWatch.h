#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

namespace relaybox {

// One change the kernel told about the watched folder.
struct TFolderEvent {
  enum TKind {
    Created,     // a name was made: whoever made a file may still be writing it
    Modified,    // a file was written to, and may be written to further
    Closed,      // a file open for writing was closed
    Arrived,     // a name was renamed into the folder
    Touched,     // a name's attributes changed: it is there
    Removed,     // a name was deleted or renamed away
    Lost,        // the folder itself went (deleted, renamed, unmounted): the watch has ended
    Reopened,    // the folder's own attributes changed (it may have become readable again)
    Overflowed   // events were dropped: what the folder holds must be listed anew
  };
  TKind Kind;
  std::string_view RawName;  // empty for Lost, Reopened and Overflowed
  bool IsDirectory;
};

// An inotify watch on one folder, read without blocking and without a thread of its own: the
// owner reads it when its descriptor is readable, or on each of its ticks.
class TFolderWatch {
public:
  enum TStart { Watching, Missing, Unavailable };

  TFolderWatch() = default;
  ~TFolderWatch();
  TFolderWatch(const TFolderWatch&) = delete;
  TFolderWatch& operator=(const TFolderWatch&) = delete;

  // Watches `folder`, in place of any folder watched before. Missing: there is no folder at the
  // path (yet). Unavailable: no events can be had for it (inotify_init1 or inotify_add_watch
  // failed, or the folder is on a network file system, whose other clients' changes no event
  // tells); Problem() says why.
  TStart Start(const std::string& folder);
  void Stop();
  bool IsWatching() const { return FWatch >= 0; }
  const std::string& Problem() const { return FProblem; }
  // The descriptor that becomes readable when events wait; -1 before Start made one.
  int Fd() const { return FFd; }
  // Whether what stands at `folder` now is still the folder watched (device and inode).
  bool IsStillAt(const std::string& folder) const;
  // While watching: the path, with its trailing "/", that leads to the watched folder through
  // the descriptor the watch holds, also after it was renamed or another took its place. The
  // descriptor, like any, defers the event of the folder's removal until it is let go: a
  // removed folder is found by IsStillAt.
  const std::string& Path() const { return FPath; }
  // Hands each waiting event to `handle`, oldest first, until none waits (or a bounded number
  // of reads is done: the rest waits for the next call). After Lost the watch is stopped and
  // the rest is not read.
  void Read(const std::function<void(const TFolderEvent& event)>& handle);

private:
  int FFd = -1;
  int FWatch = -1;
  int FDir = -1;  // the watched folder, held open
  std::string FPath;
  dev_t FDevice = 0;
  ino_t FInode = 0;
  std::string FProblem;
};

} // namespace relaybox
