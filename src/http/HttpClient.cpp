#include "http/HttpClient.h"

#include <algorithm>
#include <chrono>

#include "base/CodePage.h"
#include "http/HttpDate.h"
#include "http/SplitURL.h"
#include "net/SocketErrors.h"
#include "net/SocketResolve.h"

namespace relaybox {
namespace {

// The path as it goes into the request line: printable ASCII as it is ("%xx" included), every
// other character percent-encoded. A blank would end the target early, and a line break would
// put whatever follows into the request as header lines of its own. Other characters are
// encoded as the bytes they came from, so the server decodes the bytes it always got: up to
// U+00FF the byte of that value (a Location header's text holds one character per byte), else
// the code page's byte (an update file's text is decoded by it); one the code page lacks, in
// UTF-8.
Text RequestTarget(const Text& path) {
  static constexpr char16_t Hex[] = u"0123456789ABCDEF";
  Text target;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const char16_t c = path[i];
    if (c > u' ' && c < u'\x7F') {
      target += c;
      continue;
    }
    std::string bytes = c <= 0xFF ? std::string(1, static_cast<char>(c)) : TextToAnsi(Text(1, c));
    if (bytes == "?") {
      const bool pair = IsHighSurrogate(c) && i + 1 < path.size() && IsLowSurrogate(path[i + 1]);
      bytes = TextToUtf8(path.substr(i, pair ? 2 : 1));
      i += pair ? 1 : 0;
    }
    for (const unsigned char byte : bytes) target += {u'%', Hex[byte >> 4], Hex[byte & 15]};
  }
  return target;
}

// A port is a decimal number from 1 to 65535, nothing else.
bool IsValidPort(const Text& port) {
  int value = 0;
  for (const char16_t c : port) {
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + (c - u'0');
    if (value > 65535) return false;
  }
  return value > 0;
}

// A host name holds no blank or control character: a lookup could take "127.0.0.1 " for an
// address, and the Host line would carry it. Brackets hold an IPv6 address and nothing else;
// without them an IPv6 address is none ("http://::1/" leaves the host ":").
bool IsValidHost(const Text& host) {
  if (std::any_of(host.begin(), host.end(), [](char16_t c) { return c <= u' ' || c == u'\x7F'; })) return false;
  if (!host.starts_with(u'[')) return host.find_first_of(u"[]:") == Text::npos;
  return host.size() > 2 && host.back() == u']' && IsIPv6Literal(TextToAnsi(host.substr(1, host.size() - 2)));
}

// What is looked up for a host: an IPv6 address without its brackets.
std::string LookupName(const Text& host) {
  return TextToAnsi(host.starts_with(u'[') ? host.substr(1, host.size() - 2) : host);
}

// How long a connect may take while the name has other addresses: an address whose packets
// are lost (a dead IPv6 route, a firewall that drops) gives way to the next well inside the
// delivery's time limit. The last address has the whole of what is left.
constexpr std::uint32_t AddressPatienceMs = 2000;

Text ErrorText(int code) { return Utf8ToText(SocketErrorText(code)) + u" (Error #" + IntToText(code) + u")"; }

} // namespace

THttpClient::THttpClient() {
  FSocket.OnSessionClosed = [this](TAsyncSocket&, std::uint16_t error) {
    if (FQuietClose) return;
    // A close during the handshake fails the request with TLS's reason.
    if (FTls && FTls->SocketClosed()) FailTls(FTls->Error());
    const TCloseStep step = FCloseStep;  // as FailTls left it
    (this->*step)(error);
  };
  FSocket.OnDataAvailable = [this](TAsyncSocket&, std::uint16_t error) {
    if (FTls) {
      FTls->SocketDataAvailable();
    } else {
      OnReceived(error);
    }
  };
  FSocket.OnSessionConnected = [this](TAsyncSocket&, std::uint16_t error) {
    FConnectTimer.SetEnabled(false);
    FKeptConnection = false;
    // Over TLS the exchange starts once the handshake ends.
    if (FTls && error == 0) return FTls->Start();
    OnConnected(error);
  };
  FSocket.OnDnsLookupDone = [this](TAsyncSocket&, std::uint16_t error) { OnLookupDone(error); };
  FSocket.OnError = [this](TAsyncSocket&) {
    if (FConnecting) FConnectFailed = true;
    FireNotify(OnSocketError);
  };
  AllocateWindow();
  FConnectTimer.SetEnabled(false);
  FConnectTimer.SetInterval(AddressPatienceMs);
  FConnectTimer.SetOnTimer([this](TWndTimer&) { ConnectStalled(); });
}

