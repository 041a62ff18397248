// The receiving half of THttpClient: header lines, body delivery, relocation and close.
#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "base/TextCase.h"
#include "http/HttpClient.h"
#include "http/ResolveReference.h"
#include "http/SplitURL.h"

namespace relaybox {
namespace {

constexpr std::int32_t ReceiveRoom = 65536;
// Bounds on what the server may send before a line end, and as one whole header.
constexpr std::int32_t MaxHeaderLine = 64 * 1024;
constexpr std::size_t MaxHeader = 1024 * 1024;

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A decimal number of at least one digit that fits 63 bits; nothing for anything else.
std::optional<std::int64_t> DecimalValue(const Text& text) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char16_t c : text) {
    if (!IsDigit(c) || value > (std::numeric_limits<std::int64_t>::max() - 9) / 10) return std::nullopt;
    value = value * 10 + (c - u'0');
  }
  return value;
}

// The codings a Transfer-Encoding lists, comma-separated, blanks around them ignored: the
// last one that is not "identity" (which changes nothing), or empty when there is none.
Text LastCoding(const Text& list) {
  Text last;
  std::size_t from = 0;
  while (from <= list.size()) {
    const std::size_t comma = std::min(list.find(u',', from), list.size());
    const Text coding = Trim(list.substr(from, comma - from));
    if (!coding.empty() && coding != u"identity") last = coding;
    from = comma + 1;
  }
  return last;
}

} // namespace

void THttpClient::OnReceived(std::uint16_t) {
  // Consumed lines are only skipped while a receive is handled; the pending bytes move to the
  // front once, here, so that a flood of short lines costs no more than its bytes.
  if (FReceiveHead > 0) {
    std::memmove(FReceiveBuffer.data(), FReceiveBuffer.data() + FReceiveHead, static_cast<std::size_t>(FReceiveLen) + 1);
    FReceiveHead = 0;
  }
  if (static_cast<std::int64_t>(FReceiveBuffer.size()) < std::int64_t{FReceiveLen} + ReceiveRoom) {
    FReceiveBuffer.resize(static_cast<std::size_t>(FReceiveLen + ReceiveRoom + 1));
    FReceiveBuffer[static_cast<std::size_t>(FReceiveLen + ReceiveRoom)] = 0;
  }
  const int n = ReceiveSome(FReceiveBuffer.data() + FReceiveLen, static_cast<int>(FReceiveBuffer.size()) - FReceiveLen - 1);
  if (FRequestType == httpABORT || n <= 0) return;
  if (FResponseComplete || State() == httpReady) {
    // Nothing is asked for: a server that sends anyway loses the connection, rather than keep
    // the program busy with what it sends.
    DropPending();
    CloseConnection();
    return;
  }
  FReplyStarted = true;
  FReceiveLen += n;
  FReceiveBuffer[static_cast<std::size_t>(FReceiveLen)] = 0;

  if (State() == httpWaitingBody) {
    ContinueBody();
    return;
  }
  while (FReceiveLen > 0) {
    // Only a response that is still arriving takes lines; the rest are dropped.
    const THttpState state = State();
    const bool expected = !FResponseComplete && (state == httpWaitingHeader || state == httpWaitingBody);
    const char* const begin = FReceiveBuffer.data() + FReceiveHead;
    const auto* const lf = static_cast<const char*>(std::memchr(begin, '\n', static_cast<std::size_t>(FReceiveLen)));
    if (lf == nullptr) {
      if (FReceiveLen <= MaxHeaderLine) break;
      if (expected && state == httpWaitingHeader) {
        FailResponse(u"Header line too long");
      } else {
        DropPending();  // nobody waits for these bytes: they would be dropped anyway
      }
      return;
    }
    const auto consumed = static_cast<std::int32_t>(lf - begin + 1);
    std::int32_t length = consumed - 1;
    if (length > 0 && begin[length - 1] == '\r') --length;
    FLine.assign(reinterpret_cast<const unsigned char*>(begin), reinterpret_cast<const unsigned char*>(begin) + length);
    FLineBytes = consumed;
    FReceiveHead += consumed;
    FReceiveLen -= consumed;

    if (expected && state == httpWaitingHeader) {
      FHeaderSize += static_cast<std::size_t>(consumed);
      if (length > MaxHeaderLine || FHeaderSize > MaxHeader) {
        FailResponse(length > MaxHeaderLine ? u"Header line too long" : u"Response header too large");
        return;
      }
    }
    if (expected) {
      if (FLineHandler != nullptr) {
        (this->*FLineHandler)();
      } else {
        PostReady();
      }
    } else if (OnDataPush) {
      OnDataPush(*this, FLine);
    }
  }
}

