#include "net/TlsTransport.h"

#include <array>

namespace relaybox {
namespace {

// Ciphertext taken from the socket per data event; the socket calls again while more waits.
constexpr int ReadSize = 16 * 1024;

} // namespace

TTlsTransport::TTlsTransport(TAsyncSocket& socket, TTlsContext& context, const std::string& host,
                             const std::string& port)
    : FSocket(socket), FSession(context, host, port) {}

void TTlsTransport::Start() {
  FStarted = true;
  if (FSession.Handshake() == TTlsSession::TStep::Failed) return Fail();
  Flush();
}

void TTlsTransport::SocketDataAvailable() {
  std::array<char, ReadSize> buffer;
  const int n = FSocket.Receive(buffer.data(), static_cast<int>(buffer.size()));
  if (n <= 0 || FFailReported) return;
  FSession.Feed(buffer.data(), static_cast<std::size_t>(n));
  if (!FSession.Established()) {
    const TTlsSession::TStep step = FSession.Handshake();
    if (step == TTlsSession::TStep::Failed) return Fail();
    Flush();
    if (step == TTlsSession::TStep::Pending) return;
    if (OnEstablished) OnEstablished();
    // The handler may have ended the connection.
    if (FSocket.State() != wsConnected) return;
  }
  // The session hands out one record per read: the owner is called until it took them all,
  // which the ciphertext just fed bounds, or stopped reading.
  do {
    FReadSome = false;
    if (OnDataAvailable) OnDataAvailable();
    if (FSession.Failed()) return Fail();
    Flush();
    if (FSocket.State() != wsConnected) return;
  } while (FReadSome);
  // The peer's close_notify ends its data as a close would: the socket closes, and its close
  // report tells the owner that what came is complete.
  if (FSession.PeerClosed()) FSocket.Close();
}

bool TTlsTransport::SocketClosed() {
  // A socket that never connected (a refused address) ends no handshake.
  if (!FStarted || FSession.Established() || FSession.Failed()) return false;
  FSession.TransportClosed();
  FFailReported = true;  // the close itself ends the exchange
  return true;
}

int TTlsTransport::Receive(char* buffer, int size) {
  const int n = FSession.Read(buffer, size);
  FReadSome = n > 0;
  return n > 0 ? n : 0;
}

void TTlsTransport::Send(const char* data, int len) {
  // After the peer's close_notify nothing more is read: its close follows, and a request
  // written now goes again on a new connection, as over a kept connection the server closed.
  if (FSession.PeerClosed()) return;
  if (len > 0 && !FSession.Write(data, static_cast<std::size_t>(len))) return Fail();
  Flush();
}

void TTlsTransport::Close() {
  FSession.Close();
  Flush();
}

void TTlsTransport::Flush() {
  const std::string bytes = FSession.TakeOutgoing();
  if (bytes.empty() || FSocket.State() != wsConnected) return;
  FSocket.AppendToSendBuffer(bytes.data(), static_cast<int>(bytes.size()));
  FSocket.Send(nullptr, 0);
}

void TTlsTransport::Fail() {
  if (FFailReported) return;
  FFailReported = true;
  Flush();  // an alert for the peer, where the session has one
  if (OnFailed) OnFailed(FSession.Error());
}

} // namespace relaybox
