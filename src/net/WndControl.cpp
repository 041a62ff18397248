#include "net/WndControl.h"

#include <mutex>

#include "base/Exception.h"
#include "net/WndControlException.h"

namespace relaybox {
namespace {

std::mutex PumpLock;
std::function<void()> AppPump;

} // namespace

TWndControl::~TWndControl() {
  // A concrete component has deallocated already; this covers one that never allocated.
  if (FHandle) DeallocateWindow();
}

void TWndControl::AllocateWindow() {
  if (FHandle) return;
  if (TWndHandlerPool::Finalized()) {
    throw EWndControlException("Unit is already finalized, check your threads!!!");
  }
  FThreadId = CurrentThreadId();
  TWndHandlerPool& pool = TWndHandlerPool::Instance();
  const std::lock_guard lock(pool.PoolLock);
  if (FWndHandler == nullptr) FWndHandler = &pool.GetWndHandler(MsgHandlersCount());
  FWndHandler->AllocateHWnd();
  FHandle = FWndHandler->Window();
  AllocateMsgHandlers();
}

void TWndControl::DeallocateWindow() {
  if (!FHandle) return;
  TWndHandlerPool& pool = TWndHandlerPool::Instance();
  const std::lock_guard lock(pool.PoolLock);
  FreeMsgHandlers();
  pool.FreeWndHandler(*FWndHandler);
  FHandle = {};
  FWndHandler = nullptr;
  FThreadId = 0;
}

void TWndControl::AllocateMsgHandlers() { FMsgRelease = AllocateNumber(); }

void TWndControl::FreeMsgHandlers() { FreeNumber(FMsgRelease); }

TMsgNumber TWndControl::AllocateNumber() { return FWndHandler->AllocateMsgHandler(*this); }

void TWndControl::FreeNumber(TMsgNumber& number) { FWndHandler->UnregisterMessage(number); }

void TWndControl::AttachToThread() {
  if (FHandle) throw EWndControlException("Cannot attach when not detached");
  AllocateWindow();
}

void TWndControl::DetachFromThread() {
  if (FThreadId != CurrentThreadId()) throw EWndControlException("Cannot detach from another thread");
  DeallocateWindow();
}

bool TWndControl::PostToSelf(const TMsgNumber& number, std::intptr_t wParam, std::intptr_t lParam) const {
  return FHandle.Post(number.Msg, wParam, lParam, number.Generation);
}

void TWndControl::Release(std::unique_ptr<TWndControl> control) {
  TWndControl& self = *control;
  self.FReleased = std::move(control);
  self.PostToSelf(self.FMsgRelease);
}

void TWndControl::WndProc(TMessage& message) {
  try {
    if (message.Msg == FMsgRelease.Msg) {
      // Destroys this component on leaving the scope: nothing may touch it afterwards.
      const std::unique_ptr<TWndControl> doomed = std::move(FReleased);
    }
  } catch (const EException& error) {
    HandleBackgroundError(error);
  }
}

void TWndControl::HandleBackgroundError(const std::exception& error) {
  bool canClose = true;
  if (OnBgException) {
    try {
      OnBgException(*this, error, canClose);
    } catch (...) {
    }
  }
  if (!canClose) return;
  try {
    AbortComponent();
  } catch (...) {
  }
}

bool TWndControl::ProcessMessage() {
  std::optional<TMessage> message = TMessageQueue::ForCurrentThread()->Take();
  if (!message) return false;
  if (message->Msg == WM_QUIT && message->Window == 0 && !message->Call) {
    FTerminated = true;
  } else {
    DispatchThreadMessage(*message);
  }
  return true;
}

void TWndControl::ProcessMessages() {
  while (ProcessMessage()) {
  }
}

void TWndControl::MessageLoop() {
  const auto queue = TMessageQueue::ForCurrentThread();
  while (!FTerminated) {
    queue->WaitMessage();
    ProcessMessage();
  }
}

void TWndControl::MessagePump() {
  if (FMultiThreaded) {
    ProcessMessages();
  } else {
    ApplicationMessagePump();
  }
}

void DispatchThreadMessage(TMessage& message) {
  if (message.Call) {
    message.Call();
    return;
  }
  if (message.Window == 0) return;
  if (TWndHandler* handler = TMessageQueue::ForCurrentThread()->FindWindow(message.Window)) {
    handler->Dispatch(message);
  }
}

void DrainThreadMessages() { TMessageQueue::ForCurrentThread()->Drain(DispatchThreadMessage); }

void SetApplicationMessagePump(std::function<void()> pump) {
  const std::lock_guard lock(PumpLock);
  AppPump = std::move(pump);
}

void ApplicationMessagePump() {
  std::function<void()> pump;
  {
    const std::lock_guard lock(PumpLock);
    pump = AppPump;
  }
  if (pump) {
    pump();
    return;
  }
  const auto queue = TMessageQueue::ForCurrentThread();
  while (std::optional<TMessage> message = queue->Take()) DispatchThreadMessage(*message);
}

bool ProcessMessagesUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto queue = TMessageQueue::ForCurrentThread();
  while (!done()) {
    if (std::optional<TMessage> message = queue->Take()) {
      DispatchThreadMessage(*message);
      continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    queue->WaitMessage(deadline);
  }
  return true;
}

} // namespace relaybox
