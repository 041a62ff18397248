#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/Stream.h"
#include "base/Text.h"
#include "http/HttpTypes.h"
#include "net/AsyncSocket.h"
#include "net/TlsTransport.h"
#include "net/WndControl.h"
#include "net/WndTimer.h"

namespace relaybox {

// One HTTP request at a time over one TCP connection. The exchange is driven by socket
// events and by messages the client posts to itself, all on the thread that created it;
// Get wraps it into a call that returns when the request is complete.
class THttpClient : public TWndControl {
public:
  using TNotifyEvent = std::function<void(THttpClient& sender)>;

  THttpClient();
  ~THttpClient() override;

  // Fetches URL and returns when the client is ready again. Raises only when the client is
  // busy; every outcome of the exchange is left in StatusCode, ReasonText and RequestError.
  // From another thread, the request starts on the owner thread and the caller sleeps
  // until the state is httpReady; read the results on the owner thread.
  void Get();
  // Ends the running request, or drops a kept connection of an idle client.
  void Abort();

  // Published properties.
  Text Name;
  Text URL;
  Text LocalAddr = u"0.0.0.0";
  Text Proxy;
  Text ProxyPort = u"80";
  Text Sender;
  Text Agent = u"Mozilla/4.0 (compatible; Relaybox)";
  Text Accept = u"image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  Text AcceptLanguage;
  Text Reference;
  Text Connection;
  Text ProxyConnection;
  Text Username, Password;
  bool NoCache = false;
  double ModifiedSince = 0;  // days since 30 December 1899; 0 for none
  Text Cookie;
  Text ContentTypePost = u"application/x-www-form-urlencoded";
  Text ContentRangeBegin, ContentRangeEnd;
  bool FollowRelocation = true;
  int LocationChangeMaxCount = 5;
  THttpAuthType ServerAuth = httpAuthNone, ProxyAuth = httpAuthNone;
  int BandwidthLimit = 10000, BandwidthSampling = 1000;
  THttpClientOptions Options = 0;
  TStream* BodyStream = nullptr;  // not owned; attached by the user, typically in OnDocBegin
  TStream* SendStream = nullptr;  // request body of POST and PUT

  const Text& RequestVer() const { return FRequestVer; }
  void SetRequestVer(const Text& value);
  void SetMultiThreaded(bool value);

  // State of the current request.
  THttpState State() const { return FState.load(std::memory_order_acquire); }
  THttpRequest RequestType() const { return FRequestType; }
  std::int32_t StatusCode() const { return FStatusCode; }
  const Text& ReasonText() const { return FReasonText; }
  const Text& ResponseVersion() const { return FResponseVersion; }
  std::uint16_t RequestError() const { return FRequestError; }
  std::int64_t ContentLength() const { return FContentLength; }
  const Text& ContentType() const { return FContentType; }
  const Text& TransferEncoding() const { return FTransferEncoding; }
  const Text& ContentEncoding() const { return FContentEncoding; }
  const Text& AcceptRanges() const { return FAcceptRanges; }
  std::int64_t ReceivedCount() const { return FReceivedCount; }
  const std::vector<Text>& ReceivedHeader() const { return FReceivedHeader; }
  const std::vector<Text>& AuthChallenges() const { return FAuthChallenges; }
  const Text& LocationURL() const { return FLocationURL; }
  const Text& DocumentName() const { return FDocumentName; }
  int LocationChangeCurCount() const { return FLocationChangeCurCount; }
  bool RelocationPending() const { return FRelocationPending; }
  // How the latest request ended; hfNone when its reply arrived whole.
  THttpFailure Failure() const { return FFailure; }
  // How TLS failed, when Failure() is hfTls.
  const TTlsError& TlsError() const { return FTlsError; }
  // The latest https connection resumed a session from an earlier one to the same host and port.
  bool TlsResumed() const { return FTls && FTls->Resumed(); }
  bool IsConnected() const { return FIsConnected; }
  TAsyncSocket& Socket() { return FSocket; }

  std::uint32_t MsgHandlersCount() const override { return 4 + TWndControl::MsgHandlersCount(); }
  void WndProc(TMessage& message) override;