THttpClient::~THttpClient() {
  DeallocateWindow();
  FSocket.OnSessionClosed = FSocket.OnDataAvailable = FSocket.OnSessionConnected = FSocket.OnDnsLookupDone = nullptr;
  FSocket.OnError = nullptr;
}

void THttpClient::AllocateMsgHandlers() {
  TWndControl::AllocateMsgHandlers();
  FMsgRequestDone = AllocateNumber();
  FMsgSetReady = AllocateNumber();
  FMsgLogin = AllocateNumber();
  FMsgNextAddress = AllocateNumber();
}

void THttpClient::FreeMsgHandlers() {
  FreeNumber(FMsgNextAddress);
  FreeNumber(FMsgLogin);
  FreeNumber(FMsgSetReady);
  FreeNumber(FMsgRequestDone);
  TWndControl::FreeMsgHandlers();
}

void THttpClient::WndProc(TMessage& message) {
  try {
    if (message.Msg == FMsgRequestDone.Msg) {
      if (OnRequestDone) OnRequestDone(*this, FRequestType, FRequestError);
    } else if (message.Msg == FMsgSetReady.Msg || message.Msg == FMsgLogin.Msg || message.Msg == FMsgNextAddress.Msg) {
      // All belong to the request that posted them; a later request or an abort voids them.
      const THttpState state = State();
      if (static_cast<std::uint32_t>(message.WParam) != FRequestSerial || state == httpReady) return;
      if (message.Msg == FMsgSetReady.Msg) {
        SetState(httpReady);
      } else if (state == httpAborting) {
        return;
      } else if (message.Msg == FMsgLogin.Msg) {
        FLoginPending = false;
        ConnectToServer();
      } else {
        FCloseStep = &THttpClient::SessionClosed;
        ConnectToNextAddress();
      }
    } else {
      TWndControl::WndProc(message);
    }
  } catch (const EException& error) {
    HandleBackgroundError(error);
  }
}

void THttpClient::SetRequestVer(const Text& value) {
  if (value == FRequestVer) return;
  if (value != u"1.0" && value != u"1.1") throw EHttpException("Insupported HTTP version", 5);
  FRequestVer = value;
}

void THttpClient::SetMultiThreaded(bool value) {
  TWndControl::SetMultiThreaded(value);
  FSocket.SetMultiThreaded(value);
}

void THttpClient::StoreState(THttpState state) {
  FState.store(state, std::memory_order_release);
  // A thread waiting for the exchange waits for its end only: waking it on every step would
  // cost two thread switches a step for nothing.
  if (state == httpReady) FState.notify_all();
}

void THttpClient::Get() { RunRequestSync(httpGET); }

void THttpClient::RunRequestSync(THttpRequest kind) {
  const auto start = [this, kind] {
    FLocationChangeCurCount = 0;
    StartRequest(kind);
  };
  if (CurrentThreadId() != ThreadId()) {
    // The exchange belongs to the owner thread: start it there, then sleep until it is over.
    Handle().Queue->Invoke(start);
    for (THttpState state = State(); state != httpReady; state = State()) FState.wait(state, std::memory_order_acquire);
    return;
  }
  start();
  const auto queue = TMessageQueue::ForCurrentThread();
  if (MultiThreaded()) {
    while (State() != httpReady) {
      if (!ProcessMessage()) queue->WaitMessage();
    }
    return;
  }
  while (State() != httpReady) {
    queue->WaitMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds(1000));
    ApplicationMessagePump();
    if (Terminated()) {
      Abort();
      break;
    }
  }
}

