#include "http/HttpFailureText.h"

#include <cstdio>

#include "http/SplitURL.h"
#include "net/SocketErrors.h"

namespace relaybox {
namespace {

std::string WithCode(const char* phrase, int code) {
  return std::string(phrase) + " (" + SocketErrorText(code) + ", Error #" + std::to_string(code) + ")";
}

} // namespace

std::string HttpFailureText(const THttpClient& client) {
  const int code = client.RequestError();
  switch (client.Failure()) {
    case hfNone:
      return {};
    case hfLookup:
      return code == 0 ? "unresolvable" : WithCode("unresolvable", code);
    case hfProtocol:
      return "protocol not supported (" + TextToUtf8(SplitURL(client.LocationURL(), Text()).Proto) + ")";
    case hfConnect:
      if (code == WSAECONNREFUSED) return "refused";
      return code == 0 ? "cannot connect" : WithCode("cannot connect", code);
    case hfAborted:
      return "aborted";
    case hfBadResponse:
      return "bad reply (" + TextToUtf8(client.ReasonText()) + ")";
    case hfClosed:
      if (code == WSAECONNRESET) return "reset";
      return code == 0 ? "cut short" : WithCode("connection lost", code);
    case hfBadAddress:
      return "bad address (" + TextToUtf8(client.ReasonText()) + ")";
    case hfTooManyRedirects:
      return "too many redirects";
    case hfTls:
      return TlsFailureText(client.TlsError());
  }
  return {};
}

std::string TlsFailureText(const TTlsError& error) {
  switch (error.Kind) {
    case TTlsFailure::None:
      return {};
    case TTlsFailure::SelfSigned:
      return "certificate not trusted (self-signed)";
    case TTlsFailure::UnknownAuthority:
      return "certificate not trusted (unknown authority)";
    case TTlsFailure::Expired:
      return "certificate expired";
    case TTlsFailure::NotYetValid:
      return "certificate not yet valid";
    case TTlsFailure::HostMismatch:
      return "certificate does not match host " + error.Detail;
    case TTlsFailure::Rejected:
      return "certificate rejected (" + error.Detail + ")";
    case TTlsFailure::PlainHttp:
      return "TLS handshake failed (the server answered in plain HTTP)";
    case TTlsFailure::NotTls:
      return "TLS handshake failed (the reply is not TLS)";
    case TTlsFailure::Closed:
      return "TLS handshake failed (the server closed the connection)";
    case TTlsFailure::Protocol:
      return "TLS failed (" + error.Detail + ")";
  }
  return {};
}

std::string TimedOutText(std::chrono::milliseconds limit) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(limit.count()) / 1000);
  return "timed out after " + std::string(seconds) + " s";
}

} // namespace relaybox
