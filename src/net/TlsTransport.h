#pragma once

#include <functional>
#include <string>

#include "net/AsyncSocket.h"
#include "net/TlsSession.h"

namespace relaybox {

// TLS over a TAsyncSocket. The owner keeps the socket's events and hands them on: the
// transport moves the records between socket and session, and reports back through its own
// events, so the owner's exchange reads and writes plain bytes whatever the transport.
class TTlsTransport {
public:
  TTlsTransport(TAsyncSocket& socket, TTlsContext& context, const std::string& host, const std::string& port);

  // The socket connected: the handshake starts.
  void Start();
  // The socket has bytes: they are taken in. Fires OnEstablished when the handshake ends,
  // OnDataAvailable while plain bytes wait, OnFailed once when the connection fails; after
  // the peer's close_notify it closes the socket, whose close report follows.
  void SocketDataAvailable();
  // The socket closed; returns true when that failed a handshake still under way.
  bool SocketClosed();
  // Plain bytes received, at most `size`; 0 when none wait.
  int Receive(char* buffer, int size);
  void Send(const char* data, int len);
  // Sends our close_notify ahead of a normal close.
  void Close();

  bool Resumed() const { return FSession.Resumed(); }
  bool PeerClosed() const { return FSession.PeerClosed(); }

  bool Established() const { return FSession.Established(); }
  const TTlsError& Error() const { return FSession.Error(); }

  std::function<void()> OnEstablished;
  std::function<void()> OnDataAvailable;
  std::function<void(const TTlsError& error)> OnFailed;

private:
  void Flush();
  void Fail();

  TAsyncSocket& FSocket;
  TTlsSession FSession;
  bool FStarted = false;  // the socket connected and the handshake began
  bool FFailReported = false;
  bool FReadSome = false;  // the latest Receive returned bytes: more may wait
};

} // namespace relaybox