void THttpClient::DeliverPendingBody() {
  const std::int64_t length = BodyLength();
  FBodyDataOffset = FReceiveHead;
  FBodyDataLen = length < 0 ? FReceiveLen : std::clamp<std::int64_t>(length - FReceivedCount, 0, FReceiveLen);
  GetBodyLineNext();
  // A handler that closed the connection has dropped the pending bytes meanwhile.
  if (FReceiveLen > FBodyDataLen) {
    FReceiveHead += static_cast<std::int32_t>(FBodyDataLen);
    FReceiveLen -= static_cast<std::int32_t>(FBodyDataLen);
  } else {
    DropPending();
  }
  FBodyDataLen = 0;
}

void THttpClient::ContinueBody() {
  if (FReceiveLen > 0) DeliverPendingBody();
  if (FLineHandler != nullptr) return;  // the document goes on
  if (FRelocationPending) {
    StartRelocation();
  } else {
    PostReady();
  }
}

void THttpClient::ReceiveHeaderLine() {
  if (FHeaderLineCount == 0) {
    FInHeader = true;
    FireNotify(OnHeaderBegin);
  } else if (FHeaderLineCount == -1) {
    FHeaderLineCount = 0;
  }
  ++FHeaderLineCount;

  if (FHeaderLineCount == 1 && (StartsWithNoCase(FLine, u"<html>") || StartsWithNoCase(FLine, u"<!doctype"))) {
    // A reply without header: this line is the first of a body that ends with the close. It
    // is delivered, but without a status the reply is no answer to the request.
    FailNoStatusLine();
    if (FContentType.empty()) FContentType = u"text/html";
    SetState(httpWaitingBody);
    FLineHandler = &THttpClient::GetBodyLineNext;
    FireHeaderEnd();
    FReceiveHead -= FLineBytes;  // the line's bytes still stand just before the pending ones
    FReceiveLen += FLineBytes;
    ContinueBody();
    return;
  }

  if (!FLine.empty()) {
    FReceivedHeader.push_back(FLine);
    if (!(FHeaderLineCount == 1 ? ParseStatusLine(FLine) : ParseHeaderField(FLine))) return;
    FireNotify(OnHeaderData);
    return;
  }

  if (FStatusCode >= 100 && FStatusCode < 200) {
    EndInterimReply();
    return;
  }
  if (FStatusCode == 0) FailNoStatusLine();
  FRelocationPending = FollowsLocation();
  FireHeaderEnd();
  if (State() == httpReady) {
    DropPending();
    return;
  }
  if (ResponseHasNoBody()) {
    FResponseComplete = true;
    // A body-less redirect is followed on a kept connection too: servers send them that way.
    // One whose body has no length is not read, so its connection cannot serve again.
    if (FRelocationPending) {
      FCloseReq = FCloseReq || BodyEndsWithClose();
      StartRelocation();
    } else if (FCloseReq) {
      CloseConnection();  // the close completes the request
    } else {
      PostReady();
    }
    return;
  }
  ApplyContentTypeExtension();
  SetState(httpWaitingBody);
  FLineHandler = &THttpClient::GetBodyLineNext;
  ContinueBody();
}

