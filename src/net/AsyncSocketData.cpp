// The data path of the socket: sending through the block buffer, receiving, and line mode.
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <utility>

#include "base/CodePage.h"
#include "net/AsyncSocket.h"
#include "net/SocketErrors.h"
#include "net/SocketPoller.h"

namespace relaybox {
namespace {

constexpr int DefaultReadSize = 255;
constexpr int TextCodePageUtf16 = 1200;
constexpr int LineModePasses = 4;
// Bytes one read notification may take before control goes back to the event loop; the rest
// comes with the next notification, so timers and other messages run on time during a flood.
constexpr std::uint64_t ReceiveBudget = 1024 * 1024;

bool ClosesConnection(int error) {
  return error == WSAECONNRESET || error == WSAENOTSOCK || error == WSAENOTCONN || error == WSAEINVAL ||
         error == WSAECONNABORTED;
}

} // namespace

int TAsyncSocket::BufferedByteCount() const {
  const auto lock = const_cast<TBufferHandler&>(FBufHandler).Lock();
  return FBufferedByteCount;
}

void TAsyncSocket::AppendToSendBuffer(const char* data, int len) {
  if (len <= 0 || data == nullptr) return;
  const auto lock = FBufHandler.Lock();
  FBufHandler.Write(data, len);
  FBufferedByteCount += len;
  FAllSent = false;
}

int TAsyncSocket::Send(const char* data, int len) {
  if (FState != wsConnected && FState != wsSocksConnected) {
    ReportSocketError("Send", WSAENOTCONN);
    return -1;
  }
  FAllSent = false;
  int result = 0;
  if (len > 0) {
    AppendToSendBuffer(data, len);
    result = len;
  }
  TryToSendBuffered();
  // OnDataSent fires from the next dispatch, never inside Send.
  if (FAllSent && FSerial != 0) {
    PostToSelf(FMsgAsyncSelect, static_cast<std::intptr_t>(FSerial), FD_WRITE);
  }
  return result;
}

void TAsyncSocket::SendText(const std::string& bytes) {
  if (!bytes.empty()) Send(bytes.data(), static_cast<int>(bytes.size()));
}

void TAsyncSocket::SendText(const Text& text, int codePage) {
  if (codePage == TextCodePageUtf16) {
    Send(reinterpret_cast<const char*>(text.data()), static_cast<int>(text.size() * sizeof(char16_t)));
  } else {
    SendText(TextToAnsi(text));
  }
}

void TAsyncSocket::TryToSendBuffered() {
  std::vector<int> sent;  // OnSendData fires after the buffer is released
  int fatal = 0;
  int failed = 0;
  {
    const auto lock = FBufHandler.Lock();
    for (;;) {
      const char* data = nullptr;
      const int count = FHSocket < 0 || FBufHandler.IsEmpty() ? 0 : FBufHandler.Peek(data);
      if (count <= 0) {
        FAllSent = true;
        break;
      }
      const ssize_t n = ::send(FHSocket, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
      if (n == 0) break;
      if (n < 0) {
        // After our own shutdown EPIPE means just that, not a connection the peer dropped.
        const int error = errno == EPIPE && FShutdownSent ? WSAESHUTDOWN : ErrnoToSocketError(errno);
        if (ClosesConnection(error)) {
          fatal = error;
        } else if (error == WSAEWOULDBLOCK) {
          TSocketPoller::Instance().ReenableWrite(FSerial);
        } else {
          failed = error;
        }
        break;
      }
      FBufferedByteCount = std::max(0, FBufferedByteCount - static_cast<int>(n));
      FWriteCount += static_cast<std::uint64_t>(n);
      sent.push_back(static_cast<int>(n));
      FBufHandler.Remove(static_cast<int>(n));
      if (n < count) {
        // The platform took only part: its buffer is full, so the rest waits for writability
        // (a short send is Linux's form of the would-block condition).
        TSocketPoller::Instance().ReenableWrite(FSerial);
        break;
      }
    }
  }
  for (const int n : sent) {
    if (OnSendData) OnSendData(*this, n);
  }
  if (fatal != 0) {
    FCloseInvoked = true;
    Close();
    if (OnSessionClosed) OnSessionClosed(*this, static_cast<std::uint16_t>(fatal));
  } else if (failed != 0) {
    ReportSocketError("TryToSend failed", failed);
  }
}

int TAsyncSocket::Receive(char* buffer, int size) {
  const int n = RawReceive(buffer, size);
  if (n > 0) FReadCount += static_cast<std::uint64_t>(n);
  return n;
}

int TAsyncSocket::RawReceive(char* buffer, int size) {
  if (size <= 0) return 0;
  if (FLineMode && FLineLength > 0) {
    const int n = std::min(size, FLineLength);
    std::copy_n(FLineBuffer.data(), n, buffer);
    FLineBuffer.erase(0, static_cast<std::size_t>(n));
    FLineLength -= n;
    return n;
  }
  if (!FLineMode && !FLineBuffer.empty()) {
    const int n = std::min(size, static_cast<int>(FLineBuffer.size()));
    std::copy_n(FLineBuffer.data(), n, buffer);
    FLineBuffer.erase(0, static_cast<std::size_t>(n));
    return n;
  }
  return PlatformReceive(buffer, size);
}

int TAsyncSocket::PlatformReceive(char* buffer, int size) {
  if (FHSocket < 0) {
    FLastError = WSAENOTSOCK;
    return -1;
  }
  const ssize_t n = ::recv(FHSocket, buffer, static_cast<std::size_t>(size), 0);
  if (n < 0) FLastError = ErrnoToSocketError(errno);
  // A receive re-enables the read notification; inside the receive loop that happens once, as
  // it ends, so that a busy connection has at most one notification waiting.
  if (FInReceiveLoop) {
    FReadReenableDue = true;
  } else {
    TSocketPoller::Instance().ReenableRead(FSerial);
  }
  return static_cast<int>(n);
}

int TAsyncSocket::PlatformPendingBytes(int& error) const {
  int pending = 0;
  if (FHSocket < 0 || ::ioctl(FHSocket, FIONREAD, &pending) != 0) {
    error = FHSocket < 0 ? WSAENOTSOCK : ErrnoToSocketError(errno);
    return -1;
  }
  return pending;
}

int TAsyncSocket::PendingByteCount() {
  if (FLineMode && FLineLength > 0) return FLineLength;
  int error = 0;
  const int pending = PlatformPendingBytes(error);
  if (pending < 0) ReportSocketError("ioctlSocket", error);
  return pending;
}

std::string TAsyncSocket::ReceiveText() {
  int count = PendingByteCount();
  if (count < 0) return {};
  if (count == 0) count = DefaultReadSize;
  std::string bytes(static_cast<std::size_t>(count), '\0');
  const int n = Receive(bytes.data(), count);
  if (n <= 0) return {};
  bytes.resize(static_cast<std::size_t>(n));
  return bytes;
}

void TAsyncSocket::ReceiveLoop(std::uint16_t error, unsigned options, bool budgeted) {
  const std::uint64_t serial = FSerial;
  const std::uint64_t start = FReadCount;
  const bool outer = std::exchange(FInReceiveLoop, true);
  try {
    for (;;) {
      FLastError = 0;
      const std::uint64_t before = FReadCount + FLineBuffer.size();
      if (FLineMode && !LineEnd.empty()) {
        DeliverLines(true);
      } else if (OnDataAvailable) {
        OnDataAvailable(*this, error);
      } else {
        std::array<char, 4> scratch{};
        if (Receive(scratch.data(), static_cast<int>(scratch.size())) < 0 && FLastError == WSAEWOULDBLOCK) {
          FLastError = 0;
          break;
        }
      }
      if ((options & wsoNoReceiveLoop) != 0) break;
      if (FLastError != 0) {
        if (FLastError == -1) FLastError = 0;
        break;
      }
      // A closed socket, or a handler that read nothing, ends the loop: the bytes come back
      // with the next read notification instead of spinning here.
      if (FSerial != serial || FHSocket < 0) break;
      int queryError = 0;
      const int pending = PlatformPendingBytes(queryError);
      if (pending < 0) {
        FLastError = queryError;
        break;
      }
      if (pending == 0 || FReadCount + FLineBuffer.size() == before) break;
      if (budgeted && FReadCount - start >= ReceiveBudget) break;
    }
  } catch (...) {
  }
  FInReceiveLoop = outer;
  if (!outer && std::exchange(FReadReenableDue, false) && FSerial == serial) {
    TSocketPoller::Instance().ReenableRead(FSerial);
  }
}

void TAsyncSocket::DeliverLines(bool readPlatform) {
  const std::size_t heldBefore = FLineBuffer.size();
  if (readPlatform) {
    int queryError = 0;
    int count = PlatformPendingBytes(queryError);
    if (count < 0) return;
    if (count == 0) count = DefaultReadSize;
    FLineBuffer.resize(heldBefore + static_cast<std::size_t>(count));
    const int n = PlatformReceive(FLineBuffer.data() + heldBefore, count);
    FLineBuffer.resize(heldBefore + static_cast<std::size_t>(std::max(n, 0)));
    if (n > 0) {
      FReadCount += static_cast<std::uint64_t>(n);
      if (LineEcho) Send(FLineBuffer.data() + heldBefore, n);
    }
    if (n <= 0 && FLineBuffer.empty()) return;
  }
  // A line end split over two reads is found by starting the search just before the new bytes.
  std::size_t searchStart = heldBefore > LineEnd.size() ? heldBefore - LineEnd.size() : 0;
  while (FLineMode) {
    const std::size_t end = FLineBuffer.find(LineEnd, searchStart);
    if (end == std::string::npos) {
      if (LineLimit > 0 && FLineBuffer.size() > static_cast<std::size_t>(LineLimit)) {
        bool clearData = true;
        if (OnLineLimitExceeded) OnLineLimitExceeded(*this, static_cast<int>(FLineBuffer.size()), clearData);
        if (clearData) FLineBuffer.clear();
      }
      return;
    }
    FLineLength = static_cast<int>(end + LineEnd.size());
    while (FLineLength > 0) {
      const int before = FLineLength;
      if (OnDataAvailable) OnDataAvailable(*this, 0);
      // A handler that reads nothing of the line would be called forever: the line is dropped.
      if (!OnDataAvailable || FLineLength == before) {
        FLineBuffer.erase(0, static_cast<std::size_t>(FLineLength));
        FLineLength = 0;
      }
    }
    searchStart = 0;
  }
  DeliverHeldBytes();
}

void TAsyncSocket::DeliverHeldBytes() {
  while (!FLineMode && !FLineBuffer.empty() && OnDataAvailable) {
    const std::size_t before = FLineBuffer.size();
    OnDataAvailable(*this, 0);
    if (FLineBuffer.size() == before) break;
  }
}

void TAsyncSocket::OfferLastLine() {
  if (FLineBuffer.empty()) return;
  FLineLength = static_cast<int>(FLineBuffer.size());
  while (FLineLength > 0) {
    const int before = FLineLength;
    if (OnDataAvailable) OnDataAvailable(*this, 0);
    if (!OnDataAvailable || FLineLength == before) FLineLength = 0;
  }
  FLineBuffer.clear();
}

void TAsyncSocket::SetLineMode(bool value) {
  if (value == FLineMode) return;
  FLineMode = value;
  // Out of line mode the unread rest of a line is plain held data, followed by what came after.
  if (!value) FLineLength = 0;
  if (!FLineBuffer.empty() || FLineLength > 0) PostToSelf(FMsgTriggerDataAvailable);
}

void TAsyncSocket::TriggerDataAvailable() {
  for (int pass = 1; !FLineBuffer.empty(); ++pass) {
    const std::size_t before = FLineBuffer.size();
    if (FLineMode && !LineEnd.empty()) {
      DeliverLines(false);
      if (FLineBuffer.find(LineEnd) == std::string::npos && pass >= LineModePasses) break;
    } else {
      DeliverHeldBytes();
    }
    if (FLineBuffer.size() == before) break;
  }
}

void TAsyncSocket::Flush() {
  const auto queue = TMessageQueue::ForCurrentThread();
  while (FHSocket >= 0 && !FAllSent) {
    TryToSendBuffered();
    if (FAllSent) break;
    // Sleep until something arrives (the write notification) instead of spinning.
    queue->WaitMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
    MessagePump();
  }
}

} // namespace relaybox
