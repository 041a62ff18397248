#pragma once

#include <cstdint>
#include <string>

#include "base/Exception.h"

namespace relaybox {

enum THttpState : std::uint8_t {
  httpReady,
  httpNotConnected,
  httpConnected,
  httpDnsLookup,
  httpDnsLookupDone,
  httpWaitingHeader,
  httpWaitingBody,
  httpBodyReceived,
  httpWaitingProxyConnect,
  httpClosing,
  httpAborting
};

enum THttpRequest { httpABORT, httpGET, httpPOST, httpPUT, httpHEAD, httpCLOSE };

enum THttpAuthType { httpAuthNone, httpAuthBasic, httpAuthNtlm, httpAuthDigest };

enum THttpClientOption : unsigned {
  httpoNoBasicAuth = 1,
  httpoNoNTLMAuth = 2,
  httpoBandwidthControl = 4,
  httpoEnableContentCoding = 8,
  httpoUseQuality = 16,
  httpoNoDigestAuth = 32
};
using THttpClientOptions = unsigned;

// Codes reported with OnRequestDone besides the socket's error numbers.
inline constexpr std::uint16_t RequestErrorAborted = 3;
// The reply broke the protocol in a way that ends the exchange: a status code that is no
// number, an over-long header line or header, an impossible chunk size.
inline constexpr std::uint16_t RequestErrorBadResponse = 4;

// Why a request ended without a complete reply. RequestError carries the code where there is
// one: the lookup error, the connect error (10061 when refused), or the error of the close
// (10054 for a reset, 0 when the server just closed too early).
enum THttpFailure : std::uint8_t {
  hfNone,            // a complete reply arrived (StatusCode holds its status)
  hfLookup,          // the host name could not be resolved
  hfProtocol,        // the protocol is not http
  hfConnect,         // the connection could not be opened
  hfAborted,         // Abort ended the request
  hfBadResponse,     // the reply broke the protocol (ReasonText says how)
  hfClosed           // the connection closed before the reply was complete
};

// Misuse of the client (busy, unsupported version); failures of an exchange are reported
// in the client's status fields instead.
class EHttpException : public EException {
public:
  EHttpException(const std::string& message, std::int32_t errorCode) : EException(message), ErrorCode(errorCode) {}
  const std::int32_t ErrorCode;
};

} // namespace relaybox