bool THttpClient::ParseStatusLine(const Text& line) {
  if (line.compare(0, 8, u"HTTP/1.0") != 0 && line.compare(0, 8, u"HTTP/1.1") != 0) {
    if (OnDataPush2) OnDataPush2(*this, line);
    return true;
  }
  FResponseVersion = line.substr(5, 3);
  FCloseReq = FRequestVer == u"1.0" || FResponseVersion == u"1.0";
  // The version, blanks, then a status from 100 to 999: three digits, and the end of the line
  // or a blank before the reason.
  std::size_t start = 8;
  while (start < line.size() && line[start] == u' ') ++start;
  const Text code = line.substr(std::min(start, line.size()), 3);
  const bool valid = start > 8 && code.size() == 3 && std::all_of(code.begin(), code.end(), IsDigit) &&
                     code[0] != u'0' && (start + 3 == line.size() || line[start + 3] == u' ');
  if (!valid) {
    FailResponse(u"Invalid status code");
    return false;
  }
  FStatusCode = (code[0] - u'0') * 100 + (code[1] - u'0') * 10 + (code[2] - u'0');
  FReasonText = start + 4 < line.size() ? line.substr(start + 4) : Text();
  return true;
}

bool THttpClient::ParseHeaderField(const Text& line) {
  const std::size_t colon = line.find(u':');
  if (colon == Text::npos) return true;
  const Text name = LowerCase(line.substr(0, colon));
  std::size_t start = colon + 1;
  while (start + 1 < line.size() && line[start] == u' ') ++start;
  const Text value = line.substr(std::min(start, line.size()));

  if (name == u"location") {
    if (FRequestType == httpPUT) {
      FLocationURL = value;
    } else {
      FLocation = value;  // followed when the header ends, if the status asks for it
    }
  } else if (name == u"content-length") {
    // A length that is no number, or a second one that differs, leaves the body's end unknown.
    const std::optional<std::int64_t> length = DecimalValue(Trim(value));
    if (!length || (FContentLength >= 0 && *length != FContentLength)) {
      FailResponse(u"Invalid Content-Length");
      return false;
    }
    FContentLength = *length;
  } else if (name == u"transfer-encoding") {
    // Several lines make one list, whose last coding is this line's, or an earlier line's when
    // this one names none: only the new line is looked through, however many came before.
    const Text codings = LowerCase(value);
    FTransferEncoding += (FTransferEncoding.empty() ? u"" : u", ") + codings;
    const Text last = LastCoding(codings);
    if (!last.empty()) FFraming = last == u"chunked" ? TFraming::Chunks : TFraming::Close;
  } else if (name == u"content-range") {
    const std::size_t dash = value.find(u'-');
    const std::size_t slash = value.find(u'/');
    // "bytes first-last/length"
    const bool range = dash != Text::npos && dash >= 6;
    ContentRangeBegin = range ? value.substr(6, dash - 6) : Text();
    ContentRangeEnd = range && slash != Text::npos && slash > dash ? value.substr(dash + 1, slash - dash - 1) : Text();
  } else if (name == u"accept-ranges") {
    FAcceptRanges = value;
  } else if (name == u"content-type") {
    FContentType = LowerCase(value);
  } else if (name == u"www-authenticate" || name == u"proxy-authenticate") {
    FAuthChallenges.push_back(value);
  } else if (name == u"set-cookie") {
    bool accept = true;
    if (OnCookie) OnCookie(*this, value, accept);
  } else if (name == u"connection" || name == u"proxy-connection") {
    const Text option = LowerCase(Trim(value));
    if (option == u"close") FCloseReq = true;
    if (option == u"keep-alive") FCloseReq = false;
  } else if (name == u"content-encoding") {
    FContentEncoding = value;
  }
  return true;
}