void THttpClient::StartRequest(THttpRequest kind) {
  if (kind != httpCLOSE && State() != httpReady) {
    throw EHttpException("HTTP component " + TextToUtf8(Name) + " is busy", 1);
  }
  if ((kind == httpPOST || kind == httpPUT) && SendStream == nullptr) {
    throw EHttpException("HTTP component has nothing to post or put", 2);
  }
  ++FRequestSerial;
  FRequestType = kind;
  FResponseComplete = FLoginPending = false;
  ResetResponse();  // also drops what a kept connection still held of the previous reply
  FAuthUser = Username;
  FAuthPassword = Password;
  FSentConnection = Connection;
  FSentProxyConnection = ProxyConnection;

  // The fragment belongs to the reader, never to the request.
  const TUrlParts parts = SplitURL(URL.substr(0, URL.find(u'#')), Text());
  FRequestPath = parts.Path;
  FDocumentName = FRequestPath;
  FServerProtocol = parts.Proto;
  if (!parts.User.empty()) FAuthUser = parts.User;
  if (!parts.Pass.empty()) FAuthPassword = parts.Pass;
  if (FServerProtocol.empty()) FServerProtocol = u"http";
  const Text port = parts.Port.empty() ? DefaultPort(FServerProtocol) : parts.Port;

  // A query right after the host asks for the root: "/?a=1".
  if (FRequestPath.empty() || FRequestPath[0] != u'/') FRequestPath.insert(0, 1, u'/');
  DeriveDocName();
  FServerHost = parts.Host;
  FServerPort = port;

  if (FSocket.State() == wsConnected) {
    if (FServerHost == FConnectedHost && FServerPort == FConnectedPort && FServerProtocol == FConnectedProtocol) {
      SendOnKeptConnection();
      return;
    }
    FSocket.Abort();
  }
  SetState(httpNotConnected);
  ConnectToServer();
}

void THttpClient::ResetResponse() {
  ClearResponse();
  FDocumentName.clear();
  FLocationURL = URL;
  FAuthChallenges.clear();
}

// Everything that belongs to one response. Each response starts from here, whether it
// answers a new request or a relocation on the same or a new connection: nothing of the
// previous one (its byte counts, chunk state, pending bytes) may frame the next.
void THttpClient::ClearResponse() {
  FReceivedHeader.clear();
  FRequestError = 0;
  FStatusCode = 0;
  FReasonText.clear();
  FResponseVersion.clear();
  FReceivedCount = 0;
  FHeaderLineCount = 0;
  FHeaderSize = 0;
  FBodyCallCount = 0;
  FContentLength = -1;
  FContentType.clear();
  FTransferEncoding.clear();
  FFraming = TFraming::Length;
  FContentEncoding.clear();
  FChunkLength = FChunkReceived = 0;
  FChunkState = FChunkDigits = 0;
  FLocation.clear();
  FInHeader = false;
  FCloseReq = FRequestVer == u"1.0";
  FFailure = hfNone;
  FTlsError = {};
  DropPending();
}

void THttpClient::DeriveDocName() {
  Text name = FDocumentName.substr(0, FDocumentName.find(u'?'));
  if (name.empty() || name.back() == u'/') {
    FDocumentName = u"document.htm";
    return;
  }
  const std::size_t slash = name.rfind(u'/');
  name = name.substr(slash == Text::npos ? 0 : slash + 1, 255);
  FDocumentName = name.substr(0, name.find(u'?'));
}

void THttpClient::ConnectToServer() {
  FCloseStep = &THttpClient::SessionClosed;
  if (FSocket.State() == wsConnected) {
    SendOnKeptConnection();
    return;
  }
  if (!IsValidPort(FServerPort)) return FailAddress(u"invalid port \"" + FServerPort + u"\"");
  if (!IsValidHost(FServerHost)) return FailAddress(u"invalid host \"" + FServerHost + u"\"");
  FDnsResult.clear();
  SetState(httpDnsLookup);
  try {
    FSocket.SetLocalAddr(TextToAnsi(LocalAddr));
    FSocket.DnsLookup(LookupName(FServerHost));
  } catch (const std::exception& error) {
    FStatusCode = 404;
    FReasonText = Utf8ToText(error.what());
    FFailure = hfLookup;
    FIsConnected = false;
    SetState(httpReady);
  }
}

