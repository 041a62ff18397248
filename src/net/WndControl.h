#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include "net/MessageQueue.h"
#include "net/WndHandler.h"

namespace relaybox {

// Base of every component that receives asynchronous completions: it belongs to the thread
// that created it, shares that thread's hidden window and takes message numbers on it.
// A concrete component calls AllocateWindow at the end of its constructor and
// DeallocateWindow at the start of its destructor, so that the numbers of every layer are
// taken and given back.
class TWndControl {
public:
  TWndControl() = default;
  virtual ~TWndControl();
  TWndControl(const TWndControl&) = delete;
  TWndControl& operator=(const TWndControl&) = delete;

  void AllocateWindow();
  void DeallocateWindow();
  virtual std::uint32_t MsgHandlersCount() const { return 1; }
  virtual void AttachToThread();
  virtual void DetachFromThread();

  // Dispatch of the calling thread's messages.
  bool ProcessMessage();
  void ProcessMessages();
  void MessageLoop();
  void MessagePump();

  // Destroys the component later, when its owner thread dispatches again.
  static void Release(std::unique_ptr<TWndControl> control);

  // Called for each message delivered to the component.
  virtual void WndProc(TMessage& message);

  const TWindowRef& Handle() const { return FHandle; }
  TThreadId ThreadId() const { return FThreadId; }
  bool Terminated() const { return FTerminated; }
  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool value) { FMultiThreaded = value; }
  TWndHandler* WndHandler() const { return FWndHandler; }
  const TMsgNumber& MsgRelease() const { return FMsgRelease; }

  std::function<void(TWndControl& sender, const std::exception& error, bool& canClose)> OnBgException;

protected:
  // Subclasses take their own numbers after the base's, and give them back first.
  virtual void AllocateMsgHandlers();
  virtual void FreeMsgHandlers();
  virtual void HandleBackgroundError(const std::exception& error);
  // What a background error does when not vetoed; nothing for the base class.
  virtual void AbortComponent() {}
  // Posts one of the component's own numbers to its window.
  bool PostToSelf(const TMsgNumber& number, std::intptr_t wParam = 0, std::intptr_t lParam = 0) const;
  TMsgNumber AllocateNumber();
  void FreeNumber(TMsgNumber& number);
  bool Destroying() const { return FDestroying; }
  void SetDestroying() { FDestroying = true; }

private:
  bool FDestroying = false;
  TWindowRef FHandle;
  TThreadId FThreadId = 0;
  bool FTerminated = false;
  bool FMultiThreaded = false;
  TWndHandler* FWndHandler = nullptr;
  TMsgNumber FMsgRelease;
  std::unique_ptr<TWndControl> FReleased;  // set by Release until its message arrives
};

// Dispatches one message taken from the calling thread's queue (not the quit message).
void DispatchThreadMessage(TMessage& message);

// Dispatches the messages pending on the calling thread's queue now; for a foreign event
// loop's wake-up.
void DrainThreadMessages();

// The application's own message processing, used by the pumps of non-multithreaded
// components; by default the calling thread's pending messages. The program's event loop
// installs its own.
void SetApplicationMessagePump(std::function<void()> pump);
void ApplicationMessagePump();

// Dispatches the calling thread's messages, sleeping while none are pending, until `done`
// holds or the time runs out; returns `done()`. For threads with no foreign event loop.
bool ProcessMessagesUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

} // namespace relaybox
