// The TLS side of THttpClient: an https connection runs its exchange over a TTlsTransport.
#include "base/CodePage.h"
#include "http/HttpClient.h"
#include "http/HttpFailureText.h"

namespace relaybox {

bool THttpClient::StartTls() {
  try {
    if (!FTlsContext) FTlsContext = std::make_unique<TTlsContext>();
    FTls = std::make_unique<TTlsTransport>(FSocket, *FTlsContext, TextToAnsi(FServerHost), TextToAnsi(FServerPort));
  } catch (const EException& error) {
    FailTls({TTlsFailure::Protocol, error.what()});
    return false;
  }
  FTls->OnEstablished = [this] { OnConnected(0); };
  FTls->OnDataAvailable = [this] { OnReceived(0); };
  FTls->OnFailed = [this](const TTlsError& error) {
    FailTls(error);
    FSocket.Abort();  // its close report completes the request
  };
  return true;
}

// Sets the failure, unless the request already ended another way (an abort, a bad reply).
void THttpClient::FailTls(const TTlsError& error) {
  const THttpState state = State();
  if (state == httpReady || state == httpAborting || FFailure != hfNone) return;
  FTlsError = error;
  // The host as the address names it: the session knows only the bytes OpenSSL was given.
  if (error.Kind == TTlsFailure::HostMismatch) FTlsError.Detail = TextToUtf8(FServerHost);
  FailConnection(hfTls, RequestErrorTls, Utf8ToText(TlsFailureText(FTlsError)));
}

// Closes the connection once what is queued has gone; over TLS a close_notify goes first.
void THttpClient::CloseConnection() {
  if (FTls) FTls->Close();
  FSocket.CloseDelayed();
}

// A body that only the close ends is whole over TLS only when the server's close_notify came:
// a close without it may be an attacker's cut. Once it came, the close's error does not count:
// a server may close right after its close_notify, and our answering one then meets a reset.
bool THttpClient::CloseEndsBody(std::uint16_t error) const { return FTls ? FTls->PeerClosed() : error == 0; }

void THttpClient::SendBytes(const std::string& bytes) {
  if (FTls) {
    FTls->Send(bytes.data(), static_cast<int>(bytes.size()));
    return;
  }
  FSocket.AppendToSendBuffer(bytes.data(), static_cast<int>(bytes.size()));
  FSocket.Send(nullptr, 0);
}

} // namespace relaybox
