#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/Text.h"
#include "net/BufferHandler.h"
#include "net/SocketResolve.h"
#include "net/WndControl.h"

namespace relaybox {

enum TSocketState {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsSocksConnected,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed
};

enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

enum TSocketOption : unsigned { wsoNoReceiveLoop = 1, wsoTcpNoDelay = 2, wsoSIO_RCVALL = 4 };

class TResolver;

// The number of live sockets in the process.
int SocketInstanceCount();

// An event-driven TCP client socket. Every outcome reaches the owner as an event on the
// thread that owns the socket; no call waits for the network.
class TAsyncSocket : public TWndControl {
public:
  using TSocketEvent = std::function<void(TAsyncSocket& sender, std::uint16_t error)>;

  TAsyncSocket();
  ~TAsyncSocket() override;

  // Endpoint; may be changed only while closed.
  const std::string& Addr() const { return FAddr; }
  void SetAddr(const std::string& value);
  const std::string& Port() const { return FPort; }
  void SetPort(const std::string& value);
  const std::string& Proto() const { return FProto; }
  void SetProto(const std::string& value);
  const std::string& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& value);
  const std::string& LocalPort() const { return FLocalPort; }
  void SetLocalPort(const std::string& value);

  TSocketState State() const { return FState; }
  int LastError() const { return FLastError; }
  const std::string& DnsResult() const { return FDnsResult; }
  const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
  int HSocket() const { return FHSocket; }  // the platform socket, -1 for none
  std::uint64_t ReadCount() const { return FReadCount; }
  std::uint64_t WriteCount() const { return FWriteCount; }
  int BufferedByteCount() const;
  bool AllSent() const { return FAllSent; }

  TSocketLingerOnOff LingerOnOff = wsLingerOn;
  int LingerTimeout = 0;
  unsigned ComponentOptions = 0;
  int FlushTimeout = 60;

  // Line mode: OnDataAvailable fires once per line ending in LineEnd.
  bool LineMode() const { return FLineMode; }
  void SetLineMode(bool value);
  std::string LineEnd = "\r\n";
  int LineLimit = 65536;
  bool LineEcho = false;
  int LineLength() const { return FLineLength; }

  // The resolver DnsLookup uses, the process-wide one by default; it must outlive the socket's
  // lookups. Changed only while no lookup is under way.
  void SetResolver(TResolver* resolver);
  // Looks up a host name's addresses, or takes a dotted IPv4 or IPv6 text as it is.
  void DnsLookup(const std::string& hostName);
  void CancelDnsLookup();
  void Connect();
  void AppendToSendBuffer(const char* data, int len);
  int Send(const char* data, int len);
  void SendText(const std::string& bytes);
  // A text is sent as its raw UTF-16 units for code page 1200, else in the single-byte code page.
  void SendText(const Text& text, int codePage);
  int Receive(char* buffer, int size);
  std::string ReceiveText();
  int PendingByteCount();
  void Shutdown(int how);
  void Flush();
  void Close();
  void CloseDelayed();
  void Abort();

  void AttachToThread() override;
  void DetachFromThread() override;
  std::uint32_t MsgHandlersCount() const override { return 6 + TWndControl::MsgHandlersCount(); }
  void WndProc(TMessage& message) override;

  // Raises a test exception through the socket's own message dispatch.
  void TriggerException() { PostToSelf(FMsgTriggerException); }

  TSocketEvent OnSessionConnected;
  TSocketEvent OnSessionClosed;
  TSocketEvent OnDataAvailable;
  TSocketEvent OnDataSent;
  TSocketEvent OnDnsLookupDone;
  TSocketEvent OnSessionAvailable;
  std::function<void(TAsyncSocket& sender, int bytesSent)> OnSendData;
  std::function<void(TAsyncSocket& sender, TSocketState oldState, TSocketState newState)> OnChangeState;
  std::function<void(TAsyncSocket& sender)> OnError;
  std::function<void(TAsyncSocket& sender, int rcvdLength, bool& clearData)> OnLineLimitExceeded;

protected:
  void AllocateMsgHandlers() override;
  void FreeMsgHandlers() override;
  void AbortComponent() override { Abort(); }

private:
  void ResetToDefaults();
  void SetEndpointText(std::string& field, bool& assigned, bool& resolved, const std::string& value,
                       const char* name);
  void ChangeState(TSocketState state);
  void ReportError(const std::string& text);
  void ReportSocketError(const std::string& operation, int error);
  void ApplyLinger();
  void CloseHandle();
  void InternalClose(bool shut, std::uint16_t error);
  void Dispatch(TMessage& message);
  void DoAsyncSelect(std::intptr_t serial, unsigned events, std::uint16_t error);
  void Connected(std::uint16_t error);
  void DoLookupDone(std::uint64_t lookup, std::uint16_t error);
  TResolver& CurrentResolver();
  // Delivers what is readable. A budgeted loop stops after a bounded amount; the close
  // notification delivers everything before it reports the close.
  void ReceiveLoop(std::uint16_t error, unsigned options, bool budgeted);
  void DeliverLines(bool readPlatform);
  void DeliverHeldBytes();
  void OfferLastLine();
  void TriggerDataAvailable();
  void TryToSendBuffered();
  int RawSend(const char* data, int len);
  int RawReceive(char* buffer, int size);
  int PlatformReceive(char* buffer, int size);
  int PlatformPendingBytes(int& error) const;
  void Register();
  void Unregister();

  int FHSocket = -1;
  std::uint64_t FSerial = 0;  // the readiness registration the notifications carry
  TSocketState FState = wsClosed;
  std::string FAddr, FPort, FProto = "tcp";
  bool FAddrAssigned = false, FAddrResolved = false;
  bool FPortAssigned = false, FPortResolved = false;
  bool FProtoAssigned = true, FProtoResolved = false;
  int FProtocol = IPPROTO_TCP;
  int FType = 1;
  std::string FLocalAddr = "0.0.0.0", FLocalPort = "0";
  bool FLocalPortResolved = false;
  std::uint16_t FPortNum = 0, FLocalPortNum = 0;
  TSocketAddress FPeer;
  int FLastError = 0;
  TBufferHandler FBufHandler;
  int FBufferedByteCount = 0;  // under the buffer's lock
  bool FAllSent = true;
  bool FCloseInvoked = false;  // OnSessionClosed fired for this connection
  bool FShutdownSent = false;  // Shutdown ended our sending side
  bool FPaused = false;
  int FSelectEvent = 0;
  std::uint64_t FReadCount = 0, FWriteCount = 0;
  bool FInReceiveLoop = false;
  bool FReadReenableDue = false;  // a receive inside the loop left the re-enabling to its end

  TResolver* FResolver = nullptr;
  std::mutex FLookupLock;  // the lookup handle and the held completion
  std::uint64_t FDnsLookupHandle = 0;
  bool FHeldLookup = false;
  TMessage FHeldLookupMessage;
  std::string FDnsResult;
  std::vector<std::string> FDnsResultList;

  bool FLineMode = false;
  std::string FLineBuffer;
  int FLineLength = 0;

  TMsgNumber FMsgAsyncSelect, FMsgAsyncGetHostByName, FMsgAsyncGetHostByAddr, FMsgCloseDelayed,
      FMsgTriggerException, FMsgTriggerDataAvailable;
};

} // namespace relaybox
