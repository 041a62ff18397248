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
// The reply broke the protocol in a way that ends the exchange: no status line, a status code
// out of range, an over-long header line or header, a broken length or chunk framing.
inline constexpr std::uint16_t RequestErrorBadResponse = 4;
// The address cannot be used as it is (its port is not a number from 1 to 65535).
inline constexpr std::uint16_t RequestErrorBadAddress = 5;
// The redirects went on past LocationChangeMaxCount.
inline constexpr std::uint16_t RequestErrorTooManyRedirects = 6;
// The TLS handshake or a TLS record failed, or the server's certificate was rejected.
inline constexpr std::uint16_t RequestErrorTls = 7;

// Why a request ended without a complete reply. RequestError carries the code where there is
// one: the lookup error, the connect error (10061 when refused), or the error of the close
// (10054 for a reset, 0 when the server just closed too early).
enum THttpFailure : std::uint8_t {
  hfNone,            // a complete reply arrived (StatusCode holds its status)
  hfLookup,          // the host name could not be resolved
  hfProtocol,        // the protocol is neither http nor https
  hfConnect,         // the connection could not be opened
  hfAborted,         // Abort ended the request
  hfBadResponse,     // the reply broke the protocol (ReasonText says how)
  hfClosed,          // the connection closed before the reply was complete
  hfBadAddress,      // the address (or a redirect's) cannot be used (ReasonText says why)
  hfTooManyRedirects, // the redirects went on past the limit
  hfTls               // TLS failed or the certificate was rejected (TlsError says how)
};

// Misuse of the client (busy, unsupported version); failures of an exchange are reported
// in the client's status fields instead.
class EHttpException : public EException {
public:
  EHttpException(const std::string& message, std::int32_t errorCode) : EException(message), ErrorCode(errorCode) {}
  const std::int32_t ErrorCode;
};

} // namespace relaybox