void THttpClient::OnLookupDone(std::uint16_t error) {
  if (error != 0) {
    if (State() != httpAborting) {
      FRequestError = error;
      FStatusCode = 404;
      FReasonText = u"can't resolve hostname to IP address";
      FFailure = hfLookup;
    }
    OnClosed(error);
    return;
  }
  FAddresses = FSocket.DnsResultList();
  if (FAddresses.empty()) FAddresses.emplace_back();  // the connect reports the missing address
  FNextAddress = 0;
  FDnsResult = FAddresses.front();
  SetState(httpDnsLookupDone);
  FConnectedHost = FServerHost;
  FConnectedPort = FServerPort;
  FConnectedProtocol = FServerProtocol;

  if (FServerProtocol != u"http" && FServerProtocol != u"https") {
    FRequestError = static_cast<std::uint16_t>(FSocket.LastError());
    FStatusCode = 501;
    FReasonText = u"Protocol \"" + FServerProtocol + u"\" not implemented";
    FFailure = hfProtocol;
    CloseSocketQuietly();
    OnClosed(static_cast<std::uint16_t>(FSocket.LastError()));
    return;
  }
  FTls.reset();
  // Over TLS the request follows the handshake's last flight at once: with Nagle's algorithm
  // it would wait for the server's delayed ACK of that flight (40 ms after a resumed TLS 1.2
  // handshake, where the server sends nothing more).
  if (FServerProtocol == u"https") {
    FSocket.ComponentOptions |= wsoTcpNoDelay;
  } else {
    FSocket.ComponentOptions &= ~wsoTcpNoDelay;
  }
  if (FServerProtocol == u"https" && !StartTls()) {
    CloseSocketQuietly();
    OnClosed(0);
    return;
  }
  ConnectToNextAddress();
}

// Connects to the looked-up addresses in the resolver's order. An address whose connect fails
// at once gives way to the next here; one refused later, from OnConnected.
void THttpClient::ConnectToNextAddress() {
  for (;;) {
    FDnsResult = FAddresses[FNextAddress++];
    FSocket.SetAddr(FDnsResult);
    FSocket.SetLocalAddr(TextToAnsi(LocalAddr));
    FSocket.SetPort(TextToAnsi(FServerPort));
    FSocket.SetProto("tcp");
    // A failing Connect reports through the socket's error event (ours) or raises; either
    // way the attempt ends here, with no close report.
    FConnecting = true;
    FConnectFailed = false;
    FQuietClose = true;
    try {
      FSocket.Connect();
    } catch (const std::exception&) {
      FConnectFailed = true;
    }
    FConnecting = false;
    FQuietClose = false;
    if (!FConnectFailed) {
      FConnectTimer.SetEnabled(FNextAddress < FAddresses.size());
      return;
    }
    const int code = FSocket.LastError();
    CloseSocketQuietly();
    if (FNextAddress < FAddresses.size()) continue;
    FRequestError = static_cast<std::uint16_t>(code);
    FStatusCode = 404;
    FReasonText = u"can't connect: " + ErrorText(code);
    FFailure = hfConnect;
    OnClosed(static_cast<std::uint16_t>(code));
    return;
  }
}

void THttpClient::NextAddressAfterClose(std::uint16_t) { PostToSelf(FMsgNextAddress, FRequestSerial); }

// A connect still under way when its patience ran out is dropped for the next address.
void THttpClient::ConnectStalled() {
  FConnectTimer.SetEnabled(false);
  if (State() != httpDnsLookupDone || FSocket.State() != wsConnecting || FNextAddress >= FAddresses.size()) return;
  CloseSocketQuietly();
  ConnectToNextAddress();
}

// Ends the request before any connection: the address cannot be used.
void THttpClient::FailAddress(const Text& reason) {
  FStatusCode = 0;
  FReasonText = reason;
  FRequestError = RequestErrorBadAddress;
  FFailure = hfBadAddress;
  FIsConnected = false;
  SetState(httpReady);
}

void THttpClient::CloseSocketQuietly() {
  FQuietClose = true;
  FSocket.Close();
  FQuietClose = false;
}

void THttpClient::OnConnected(std::uint16_t error) {
  if (error != 0 && FNextAddress < FAddresses.size() && State() == httpDnsLookupDone) {
    // The socket closes after this report; the next address is tried once it has.
    FCloseStep = &THttpClient::NextAddressAfterClose;
    return;
  }
  if (error != 0) {
    FRequestError = error;
    FStatusCode = 404;
    FReasonText = ErrorText(error);
    FFailure = hfConnect;
    FireNotify(OnSessionConnected);
    return;  // the socket's close report completes the request
  }
  FRelocationPending = false;
  FIsConnected = true;
  SetState(httpConnected);
  FireNotify(OnSessionConnected);
  if (State() != httpConnected) return;  // the handler ended the request
  try {
    FLineHandler = &THttpClient::ReceiveHeaderLine;
    FResponseComplete = FReplyStarted = false;  // from here on the connection's bytes are the new response
    SetState(httpWaitingHeader);
    if (FRequestType == httpGET) SendRequest(u"GET", FRequestVer);
  } catch (const std::exception&) {
    FSocket.Close();
    FIsConnected = false;
  }
}

