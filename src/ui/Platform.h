#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace relaybox {

// Without a window: the toolkit's own messages, which a user cannot act on, are dropped for the
// whole run.
void DropToolkitMessages();

// Around making the windowed application object: chooses the windowing platform and keeps the
// start from ending in an abort or a hang when the display cannot be used: the usual platform
// (or the one the user chose) with a last fallback, so that a display that cannot be reached is
// noticed (DisplayReached) instead of aborting; the platform's complaints about it are left out,
// since the program says what to do instead. A display that takes the connection but never
// answers ends the start after 10 s with `hint` and exit status `status`; so does a platform
// that cannot start (a framebuffer or EGL platform named on a desktop, which would abort), with
// Refusal().
class TPlatformStart {
public:
  TPlatformStart(const char* hint, int status);
  // Once the application object is made.
  ~TPlatformStart();
  TPlatformStart(const TPlatformStart&) = delete;
  TPlatformStart& operator=(const TPlatformStart&) = delete;

  // After the application object is made: whether a display with a screen was reached, and when
  // not, the line that says why and what to do: the platform the user named (QT_QPA_PLATFORM)
  // has no plugin or cannot start here, else `hint`.
  bool DisplayReached() const;
  std::string Refusal() const;

private:
  bool FFallback = false;
  std::mutex FLock;
  std::condition_variable FMade;
  bool FDone = false;
  std::thread FWatchdog;
};

} // namespace relaybox