// An interim reply (any 1xx) is not the result: the header after it is, and nothing of the
// interim one counts. Its lines still count against the header limit, so that endless interim
// replies end the request.
void THttpClient::EndInterimReply() {
  FReceivedHeader.clear();
  FHeaderLineCount = -1;
  FStatusCode = 0;
  FReasonText.clear();
  FResponseVersion.clear();
  FContentLength = -1;
  FContentType.clear();
  FTransferEncoding.clear();
  FFraming = TFraming::Length;
  FContentEncoding.clear();
  FLocation.clear();
  FCloseReq = FRequestVer == u"1.0";
}

// Only a redirect status leads on, and only to an http or https address.
bool THttpClient::FollowsLocation() {
  static constexpr std::int32_t Redirects[] = {301, 302, 303, 307, 308};
  return FollowRelocation && std::find(std::begin(Redirects), std::end(Redirects), FStatusCode) != std::end(Redirects) &&
         ResolveLocation(FLocation);
}

bool THttpClient::ResolveLocation(const Text& value) {
  const std::optional<TUrlParts> target =
      ResolveReference({FServerProtocol, {}, {}, FServerHost, FServerPort, FRequestPath}, value);
  if (!target) return false;
  // An absolute address without a host keeps the host of the current request.
  if (!target->Host.empty()) FServerHost = target->Host;
  FServerProtocol = target->Proto;
  FServerPort = target->Port.empty() ? DefaultPort(FServerProtocol) : target->Port;
  FRequestPath = target->Path;
  if (!target->User.empty() && !target->Pass.empty()) {
    FAuthUser = target->User;
    FAuthPassword = target->Pass;
  }
  FLocationURL = FServerProtocol + u"://" + FServerHost + FRequestPath;
  return true;
}

// A reply to HEAD, and a 1xx, 204 or 304, never has a body, whatever its header says. Any
// other without a length has one that runs until the close, unless it is a redirect that is
// followed: nothing of its body would be kept, so its connection is not waited on.
bool THttpClient::ResponseHasNoBody() const {
  if (FRequestType == httpHEAD || FStatusCode < 200 || FStatusCode == 204 || FStatusCode == 304) return true;
  if (IsChunked()) return false;  // the chunks frame the body, whatever Content-Length says
  const std::int64_t length = BodyLength();
  return length == 0 || (length < 0 && FRelocationPending);
}

void THttpClient::ApplyContentTypeExtension() {
  if (FContentType != u"text/html") return;
  const std::size_t dot = FDocumentName.rfind(u'.');
  const Text extension = dot == Text::npos ? Text() : LowerCase(FDocumentName.substr(dot));
  if (!extension.empty() && extension != u".exe") return;
  FDocumentName = FDocumentName.substr(0, dot) + u".htm";
}

void THttpClient::GetBodyLineNext() {
  if (FBodyCallCount == 0) {
    FChunkLength = FChunkReceived = 0;
    FChunkState = FChunkDigits = 0;
    FireNotify(OnDocBegin);
    if (State() != httpWaitingBody) return;  // the handler ended the request
    FBodyStreamStartSize = BodyStream != nullptr ? BodyStream->Size() : 0;
  }
  ++FBodyCallCount;
  const char* const data = FReceiveBuffer.data() + FBodyDataOffset;
  if (IsChunked()) {
    DecodeChunks(data, FBodyDataLen);
    return;
  }
  if (FBodyDataLen > 0) {
    FReceivedCount += FBodyDataLen;
    DeliverBody(data, FBodyDataLen);
  }
  if (FReceivedCount == BodyLength() && State() == httpWaitingBody) EndOfDocument();
}

