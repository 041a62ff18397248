#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "net/MessageQueue.h"

namespace relaybox {

class TWndControl;
class TWndHandlerList;

inline constexpr std::uint32_t WH_MAX_MSG = 100;
inline constexpr std::uint32_t WM_USER = 0x400;

// A message number a component took, with the registration it belongs to, so that a
// message posted for an earlier holder of the same number is not delivered to a later one.
struct TMsgNumber {
  std::uint32_t Msg = 0;
  std::uint64_t Generation = 0;
};

// One hidden window of a thread: up to 100 message numbers, each routed to a component.
class TWndHandler {
public:
  explicit TWndHandler(TWndHandlerList& list);
  ~TWndHandler();
  TWndHandler(const TWndHandler&) = delete;
  TWndHandler& operator=(const TWndHandler&) = delete;

  // Creates the window if it has none.
  void AllocateHWnd();
  const TWindowRef& Window() const { return FWindow; }
  TWndHandlerList& OwnerList() const { return FOwnerList; }
  std::uint32_t MsgLow() const { return FMsgLow; }
  std::uint32_t MsgCount() const { return FMsgCount; }

  TMsgNumber AllocateMsgHandler(TWndControl& control);
  // Gives a number back and sets it to 0; the window goes with the last number.
  void UnregisterMessage(TMsgNumber& number);

  // The window procedure: routes a message to its component, or to the live timer it names.
  void Dispatch(TMessage& message);

private:
  struct TSlot {
    TWndControl* Control = nullptr;
    std::uint64_t Generation = 0;
  };

  void DeallocateHWnd();

  TWndHandlerList& FOwnerList;
  TWindowRef FWindow;
  std::array<TSlot, WH_MAX_MSG + 1> FMsgMap{};
  std::uint32_t FMsgLow = WM_USER + 1;
  std::uint32_t FMsgCount = 0;
};

// The hidden windows of one thread.
class TWndHandlerList {
public:
  explicit TWndHandlerList(std::shared_ptr<TMessageQueue> queue) : FQueue(std::move(queue)) {}

  TThreadId ThreadId() const { return FQueue->ThreadId(); }
  const std::shared_ptr<TMessageQueue>& Queue() const { return FQueue; }
  std::vector<std::unique_ptr<TWndHandler>>& Handlers() { return FHandlers; }

private:
  std::shared_ptr<TMessageQueue> FQueue;
  std::vector<std::unique_ptr<TWndHandler>> FHandlers;
};

// The process-wide pool of hidden windows, one list per thread that has any.
class TWndHandlerPool {
public:
  static TWndHandlerPool& Instance();
  // True once the pool has been shut down at process exit.
  static bool Finalized();
  ~TWndHandlerPool();

  std::mutex PoolLock;

  // Under PoolLock: a handler of the calling thread with room for `count` numbers.
  TWndHandler& GetWndHandler(std::uint32_t count);
  // Under PoolLock: frees the handler once it holds no numbers, and its list once empty.
  void FreeWndHandler(TWndHandler& handler);

private:
  std::vector<std::unique_ptr<TWndHandlerList>> FLists;
};

// The process's hidden-window count and whether the window class is registered; both
// change under WindowClassLock, which is only ever taken inside PoolLock.
struct TWindowClassState {
  std::size_t WindowCount = 0;
  bool Registered = false;
};
TWindowClassState WindowClassState();

} // namespace relaybox
