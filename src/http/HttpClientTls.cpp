// The TLS side of THttpClient: an https connection runs its exchange over a TTlsTransport.
#include "base/CodePage.h"
#include "http/HttpClient.h"
#include "http/HttpFailureText.h"

namespace relaybox {

bool THttpClient::StartTls() {
  try {
    if (!FTlsContext) FTlsContext = std::make_unique<TTlsContext>();
    FTls = std::make_unique<TTlsTransport>(FSocket, *FTlsContext, TextToAnsi(FServerHost));
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
  FStatusCode = 0;
  FReasonText = Utf8ToText(TlsFailureText(error));
  FRequestError = RequestErrorTls;
  FFailure = hfTls;
  FRelocationPending = false;
  FCloseStep = &THttpClient::SessionClosed;
  FLineHandler = nullptr;
  DropPending();
}

void THttpClient::SendBytes(const std::string& bytes) {
  if (FTls) {
    FTls->Send(bytes.data(), static_cast<int>(bytes.size()));
    return;
  }
  FSocket.AppendToSendBuffer(bytes.data(), static_cast<int>(bytes.size()));
  FSocket.Send(nullptr, 0);
}

} // namespace relaybox