void THttpClient::DecodeChunks(const char* data, std::int64_t len) {
  const char* p = data;
  const char* const end = data + len;
  const auto skipLine = [&p, end] {
    const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    p = lf == nullptr ? end : lf + 1;
    return lf != nullptr;
  };
  // States: 0 size, 1 rest of the size line, 2 data, 3 line end after the data, 4 done,
  // 5 start of a trailer line, 6 rest of a trailer line.
  while (p < end && FChunkState != 4 && State() == httpWaitingBody) {
    switch (FChunkState) {
      case 0:
        for (; p < end; ++p) {
          const int digit = HexValue(*p);
          if (digit < 0) {
            // The size ends with its line, or with blanks or ";" before an extension.
            if (FChunkDigits == 0 || std::strchr(" \t;\r\n", *p) == nullptr || *p == '\0') {
              return FailResponse(u"Invalid chunk size");
            }
            FChunkState = 1;
            break;
          }
          if (FChunkLength > (std::numeric_limits<std::int64_t>::max() >> 4)) return FailResponse(u"Invalid chunk size");
          FChunkLength = FChunkLength * 16 + digit;
          ++FChunkDigits;
        }
        break;
      case 1:
        if (skipLine()) FChunkState = FChunkLength == 0 ? 5 : 2;  // chunk extensions are skipped
        break;
      case 2: {
        const std::int64_t n = std::min(FChunkLength - FChunkReceived, static_cast<std::int64_t>(end - p));
        FReceivedCount += n;
        FChunkReceived += n;
        DeliverBody(p, n);
        p += n;
        if (FChunkReceived >= FChunkLength) FChunkState = 3;
        break;
      }
      case 3:
        // Only the line end may follow the data: anything else means the size was wrong.
        if (*p == '\r') {
          ++p;
        } else if (*p++ == '\n') {
          FChunkState = 0;
          FChunkLength = FChunkReceived = 0;
          FChunkDigits = 0;
        } else {
          return FailResponse(u"Invalid chunk end");
        }
        break;
      case 5:
        // Trailer fields are skipped; the empty line ends the body.
        if (*p == '\r') {
          ++p;
        } else if (*p == '\n') {
          ++p;
          FChunkState = 4;
        } else {
          FChunkState = 6;
        }
        break;
      case 6:
        if (skipLine()) FChunkState = 5;
        break;
    }
  }
  if (FChunkState == 4 && State() == httpWaitingBody) EndOfDocument();
}

void THttpClient::DeliverBody(const char* data, std::int64_t len) {
  if (BodyStream != nullptr) BodyStream->Write(data, static_cast<std::size_t>(len));
  if (OnDocData) OnDocData(*this, data, len);
}

void THttpClient::EndOfDocument() {
  FResponseComplete = true;
  FBodyCallCount = 0;
  FLineHandler = nullptr;
  SetState(httpBodyReceived);
  FireNotify(OnDocEnd);
  if (FCloseReq) CloseConnection();
}

// Counts one redirect followed, however the connection ends. Past the limit, unless the
// handler allows more, the request ends as failed: the chain never reached its end.
bool THttpClient::RelocationAllowed() {
  ++FLocationChangeCurCount;
  if (FLocationChangeCurCount <= LocationChangeMaxCount) return true;
  bool allowMore = false;
  if (OnLocationChangeExceeded) OnLocationChangeExceeded(*this, FLocationChangeCurCount, allowMore);
  if (allowMore) return true;
  FRelocationPending = false;
  FFailure = hfTooManyRedirects;
  FRequestError = RequestErrorTooManyRedirects;
  FCloseStep = &THttpClient::SessionClosed;
  if (FCloseReq && FSocket.State() != wsClosed) CloseConnection();
  PostToSelf(FMsgSetReady, FRequestSerial);
  return false;
}

void THttpClient::TruncateBodyStream() {
  if (BodyStream != nullptr && BodyStream->Size() != FBodyStreamStartSize) BodyStream->SetSize(FBodyStreamStartSize);
}