  // Events, fired on the owner thread.
  TNotifyEvent OnStateChange;
  TNotifyEvent OnSessionConnected;
  TNotifyEvent OnSessionClosed;
  TNotifyEvent OnRequestHeaderBegin;
  std::function<void(THttpClient& sender, const Text& method, std::vector<Text>& headers)> OnBeforeHeaderSend;
  std::function<void(THttpClient& sender, Text& line)> OnCommand;
  TNotifyEvent OnRequestHeaderEnd;
  TNotifyEvent OnHeaderBegin;
  TNotifyEvent OnHeaderData;
  std::function<void(THttpClient& sender, const Text& data, bool& accept)> OnCookie;
  TNotifyEvent OnHeaderEnd;
  TNotifyEvent OnDocBegin;
  std::function<void(THttpClient& sender, const char* buffer, std::int64_t len)> OnDocData;
  TNotifyEvent OnDocEnd;
  TNotifyEvent OnLocationChange;
  std::function<void(THttpClient& sender, int relocationCount, bool& allowMoreRelocations)> OnLocationChangeExceeded;
  std::function<void(THttpClient& sender, THttpRequest rqType, std::uint16_t errCode)> OnRequestDone;
  TNotifyEvent OnSocketError;
  // Lines that arrive outside a response header, and a first line that is no status line.
  std::function<void(THttpClient& sender, const Text& line)> OnDataPush, OnDataPush2;

protected:
  void AllocateMsgHandlers() override;
  void FreeMsgHandlers() override;
  void AbortComponent() override { Abort(); }

  // The steps of a request, in the order they run.
  virtual void RunRequestSync(THttpRequest kind);
  virtual void StartRequest(THttpRequest kind);
  virtual void ResetResponse();
  virtual void DeriveDocName();
  virtual void ConnectToServer();
  virtual void SendRequest(const Text& method, const Text& version);
  virtual void SetState(THttpState state);
  virtual void PostReady();

  // Socket events.
  void OnLookupDone(std::uint16_t error);
  void OnConnected(std::uint16_t error);
  void OnReceived(std::uint16_t error);
  void OnClosed(std::uint16_t error);

  // Reads what the socket holds, at most `size` bytes.
  virtual int ReceiveSome(char* buffer, int size) {
    return FTls ? FTls->Receive(buffer, size) : FSocket.Receive(buffer, size);
  }

  // The response side.
  virtual void ReceiveHeaderLine();
  virtual void GetBodyLineNext();
  virtual void StartRelocation();
  virtual void RelocateAfterClose();

private:
  using TStep = void (THttpClient::*)();
  using TCloseStep = void (THttpClient::*)(std::uint16_t error);

  void StoreState(THttpState state);
  void ClearResponse();
  void DropPending() { FReceiveHead = FReceiveLen = 0; }
  // What ends the body: Content-Length (or the close without one), the chunks, or the close.
  // A Transfer-Encoding frames the body whatever Content-Length says.
  enum class TFraming { Length, Chunks, Close };
  bool IsChunked() const { return FFraming == TFraming::Chunks; }
  // The body's length as the framing decides it; -1 when the chunks or the close end it.
  std::int64_t BodyLength() const { return FFraming == TFraming::Length ? FContentLength : -1; }
  bool BodyEndsWithClose() const { return !IsChunked() && BodyLength() < 0; }
  void FireNotify(const TNotifyEvent& event) {
    if (event) event(*this);
  }
  void FireHeaderEnd();
  void CloseSocketQuietly();
  void SendOnKeptConnection() {
    FKeptConnection = true;
    OnConnected(0);
  }
  void SessionClosed(std::uint16_t error) { OnClosed(error); }
  void RelocatedConnectionClosed(std::uint16_t) { RelocateAfterClose(); }
  void ConnectToNextAddress();
  void NextAddressAfterClose(std::uint16_t error);
  void ConnectStalled();
  void DeliverPendingBody();
  void ContinueBody();
  void EndOfDocument();
  void DecodeChunks(const char* data, std::int64_t len);
  void DeliverBody(const char* data, std::int64_t len);
  bool ParseStatusLine(const Text& line);
  bool ParseHeaderField(const Text& line);
  void EndInterimReply();
  bool FollowsLocation();
  bool ResolveLocation(const Text& value);
  bool ResponseHasNoBody() const;
  void ApplyContentTypeExtension();
  bool RelocationAllowed();
  void TruncateBodyStream();
  void FailResponse(const Text& reason);
  void FailConnection(THttpFailure failure, std::uint16_t requestError, const Text& reason);
  void FailNoStatusLine();
  void FailAddress(const Text& reason);
  // The TLS side (HttpClientTls.cpp): https connections run over a TTlsTransport.
  bool StartTls();  // false when TLS cannot start; the failure is set
  void FailTls(const TTlsError& error);
  void SendBytes(const std::string& bytes);
  void CloseConnection();
  bool CloseEndsBody(std::uint16_t error) const;

