#include "net/AsyncSocket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <utility>

#include "net/Resolver.h"
#include "net/SocketErrors.h"
#include "net/SocketPoller.h"
#include "net/SocketResolve.h"

namespace relaybox {
namespace {

std::atomic<int> InstanceCount{0};

std::string TrimBlanks(const std::string& s) {
  const std::size_t first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Dotted(std::uint32_t networkOrder) {
  in_addr in{};
  in.s_addr = networkOrder;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

// The IPv6 text in its shortest form ("0:0::1" as "::1").
std::string CanonicalIPv6(const std::string& literal) {
  in6_addr address{};
  char text[INET6_ADDRSTRLEN] = {};
  ::inet_pton(AF_INET6, literal.c_str(), &address);
  ::inet_ntop(AF_INET6, &address, text, sizeof text);
  return text;
}

constexpr unsigned AllEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

} // namespace

int SocketInstanceCount() { return InstanceCount.load(); }

TAsyncSocket::TAsyncSocket() {
  AllocateWindow();
  ResetToDefaults();
  ++InstanceCount;
}

TAsyncSocket::~TAsyncSocket() {
  SetDestroying();
  try {
    CancelDnsLookup();
  } catch (...) {
  }
  if (FState != wsClosed) {
    try {
      Close();
    } catch (...) {
    }
  }
  CloseHandle();
  --InstanceCount;
  DeallocateWindow();
}

void TAsyncSocket::AllocateMsgHandlers() {
  TWndControl::AllocateMsgHandlers();
  FMsgAsyncSelect = AllocateNumber();
  FMsgAsyncGetHostByName = AllocateNumber();
  FMsgAsyncGetHostByAddr = AllocateNumber();
  FMsgCloseDelayed = AllocateNumber();
  FMsgTriggerException = AllocateNumber();
  FMsgTriggerDataAvailable = AllocateNumber();
}

void TAsyncSocket::FreeMsgHandlers() {
  for (TMsgNumber* number : {&FMsgTriggerDataAvailable, &FMsgTriggerException, &FMsgCloseDelayed,
                             &FMsgAsyncGetHostByAddr, &FMsgAsyncGetHostByName, &FMsgAsyncSelect}) {
    FreeNumber(*number);
  }
  TWndControl::FreeMsgHandlers();
}

void TAsyncSocket::ResetToDefaults() {
  FPeer = {};
  FAddrAssigned = FAddrResolved = false;
  FPortAssigned = FPortResolved = false;
  FProtoAssigned = true;
  FProtoResolved = false;
  FProtocol = IPPROTO_TCP;
  FProto = "tcp";
  FType = SOCK_STREAM;
  FLocalPort = "0";
  FLocalPortResolved = false;
  FLocalAddr = "0.0.0.0";
  LingerOnOff = wsLingerOn;
  LingerTimeout = 0;
  FHSocket = -1;
  FSerial = 0;
  FSelectEvent = 0;
  FState = wsClosed;
  FAllSent = true;
  FPaused = false;
  FCloseInvoked = false;
  FShutdownSent = false;
  FlushTimeout = 60;
}

void TAsyncSocket::ChangeState(TSocketState state) {
  const TSocketState old = FState;
  FState = state;
  if (old != state && OnChangeState) OnChangeState(*this, old, state);
}

void TAsyncSocket::ReportError(const std::string& text) {
  if (OnError) {
    OnError(*this);
    return;
  }
  throw ESocketException(text);
}

void TAsyncSocket::ReportSocketError(const std::string& operation, int error) {
  const std::string text = SocketErrorReport(error, operation);
  if (error == WSAECONNRESET || error == WSAENOTCONN) {
    CloseHandle();
    if (FState != wsClosed && OnSessionClosed) OnSessionClosed(*this, static_cast<std::uint16_t>(error));
    ChangeState(wsClosed);
  }
  FLastError = error;
  ReportError(text);
}

void TAsyncSocket::SetEndpointText(std::string& field, bool& assigned, bool& resolved, const std::string& value,
                                   const char* name) {
  if (assigned && field == value) return;
  if (FState != wsClosed) return ReportError(std::string("Cannot change ") + name + " if not closed");
  field = TrimBlanks(value);
  assigned = !field.empty();
  resolved = false;
}

void TAsyncSocket::SetAddr(const std::string& value) { SetEndpointText(FAddr, FAddrAssigned, FAddrResolved, value, "Addr"); }

void TAsyncSocket::SetPort(const std::string& value) { SetEndpointText(FPort, FPortAssigned, FPortResolved, value, "Port"); }

void TAsyncSocket::SetProto(const std::string& value) {
  SetEndpointText(FProto, FProtoAssigned, FProtoResolved, value, "Proto");
}

void TAsyncSocket::SetLocalAddr(const std::string& value) {
  if (FState != wsClosed) return ReportError("Cannot change LocalAddr if not closed");
  FLocalAddr = value.empty() ? "0.0.0.0" : value;
}

void TAsyncSocket::SetLocalPort(const std::string& value) {
  if (FState != wsClosed) return ReportError("Cannot change LocalPort if not closed");
  FLocalPort = value;
  FLocalPortResolved = false;
}

void TAsyncSocket::SetResolver(TResolver* resolver) {
  bool busy = false;
  {
    const std::lock_guard lock(FLookupLock);
    busy = FDnsLookupHandle != 0;
  }
  if (busy) return ReportError("Cannot change the resolver during a lookup");
  FResolver = resolver;
}

TResolver& TAsyncSocket::CurrentResolver() { return FResolver != nullptr ? *FResolver : TResolver::Instance(); }

void TAsyncSocket::DnsLookup(const std::string& hostName) {
  if (hostName.empty()) {
    ReportError("DNS lookup: invalid host name.");
    if (OnDnsLookupDone) OnDnsLookupDone(*this, WSAEINVAL);
    return;
  }
  std::uint64_t previous = 0;
  {
    const std::lock_guard lock(FLookupLock);
    previous = std::exchange(FDnsLookupHandle, 0);
  }
  TResolver& resolver = CurrentResolver();
  if (previous != 0 && !resolver.Cancel(previous)) resolver.TakeResult(previous);
  FDnsResult.clear();
  FDnsResultList.clear();

  if (IsDottedIPv4(hostName)) {
    const in_addr_t address = ::inet_addr(TrimBlanks(hostName).c_str());
    if (address != INADDR_NONE) {
      FDnsResult = Dotted(address);
      FDnsResultList.push_back(FDnsResult);
      if (OnDnsLookupDone) OnDnsLookupDone(*this, 0);
      return;
    }
  }
  if (IsIPv6Literal(hostName)) {
    FDnsResult = CanonicalIPv6(hostName);
    FDnsResultList.push_back(FDnsResult);
    if (OnDnsLookupDone) OnDnsLookupDone(*this, 0);
    return;
  }
  if (!Handle()) return ReportError("DnsLookup: Window not assigned");

  {
    const std::lock_guard lock(FLookupLock);
    FHeldLookup = false;
  }
  const std::uint64_t lookup = resolver.Start(
      hostName, {Handle(), FMsgAsyncGetHostByName.Msg, FMsgAsyncGetHostByName.Generation});
  // The completion may already have been dispatched on the owner thread, before the handle
  // was known: it was held, and is handled now.
  std::optional<TMessage> held;
  {
    const std::lock_guard lock(FLookupLock);
    FDnsLookupHandle = lookup;
    if (FHeldLookup) {
      FHeldLookup = false;
      held = FHeldLookupMessage;
    }
  }
  if (held) DoLookupDone(static_cast<std::uint64_t>(held->WParam), static_cast<std::uint16_t>(held->LParam >> 16));
}

void TAsyncSocket::DoLookupDone(std::uint64_t lookup, std::uint16_t error) {
  {
    const std::lock_guard lock(FLookupLock);
    if (FDnsLookupHandle != lookup) return;
    FDnsLookupHandle = 0;
  }
  TResolver& resolver = CurrentResolver();
  std::vector<std::string> addresses = resolver.TakeResult(lookup);
  if (error == 0) {
    FDnsResultList = std::move(addresses);
    if (!FDnsResultList.empty()) FDnsResult = FDnsResultList.front();
  }
  if (OnDnsLookupDone) OnDnsLookupDone(*this, error);
}

void TAsyncSocket::CancelDnsLookup() {
  std::uint64_t lookup = 0;
  {
    const std::lock_guard lock(FLookupLock);
    lookup = std::exchange(FDnsLookupHandle, 0);
  }
  if (lookup == 0) return;
  TResolver& resolver = CurrentResolver();
  if (!resolver.Cancel(lookup)) {
    // Already complete: its completion is on its way and will find no handle.
    resolver.TakeResult(lookup);
    if (!Destroying()) ReportSocketError("WSACancelAsyncRequest", WSAEALREADY);
    return;
  }
  if (!Destroying() && OnDnsLookupDone) OnDnsLookupDone(*this, WSAEINTR);
}

void TAsyncSocket::Connect() {
  if (FHSocket >= 0 && FState != wsClosed) return ReportError("Connect: Socket already in use");
  if (!FPortAssigned) return ReportError("Connect: No Port Specified");
  if (!FAddrAssigned) return ReportError("Connect: No IP Address Specified");
  if (!FProtoAssigned) return ReportError("Connect: No Protocol Specified");

  try {
    if (!FProtoResolved) {
      FProtocol = ResolveProto(FProto);
      FType = FProtocol == IPPROTO_TCP ? SOCK_STREAM : FProtocol == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
      FProtoResolved = true;
    }
    if (!FPortResolved) {
      FPortNum = ResolvePort(FPort, FProto);
      FPortResolved = true;
    }
    if (!FLocalPortResolved) {
      FLocalPortNum = ResolvePort(FLocalPort, FProto);
      FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
      FPeer = ResolveAddress(FAddr);
      FAddrResolved = true;
    }
    FPeer.SetPort(FPortNum);
  } catch (const std::exception& error) {
    return ReportError(std::string("connect: ") + error.what());
  }

  {
    const auto lock = FBufHandler.Lock();
    FBufHandler.Clear();
    FBufferedByteCount = 0;
  }
  if (FType != SOCK_STREAM) return ReportSocketError("Connect (socket)", WSAESOCKTNOSUPPORT);
  FHSocket = ::socket(FPeer.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, FProtocol);
  if (FHSocket < 0) return ReportSocketError("Connect (socket)", ErrnoToSocketError(errno));
  ChangeState(wsOpened);
  if (FState != wsOpened) return ReportSocketError("Connect (Invalid operation in OnChangeState)", WSAEINVAL);

  const int on = 1;
  if (::setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    return ReportSocketError("setsockopt(SO_REUSEADDR)", ErrnoToSocketError(errno));
  }
  if ((ComponentOptions & wsoTcpNoDelay) != 0 &&
      ::setsockopt(FHSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    return ReportSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)", ErrnoToSocketError(errno));
  }
  ApplyLinger();
  if (FHSocket < 0) return;
  if (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") {
    // The default local address means any address of the peer's family.
    TSocketAddress local;
    if (FLocalAddr == "0.0.0.0" && FPeer.Family() == AF_INET6) {
      local.Storage.ss_family = AF_INET6;
      local.Length = sizeof(sockaddr_in6);
    } else if (IsIPv6Literal(FLocalAddr)) {
      local = ResolveAddress(FLocalAddr);
    } else {
      auto* in = reinterpret_cast<sockaddr_in*>(&local.Storage);
      in->sin_family = AF_INET;
      in->sin_addr.s_addr = ::inet_addr(FLocalAddr.c_str());
      local.Length = sizeof(sockaddr_in);
    }
    local.SetPort(FLocalPortNum);
    if (::bind(FHSocket, local.Data(), local.Length) != 0) {
      return ReportError("Bind socket failed - " + SocketErrorMessage(ErrnoToSocketError(errno)));
    }
    socklen_t length = sizeof local.Storage;
    if (::getsockname(FHSocket, local.Data(), &length) != 0) {
      return ReportError("Winsock get socket name failed - " + SocketErrorMessage(ErrnoToSocketError(errno)));
    }
    FLocalPortNum = local.Port();
    FLocalPort = std::to_string(FLocalPortNum);
  }

  FSelectEvent = AllEvents;
  // The readiness watch starts once the connect is issued: an unconnected socket would
  // otherwise read as hung up.
  if (::connect(FHSocket, FPeer.Data(), FPeer.Length) != 0 && errno != EINPROGRESS) {
    const int error = ErrnoToSocketError(errno);
    FLastError = error;
    return ReportSocketError("Connect", error);
  }
  Register();
  ChangeState(wsConnecting);
}

void TAsyncSocket::ApplyLinger() {
  if (LingerOnOff == wsLingerNoSet) return;
  if (FHSocket < 0) return ReportError("Cannot set linger option at this time");
  const linger value{LingerOnOff == wsLingerOn ? 1 : 0, LingerTimeout};
  if (::setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) {
    ReportSocketError("setsockopt(SO_LINGER)", ErrnoToSocketError(errno));
  }
}

void TAsyncSocket::Register() {
  FSerial = TSocketPoller::Instance().Register(
      FHSocket, {Handle(), FMsgAsyncSelect.Msg, FMsgAsyncSelect.Generation}, FSelectEvent,
      FState != wsConnected);
}

void TAsyncSocket::Unregister() {
  if (FSerial != 0) TSocketPoller::Instance().Unregister(FSerial);
  FSerial = 0;
}

void TAsyncSocket::CloseHandle() {
  Unregister();
  if (FHSocket >= 0) ::close(FHSocket);
  FHSocket = -1;
}

void TAsyncSocket::WndProc(TMessage& message) {
  try {
    Dispatch(message);
  } catch (const EException& error) {
    HandleBackgroundError(error);
  }
}

void TAsyncSocket::Dispatch(TMessage& message) {
  if (message.Msg == FMsgAsyncSelect.Msg) {
    DoAsyncSelect(message.WParam, static_cast<unsigned>(message.LParam & 0xFFFF),
                  static_cast<std::uint16_t>(message.LParam >> 16));
  } else if (message.Msg == FMsgAsyncGetHostByName.Msg) {
    {
      const std::lock_guard lock(FLookupLock);
      if (FDnsLookupHandle == 0) {
        FHeldLookupMessage = message;
        FHeldLookup = true;
        return;
      }
    }
    DoLookupDone(static_cast<std::uint64_t>(message.WParam), static_cast<std::uint16_t>(message.LParam >> 16));
  } else if (message.Msg == FMsgCloseDelayed.Msg) {
    Close();
  } else if (message.Msg == FMsgTriggerException.Msg) {
    throw ESocketException("Test exception in AsyncSocket");
  } else if (message.Msg == FMsgTriggerDataAvailable.Msg) {
    TriggerDataAvailable();
  } else if (message.Msg != FMsgAsyncGetHostByAddr.Msg) {
    TWndControl::WndProc(message);
  }
}

void TAsyncSocket::DoAsyncSelect(std::intptr_t serial, unsigned events, std::uint16_t error) {
  const auto current = [this, serial] { return FSerial != 0 && static_cast<std::intptr_t>(FSerial) == serial; };
  if (!current() || FPaused) return;
  // Fixed order; a handler that closed the socket ends the notification.
  if ((events & FD_CONNECT) != 0) {
    if (FState != wsConnected) {
      Connected(error);
      if (error != 0 && FState != wsClosed) Close();
    }
  }
  if ((events & FD_READ) != 0 && current()) {
    // Data that came with a close is good data: the close's error belongs to the close.
    const std::uint16_t readError = (events & FD_CLOSE) != 0 ? 0 : error;
    if (FState != wsConnected) Connected(readError);
    if (current()) ReceiveLoop(readError, ComponentOptions, true);
  }
  if ((events & FD_WRITE) != 0 && current()) {
    TryToSendBuffered();
    if (FAllSent && current() && OnDataSent) OnDataSent(*this, error);
  }
  if ((events & FD_ACCEPT) != 0 && current() && OnSessionAvailable) OnSessionAvailable(*this, error);
  if ((events & FD_CLOSE) != 0 && current() && FState != wsConnecting) {
    ReceiveLoop(0, ComponentOptions & ~wsoNoReceiveLoop, false);
    if (FLineMode) OfferLastLine();
    if (!FCloseInvoked) {
      FCloseInvoked = true;
      if (OnSessionClosed) OnSessionClosed(*this, error);
    }
    if (FState != wsClosed) Close();
  }
}

void TAsyncSocket::Connected(std::uint16_t error) {
  ChangeState(wsConnected);
  FReadCount = FWriteCount = 0;
  if (OnSessionConnected) OnSessionConnected(*this, error);
}

void TAsyncSocket::Close() { InternalClose(true, 0); }

void TAsyncSocket::CloseDelayed() { PostToSelf(FMsgCloseDelayed); }

void TAsyncSocket::Abort() {
  CancelDnsLookup();
  {
    const auto lock = FBufHandler.Lock();
    FBufHandler.Clear();
    FBufferedByteCount = 0;
  }
  if (FState == wsConnected && FProtocol == IPPROTO_TCP) {
    LingerOnOff = wsLingerOff;
    ApplyLinger();
  }
  InternalClose(false, 0);
}

void TAsyncSocket::InternalClose(bool shut, std::uint16_t error) {
  if (FHSocket < 0) {
    if (FState != wsClosed) {
      ChangeState(wsClosed);
      ResetToDefaults();
    }
    return;
  }
  if (FState == wsClosed) return;
  if (shut) Shutdown(SHUT_WR);
  CloseHandle();
  ChangeState(wsClosed);
  if (!Destroying() && !FCloseInvoked) {
    FCloseInvoked = true;
    if (OnSessionClosed) OnSessionClosed(*this, error);
  }
  try {
    ResetToDefaults();
  } catch (...) {
  }
}

void TAsyncSocket::Shutdown(int how) {
  if (FHSocket < 0) return;
  ::shutdown(FHSocket, how);
  if (how != SHUT_RD) FShutdownSent = true;
}

void TAsyncSocket::AttachToThread() {
  TWndControl::AttachToThread();
  if (FHSocket >= 0) Register();
}

void TAsyncSocket::DetachFromThread() {
  if (ThreadId() != CurrentThreadId()) TWndControl::DetachFromThread();  // raises
  Unregister();
  TWndControl::DetachFromThread();
}

} // namespace relaybox