void THttpClient::StartRelocation() {
  FReceivedCount = 0;
  DropPending();
  FHeaderLineCount = 0;
  FHeaderSize = 0;
  FBodyCallCount = 0;
  if (!RelocationAllowed()) return;
  if (FConnectedHost != FServerHost || FConnectedPort != FServerPort || FConnectedProtocol != FServerProtocol ||
      FCloseReq) {
    FCloseStep = &THttpClient::RelocatedConnectionClosed;
    CloseConnection();
    return;
  }
  FireNotify(OnLocationChange);
  const Text location = FLocationURL;
  ResetResponse();
  FLocationURL = location;
  FDocumentName = FRequestPath;
  DeriveDocName();
  TruncateBodyStream();
  FLoginPending = true;
  PostToSelf(FMsgLogin, FRequestSerial);
}

void THttpClient::RelocateAfterClose() {
  FDocumentName = FRequestPath;
  DeriveDocName();
  FIsConnected = false;
  FRelocationPending = false;
  FCloseStep = &THttpClient::SessionClosed;
  FireNotify(OnLocationChange);
  ClearResponse();
  TruncateBodyStream();
  FLoginPending = true;
  PostToSelf(FMsgLogin, FRequestSerial);
}

void THttpClient::OnClosed(std::uint16_t error) {
  // The server closed a kept connection before the relocated request went out on it: the
  // pending LoginMsg finds it closed and connects anew.
  if (FLoginPending) {
    DropPending();
    FIsConnected = false;
    return;
  }
  // A kept connection the server closed before anything of the reply came (it had closed
  // before the request arrived): the request goes out again, on a new connection.
  if (FKeptConnection && !FReplyStarted && State() == httpWaitingHeader && FFailure == hfNone) {
    FKeptConnection = false;
    DropPending();
    FIsConnected = false;
    FLoginPending = true;
    PostToSelf(FMsgLogin, FRequestSerial);
    return;
  }
  // A close while the reply is arriving cuts it short, unless it is what ends the body.
  const THttpState state = State();
  if (state != httpReady && state != httpAborting && FFailure == hfNone && !FResponseComplete) {
    if (state == httpWaitingBody && BodyEndsWithClose() && CloseEndsBody(error)) {
      FResponseComplete = true;
    } else {
      FFailure = hfClosed;
    }
  }
  DropPending();
  if (error != 0) FRequestError = error;
  FIsConnected = false;
  if (FInHeader) {
    FireHeaderEnd();
  } else if (FBodyCallCount > 0) {
    FBodyCallCount = 0;
    FireNotify(OnDocEnd);
  }
  // A redirect whose body the close ended (an empty one too) or cut short counts here; one
  // whose connection closes after a complete reply was counted by StartRelocation, and a
  // connection to the new address that fails ends the request.
  if (FRelocationPending && state == httpWaitingBody) {
    if (RelocationAllowed()) RelocateAfterClose();
    return;
  }
  FireNotify(OnSessionClosed);
  if (State() != httpReady) PostToSelf(FMsgSetReady, FRequestSerial);
}

void THttpClient::FireHeaderEnd() {
  FInHeader = false;
  FireNotify(OnHeaderEnd);
}

void THttpClient::FailResponse(const Text& reason) {
  FailConnection(hfBadResponse, RequestErrorBadResponse, reason);
  FSocket.Abort();  // its close report completes the request
}

// Ends the exchange as failed: nothing more of this connection is read, and its close
// completes the request.
void THttpClient::FailConnection(THttpFailure failure, std::uint16_t requestError, const Text& reason) {
  FRequestError = requestError;
  FStatusCode = 0;
  FReasonText = reason;
  FFailure = failure;
  FRelocationPending = false;
  FCloseStep = &THttpClient::SessionClosed;
  FLineHandler = nullptr;
  DropPending();
}

// A reply without a status line is no answer to the request, though it is received as one.
void THttpClient::FailNoStatusLine() {
  FRequestError = RequestErrorBadResponse;
  FReasonText = u"No status line";
  FFailure = hfBadResponse;
}

} // namespace relaybox
