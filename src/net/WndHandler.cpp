#include "net/WndHandler.h"

#include <algorithm>
#include <atomic>

#include "base/Exception.h"
#include "net/WndControl.h"
#include "net/WndControlException.h"
#include "net/WndTimer.h"

namespace relaybox {
namespace {

std::mutex WindowClassLock;
TWindowClassState ClassState;
std::atomic<std::uint64_t> NextGeneration{1};
std::atomic<bool> PoolFinalized{false};

} // namespace

TWindowClassState WindowClassState() {
  const std::lock_guard lock(WindowClassLock);
  return ClassState;
}

TWndHandler::TWndHandler(TWndHandlerList& list) : FOwnerList(list) {}

TWndHandler::~TWndHandler() { DeallocateHWnd(); }

void TWndHandler::AllocateHWnd() {
  if (FWindow) return;
  const std::lock_guard lock(WindowClassLock);
  ClassState.Registered = true;
  FWindow = TWindowRef{FOwnerList.Queue(), FOwnerList.Queue()->CreateWindow(this)};
  ++ClassState.WindowCount;
}

void TWndHandler::DeallocateHWnd() {
  if (!FWindow) return;
  FMsgMap.fill({});
  FWindow.Queue->DestroyWindow(FWindow.Window);
  FWindow = {};
  const std::lock_guard lock(WindowClassLock);
  if (--ClassState.WindowCount == 0) ClassState.Registered = false;
}

TMsgNumber TWndHandler::AllocateMsgHandler(TWndControl& control) {
  if (FMsgLow < WM_USER) throw EWndControlException("MsgLow not defined");
  if (FMsgCount >= WH_MAX_MSG) throw EWndControlException("No more free message");
  for (std::uint32_t i = 0; i < WH_MAX_MSG; ++i) {
    if (FMsgMap[i].Control != nullptr) continue;
    FMsgMap[i] = {&control, NextGeneration.fetch_add(1, std::memory_order_relaxed)};
    ++FMsgCount;
    return {FMsgLow + i, FMsgMap[i].Generation};
  }
  throw EWndControlException("No more free message");
}

void TWndHandler::UnregisterMessage(TMsgNumber& number) {
  if (number.Msg == 0) return;
  if (FMsgLow < WM_USER) throw EWndControlException("MsgLow not defined");
  if (number.Msg < FMsgLow || number.Msg >= FMsgLow + WH_MAX_MSG) {
    throw EWndControlException("Msg value out of bound");
  }
  TSlot& slot = FMsgMap[number.Msg - FMsgLow];
  if (slot.Control == nullptr) throw EWndControlException("Msg not registered");
  slot = {};
  --FMsgCount;
  number = {};
  if (FMsgCount == 0) DeallocateHWnd();
}

void TWndHandler::Dispatch(TMessage& message) {
  try {
    if (message.Msg >= FMsgLow && message.Msg < FMsgLow + WH_MAX_MSG) {
      const TSlot& slot = FMsgMap[message.Msg - FMsgLow];
      if (slot.Control != nullptr && (message.Generation == 0 || message.Generation == slot.Generation)) {
        slot.Control->WndProc(message);
        return;
      }
    }
    if (message.Msg == WM_TIMER) TWndTimer::DispatchTick(static_cast<std::uint64_t>(message.WParam));
  } catch (const EException&) {
    // The window's exception hook is never set: such an exception is dropped here.
  }
}

TWndHandlerPool& TWndHandlerPool::Instance() {
  static TWndHandlerPool pool;
  return pool;
}

bool TWndHandlerPool::Finalized() { return PoolFinalized.load(std::memory_order_acquire); }

TWndHandlerPool::~TWndHandlerPool() { PoolFinalized.store(true, std::memory_order_release); }

TWndHandler& TWndHandlerPool::GetWndHandler(std::uint32_t count) {
  const TThreadId thread = CurrentThreadId();
  const auto found = std::find_if(FLists.rbegin(), FLists.rend(),
                                  [thread](const auto& list) { return list->ThreadId() == thread; });
  TWndHandlerList* list = nullptr;
  if (found != FLists.rend()) {
    list = found->get();
  } else {
    list = FLists.emplace_back(std::make_unique<TWndHandlerList>(TMessageQueue::ForCurrentThread())).get();
  }
  for (const auto& handler : list->Handlers()) {
    if (WH_MAX_MSG - handler->MsgCount() >= count) return *handler;
  }
  return *list->Handlers().emplace_back(std::make_unique<TWndHandler>(*list));
}

void TWndHandlerPool::FreeWndHandler(TWndHandler& handler) {
  if (handler.MsgCount() > 0) return;
  TWndHandlerList& list = handler.OwnerList();
  std::erase_if(list.Handlers(), [&handler](const auto& h) { return h.get() == &handler; });
  if (list.Handlers().empty()) {
    std::erase_if(FLists, [&list](const auto& l) { return l.get() == &list; });
  }
}

} // namespace relaybox
