#include "net/MessageQueue.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <exception>

namespace relaybox {
namespace {

std::atomic<std::uint64_t> NextWindow{1};

} // namespace

TThreadId CurrentThreadId() {
  thread_local const TThreadId id = static_cast<TThreadId>(::syscall(SYS_gettid));
  return id;
}

TMessageQueue::TMessageQueue(TThreadId thread) : FThread(thread) {}

std::shared_ptr<TMessageQueue> TMessageQueue::ForCurrentThread() {
  thread_local const auto queue = std::make_shared<TMessageQueue>(CurrentThreadId());
  return queue;
}

std::uint64_t TMessageQueue::CreateWindow(TWndHandler* handler) {
  const std::uint64_t window = NextWindow.fetch_add(1, std::memory_order_relaxed);
  const std::lock_guard lock(FLock);
  FWindows.emplace(window, handler);
  return window;
}

void TMessageQueue::DestroyWindow(std::uint64_t window) {
  const std::lock_guard lock(FLock);
  FWindows.erase(window);
}

TWndHandler* TMessageQueue::FindWindow(std::uint64_t window) const {
  const std::lock_guard lock(FLock);
  const auto it = FWindows.find(window);
  return it == FWindows.end() ? nullptr : it->second;
}

bool TMessageQueue::Post(TMessage message) {
  std::unique_lock lock(FLock);
  if (message.Window != 0 && !FWindows.contains(message.Window)) return false;
  FMessages.push_back(std::move(message));
  RequestDrain(lock);
  return true;
}

void TMessageQueue::PostQuit() {
  TMessage quit;
  quit.Msg = WM_QUIT;
  Post(std::move(quit));
}

void TMessageQueue::RequestDrain(std::unique_lock<std::mutex>& lock) {
  if (FWaiting) FPosted.notify_one();
  // One wake-up serves every post until the foreign loop has drained the queue again.
  if (!FWakeHook || FDrainRequested) return;
  FDrainRequested = true;
  const std::function<void()> hook = FWakeHook;
  lock.unlock();
  hook();
}

void TMessageQueue::Invoke(const std::function<void()>& call) {
  if (CurrentThreadId() == FThread) {
    call();
    return;
  }
  struct {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    std::exception_ptr Error;
  } result;
  TMessage message;
  message.Call = [&call, &result] {
    std::exception_ptr error;
    try {
      call();
    } catch (...) {
      error = std::current_exception();
    }
    // Moved, not copied: once handed over, this thread holds no reference to the exception.
    const std::lock_guard lock(result.Lock);
    result.Error = std::move(error);
    result.Finished = true;
    result.Done.notify_one();
  };
  Post(std::move(message));
  std::unique_lock lock(result.Lock);
  result.Done.wait(lock, [&result] { return result.Finished; });
  if (result.Error) std::rethrow_exception(result.Error);
}

std::optional<TMessage> TMessageQueue::Take() {
  const std::lock_guard lock(FLock);
  if (FMessages.empty()) return std::nullopt;
  TMessage message = std::move(FMessages.front());
  FMessages.pop_front();
  return message;
}

void TMessageQueue::Drain(const std::function<void(TMessage&)>& dispatch) {
  std::size_t count = 0;
  {
    // From here on a post asks for a new wake-up, so that a loop nested inside one of the
    // messages below (a modal box, a synchronous request) is woken for what arrives meanwhile.
    const std::lock_guard lock(FLock);
    count = FMessages.size();
    FDrainRequested = false;
  }
  // Whatever a message throws, what stays pending gets its wake-up.
  struct TRequestRest {
    TMessageQueue& Queue;
    ~TRequestRest() {
      std::unique_lock lock(Queue.FLock);
      if (!Queue.FMessages.empty()) Queue.RequestDrain(lock);
    }
  } const requestRest{*this};
  // Taken one at a time, so that a nested loop inside a handler keeps the posting order.
  for (; count > 0; --count) {
    std::optional<TMessage> message = Take();
    if (!message) break;
    dispatch(*message);
  }
}

void TMessageQueue::WaitMessage(std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::unique_lock lock(FLock);
  FWaiting = true;
  const auto pending = [this] { return !FMessages.empty(); };
  if (deadline) {
    FPosted.wait_until(lock, *deadline, pending);
  } else {
    FPosted.wait(lock, pending);
  }
  FWaiting = false;
}

void TMessageQueue::SetWakeHook(std::function<void()> hook) {
  std::unique_lock lock(FLock);
  FWakeHook = std::move(hook);
  FDrainRequested = false;
  if (!FMessages.empty()) RequestDrain(lock);
}

bool TWindowRef::Post(std::uint32_t msg, std::intptr_t wParam, std::intptr_t lParam,
                      std::uint64_t generation) const {
  if (!Queue) return false;
  return Queue->Post(TMessage{Window, msg, wParam, lParam, generation, {}});
}

} // namespace relaybox
