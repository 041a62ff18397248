#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace relaybox {

class TWndHandler;

// One posted message: a message number and two parameters for a hidden window of the
// queue's thread, or a closure to run on that thread, or the thread's quit message.
struct TMessage {
  std::uint64_t Window = 0;      // 0 for a closure or the quit message
  std::uint32_t Msg = 0;
  std::intptr_t WParam = 0;
  std::intptr_t LParam = 0;
  std::uint64_t Generation = 0;  // the slot registration it was posted for; 0 for any
  std::function<void()> Call;
};

inline constexpr std::uint32_t WM_QUIT = 0x12;
inline constexpr std::uint32_t WM_TIMER = 0x113;

using TThreadId = std::uint32_t;
TThreadId CurrentThreadId();

// The message queue of one thread. Anything may post to it from any thread; the owner
// thread takes messages out in posting order. A thread whose messages are drained by a
// foreign event loop installs a wake hook, called (coalesced) when a post needs a drain;
// other threads block in WaitMessage.
class TMessageQueue {
public:
  explicit TMessageQueue(TThreadId thread);

  // The calling thread's queue, created on first use.
  static std::shared_ptr<TMessageQueue> ForCurrentThread();

  TThreadId ThreadId() const { return FThread; }

  // Registers a hidden window of this thread; messages for it are accepted from then on.
  std::uint64_t CreateWindow(TWndHandler* handler);
  void DestroyWindow(std::uint64_t window);
  // The handler of a live window of this queue, or null.
  TWndHandler* FindWindow(std::uint64_t window) const;

  // False when the window is not (or no longer) a live window of this queue.
  bool Post(TMessage message);
  void PostQuit();
  // Runs `call` on this queue's thread and waits for it; its exception is rethrown here.
  // Called on the owner thread itself, it runs at once.
  void Invoke(const std::function<void()>& call);

  // Owner thread: the oldest pending message, without waiting.
  std::optional<TMessage> Take();
  // Owner thread, from the foreign loop's wake-up: dispatches the messages pending now (not
  // those they post, so the foreign loop keeps its turn), then asks for another wake-up if
  // more are pending.
  void Drain(const std::function<void(TMessage&)>& dispatch);
  // Owner thread: blocks until a message is pending or the deadline passes.
  void WaitMessage(std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

  // The foreign event loop's wake-up; it must end up calling Drain on the owner thread.
  void SetWakeHook(std::function<void()> hook);

private:
  void RequestDrain(std::unique_lock<std::mutex>& lock);

  const TThreadId FThread;
  mutable std::mutex FLock;
  std::condition_variable FPosted;
  std::deque<TMessage> FMessages;
  std::unordered_map<std::uint64_t, TWndHandler*> FWindows;
  std::function<void()> FWakeHook;
  bool FDrainRequested = false;
  bool FWaiting = false;
};

// A hidden window as the posting side sees it: safe to copy to other threads and to use
// after the window is gone (the post is then refused).
struct TWindowRef {
  std::shared_ptr<TMessageQueue> Queue;
  std::uint64_t Window = 0;

  explicit operator bool() const { return Queue && Window != 0; }
  bool Post(std::uint32_t msg, std::intptr_t wParam, std::intptr_t lParam,
            std::uint64_t generation = 0) const;
};

} // namespace relaybox