void THttpClient::SendRequest(const Text& method, const Text& version) {
  FRequestBuffer.clear();
  FireNotify(OnRequestHeaderBegin);
  std::vector<Text> lines{method + u" " + RequestTarget(FRequestPath) + u" HTTP/" + version};
  const auto add = [&lines](std::u16string_view name, const Text& value) {
    if (!value.empty()) lines.push_back(Text(name) + value);
  };
  add(u"From: ", Sender);
  add(u"Accept: ", Accept);
  add(u"Referer: ", Reference);
  add(u"Connection: ", FSentConnection);
  add(u"Accept-Language: ", AcceptLanguage);
  add(u"User-Agent: ", Agent);
  // The Host line names the server the request goes to, its port included unless it is
  // the scheme's default; an IPv6 literal keeps its brackets.
  const bool defaultPort = FServerPort.empty() || FServerPort == DefaultPort(FServerProtocol);
  lines.push_back(u"Host: " + FServerHost + (defaultPort ? Text() : u":" + FServerPort));
  if (NoCache) lines.push_back(u"Pragma: no-cache");
  add(u"Proxy-Connection: ", FSentProxyConnection);
  if (ModifiedSince != 0) lines.push_back(u"If-Modified-Since: " + FormatHttpDate(ModifiedSince) + u" GMT");
  add(u"Cookie: ", Cookie);
  if (!ContentRangeBegin.empty() || !ContentRangeEnd.empty()) {
    lines.push_back(u"Range: bytes=" + ContentRangeBegin + u"-" + ContentRangeEnd);
    ContentRangeBegin.clear();
    ContentRangeEnd.clear();
  }
  FAcceptRanges.clear();
  if (OnBeforeHeaderSend) OnBeforeHeaderSend(*this, method, lines);

  const auto append = [this](Text line) {
    if (OnCommand) OnCommand(*this, line);
    FRequestBuffer += TextToAnsi(line);
    FRequestBuffer += "\r\n";
  };
  for (const Text& line : lines) append(line);
  FireNotify(OnRequestHeaderEnd);
  append(Text());
  SendBytes(FRequestBuffer);
  FRequestBuffer.clear();
}

void THttpClient::PostReady() { PostToSelf(FMsgSetReady, FRequestSerial); }

void THttpClient::SetState(THttpState state) {
  if (state == State()) return;
  StoreState(state);
  FireNotify(OnStateChange);
  if (state == httpReady) PostToSelf(FMsgRequestDone);
}

void THttpClient::Abort() {
  if (CurrentThreadId() != ThreadId()) {
    Handle().Queue->Invoke([this] { Abort(); });
    return;
  }
  if (State() == httpReady) {
    StoreState(httpAborting);
    if (FSocket.State() != wsClosed) FSocket.Abort();
    FStatusCode = 200;
    FReasonText = u"OK";
    FRequestError = 0;
    FFailure = hfNone;
    StoreState(httpReady);
    FireNotify(OnStateChange);
    if (OnRequestDone) OnRequestDone(*this, FRequestType, 0);
    return;
  }
  const bool lookingUp = State() == httpDnsLookup;
  FLoginPending = false;
  SetState(httpAborting);
  if (lookingUp) {
    try {
      FSocket.CancelDnsLookup();
    } catch (const std::exception&) {
    }
  }
  FStatusCode = 404;
  FReasonText = u"Connection aborted on request";
  FRequestError = RequestErrorAborted;
  FFailure = hfAborted;
  // An abort also ends a relocation under way: the close below must not start it.
  FRelocationPending = false;
  FCloseStep = &THttpClient::SessionClosed;
  if (lookingUp) {
    OnClosed(0);
  } else {
    FSocket.Close();
  }
  SetState(httpReady);
}

} // namespace relaybox