  TAsyncSocket FSocket;
  std::unique_ptr<TTlsContext> FTlsContext;  // made with the first https connection
  std::unique_ptr<TTlsTransport> FTls;       // for an https connection, from its lookup on
  TTlsError FTlsError;
  Text FRequestVer = u"1.0";
  std::atomic<THttpState> FState{httpReady};
  THttpRequest FRequestType = httpABORT;
  std::int32_t FStatusCode = 0;
  Text FReasonText, FResponseVersion;
  std::uint16_t FRequestError = 0;
  std::int64_t FContentLength = -1;
  Text FContentType, FTransferEncoding, FContentEncoding, FAcceptRanges;
  TFraming FFraming = TFraming::Length;  // from FTransferEncoding's last coding
  std::int64_t FReceivedCount = 0;
  std::vector<Text> FReceivedHeader, FAuthChallenges;
  Text FLocationURL, FDocumentName;
  Text FLocation;  // the reply's Location value, followed when its header ends with a redirect status
  Text FServerHost, FServerPort, FServerProtocol, FRequestPath;
  Text FConnectedHost, FConnectedPort, FConnectedProtocol;
  Text FSentConnection, FSentProxyConnection, FAuthUser, FAuthPassword;
  std::string FDnsResult;  // the address connected to, or tried last
  std::vector<std::string> FAddresses;  // the host's addresses, tried in turn
  std::size_t FNextAddress = 0;
  TWndTimer FConnectTimer{this};  // gives up a connect that stalls while other addresses wait
  int FLocationChangeCurCount = 0;
  bool FCloseReq = false, FRelocationPending = false, FInHeader = false, FIsConnected = false;
  // The response to the request last sent arrived whole: until the next request goes out,
  // whatever else arrives on the connection belongs to nothing and is dropped.
  bool FResponseComplete = false;
  bool FLoginPending = false;  // a relocation's LoginMsg is on its way
  bool FKeptConnection = false;  // the request went out on a connection opened before it
  bool FReplyStarted = false;    // a byte of the reply to the request last sent arrived
  THttpFailure FFailure = hfNone;
  std::uint32_t FRequestSerial = 0;  // tags the messages a request posts to itself
  TStep FLineHandler = nullptr;
  TCloseStep FCloseStep = &THttpClient::SessionClosed;  // what the socket's close report runs
  bool FQuietClose = false;      // a close report that the caller completes itself
  bool FConnectFailed = false;   // the socket reported an error inside Connect
  bool FConnecting = false;
  std::int32_t FHeaderLineCount = 0, FBodyCallCount = 0;
  std::int64_t FBodyStreamStartSize = 0;
  std::vector<char> FReceiveBuffer = std::vector<char>(1, 0);
  std::int32_t FReceiveHead = 0;  // where the pending bytes start; consumed lines lie before it
  std::int32_t FReceiveLen = 0;   // pending bytes
  std::int32_t FBodyDataOffset = 0;
  std::int64_t FBodyDataLen = 0;
  std::int64_t FChunkLength = 0, FChunkReceived = 0;
  int FChunkState = 0;
  int FChunkDigits = 0;  // of the size line being read
  std::size_t FHeaderSize = 0;  // header bytes of this response, interim ones included
  Text FLine;                   // the line handed to the line handler
  std::int32_t FLineBytes = 0;  // its bytes as received, line end included, just before FReceiveHead
  std::string FRequestBuffer;
  TMsgNumber FMsgRequestDone, FMsgSetReady, FMsgLogin, FMsgNextAddress;
};

} // namespace relaybox
