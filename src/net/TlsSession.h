#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;

namespace relaybox {

// Why a TLS connection failed: a certificate the client rejects, or a handshake or record
// layer that broke.
enum class TTlsFailure : std::uint8_t {
  None,
  SelfSigned,        // the server's certificate signs itself and is not trusted
  UnknownAuthority,  // no trusted authority issued the chain
  Expired,
  NotYetValid,
  HostMismatch,      // the owner names the host it asked for
  Rejected,          // another verification error; Detail holds OpenSSL's words
  PlainHttp,         // the server answered in plain HTTP
  NotTls,            // the first bytes of the reply are no TLS record
  Closed,            // the connection closed before the handshake ended
  Protocol           // the handshake or a record failed; Detail holds OpenSSL's reason
};

struct TTlsError {
  TTlsFailure Kind = TTlsFailure::None;
  std::string Detail;
};

// The client side settings every TLS connection shares: TLS 1.2 or later, the peer verified
// against the system's trust store (which honours SSL_CERT_FILE and SSL_CERT_DIR). It keeps
// the latest session of the last few servers, so that the next connection to the same host
// and port resumes it instead of paying the full handshake.
class TTlsContext {
public:
  struct TSessionFree {
    void operator()(ssl_session_st* session) const;
  };
  using TSessionPtr = std::unique_ptr<ssl_session_st, TSessionFree>;

  TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  ssl_ctx_st* Native() const { return FContext.get(); }
  // The session kept for `key` (host:port), taken out: each is offered once, and the
  // server's next ticket replaces it.
  TSessionPtr TakeSession(const std::string& key);
  void KeepSession(const std::string& key, TSessionPtr session);
  void ForgetSession(const std::string& key);
  bool HasSession(const std::string& key) const;
  std::size_t SessionCount() const { return FSessions.size(); }

private:
  struct TFree {
    void operator()(ssl_ctx_st* context) const;
  };
  std::unique_ptr<ssl_ctx_st, TFree> FContext;
  std::vector<std::pair<std::string, TSessionPtr>> FSessions;  // the most recent last
};

// One TLS client connection over memory buffers: the owner feeds it what the network
// delivered and sends what it takes out, so it never waits and never touches a socket.
class TTlsSession {
public:
  enum class TStep { Pending, Established, Failed };

  // `host` is a name (sent as SNI and matched against the certificate) or an IP literal
  // (matched against the certificate's addresses).
  // `port` only tells this server's kept session from another's.
  TTlsSession(TTlsContext& context, const std::string& host, const std::string& port);
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  // Takes bytes that came from the peer.
  void Feed(const char* data, std::size_t len);
  // Advances the handshake as far as the fed bytes allow.
  TStep Handshake();
  // Plain bytes received: the count, 0 when more must be fed first, -1 after a failure.
  int Read(char* buffer, int size);
  // Encrypts plain bytes for sending; false after a failure.
  bool Write(const char* data, std::size_t len);
  // The bytes waiting to go to the peer, taken out.
  std::string TakeOutgoing();
  // The connection closed: a handshake that had not ended fails.
  void TransportClosed();
  // Queues our close_notify, once, on an established connection that has not failed.
  void Close();

  // The session continues one kept from an earlier connection (no full handshake).
  bool Resumed() const;
  // The peer ended its data with a close_notify: what came before it is complete.
  bool PeerClosed() const;
  const std::string& Key() const { return FKey; }

  bool Established() const { return FEstablished; }
  bool Failed() const { return FError.Kind != TTlsFailure::None; }
  const TTlsError& Error() const { return FError; }

private:
  struct TFree {
    void operator()(ssl_st* ssl) const;
  };
  void FailHandshake();
  void FailRecord();

  TTlsContext& FContext;
  std::unique_ptr<ssl_st, TFree> FSsl;
  std::string FKey;  // host:port, for the kept session
  std::string FFirstBytes;  // the first bytes from the peer, to tell a reply that is no TLS
  bool FEstablished = false;
  TTlsError FError;
};

} // namespace relaybox
