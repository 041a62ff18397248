#include "net/TlsSession.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>

#include "net/SocketErrors.h"

namespace relaybox {
namespace {

// Servers whose latest session is kept; the oldest gives way.
constexpr std::size_t MaxSessions = 4;
// The longest certificate chain taken from a server: a longer one fails the handshake as
// soon as its length is announced, before it is buffered.
constexpr long MaxCertificateList = 100 * 1024;

// A TLS record starts with its content type: a handshake (22) or an alert (21) comes first.
bool StartsLikeTls(const std::string& bytes) {
  return bytes.empty() || bytes[0] == '\x16' || bytes[0] == '\x15';
}

bool IsAddressLiteral(const std::string& host) {
  unsigned char address[16];
  return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

TTlsError VerifyError(long result) {
  switch (result) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      return {TTlsFailure::SelfSigned, {}};
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return {TTlsFailure::UnknownAuthority, {}};
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return {TTlsFailure::Expired, {}};
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return {TTlsFailure::NotYetValid, {}};
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return {TTlsFailure::HostMismatch, {}};
    default:
      return {TTlsFailure::Rejected, X509_verify_cert_error_string(result)};
  }
}

// OpenSSL's reason for the latest error of this thread, or `fallback` when it queued none.
std::string LastReason(const char* fallback) {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return reason != nullptr ? reason : fallback;
}

// OpenSSL hands over a session it made (TLS 1.2) or a ticket that came (TLS 1.3). Only a
// connection whose peer passed verification contributes one; 1 keeps the reference.
int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
  const auto* owner = static_cast<const TTlsSession*>(SSL_get_app_data(ssl));
  auto* context = static_cast<TTlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (owner == nullptr || context == nullptr || owner->Failed() || SSL_get_verify_result(ssl) != X509_V_OK) return 0;
  context->KeepSession(owner->Key(), TTlsContext::TSessionPtr(session));
  return 1;
}

} // namespace

void TTlsContext::TFree::operator()(ssl_ctx_st* context) const { SSL_CTX_free(context); }
void TTlsContext::TSessionFree::operator()(ssl_session_st* session) const { SSL_SESSION_free(session); }

TTlsContext::TTlsContext() : FContext(SSL_CTX_new(TLS_client_method())) {
  if (!FContext) throw ESocketException("TLS: cannot create a context (" + LastReason("no reason") + ")");
  SSL_CTX_set_min_proto_version(FContext.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(FContext.get(), SSL_VERIFY_PEER, nullptr);
  // A missing trust store leaves nothing trusted: every handshake then fails its verification.
  SSL_CTX_set_default_verify_paths(FContext.get());
  SSL_CTX_set_max_cert_list(FContext.get(), MaxCertificateList);
  // Sessions come to KeepNewSession and are kept here, not in OpenSSL's own cache.
  SSL_CTX_set_app_data(FContext.get(), this);
  SSL_CTX_set_session_cache_mode(FContext.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(FContext.get(), KeepNewSession);
  ERR_clear_error();
}

TTlsContext::TSessionPtr TTlsContext::TakeSession(const std::string& key) {
  const auto found = std::find_if(FSessions.begin(), FSessions.end(), [&](const auto& kept) { return kept.first == key; });
  if (found == FSessions.end()) return nullptr;
  TSessionPtr session = std::move(found->second);
  FSessions.erase(found);
  return SSL_SESSION_is_resumable(session.get()) == 1 ? std::move(session) : nullptr;
}

void TTlsContext::KeepSession(const std::string& key, TSessionPtr session) {
  ForgetSession(key);
  if (FSessions.size() >= MaxSessions) FSessions.erase(FSessions.begin());
  FSessions.emplace_back(key, std::move(session));
}

bool TTlsContext::HasSession(const std::string& key) const {
  return std::any_of(FSessions.begin(), FSessions.end(), [&](const auto& kept) { return kept.first == key; });
}

void TTlsContext::ForgetSession(const std::string& key) {
  std::erase_if(FSessions, [&](const auto& kept) { return kept.first == key; });
}

void TTlsSession::TFree::operator()(ssl_st* ssl) const {
  // OpenSSL spoils the session of a connection freed without a close_notify sent. A connection
  // we drop on purpose (the next delivery, an abort) leaves its session good for the next one;
  // a failed one has had its session forgotten already.
  if (SSL_is_init_finished(ssl) == 1) SSL_set_shutdown(ssl, SSL_get_shutdown(ssl) | SSL_SENT_SHUTDOWN);
  SSL_free(ssl);
}

TTlsSession::TTlsSession(TTlsContext& context, const std::string& host, const std::string& port)
    : FContext(context), FSsl(SSL_new(context.Native())), FKey(host + ":" + port) {
  if (!FSsl) throw ESocketException("TLS: cannot create a connection (" + LastReason("no reason") + ")");
  BIO* const incoming = BIO_new(BIO_s_mem());
  BIO* const outgoing = BIO_new(BIO_s_mem());
  if (incoming == nullptr || outgoing == nullptr) {
    BIO_free(incoming);
    BIO_free(outgoing);
    throw ESocketException("TLS: out of memory");
  }
  SSL_set_bio(FSsl.get(), incoming, outgoing);  // the connection owns both from here
  SSL_set_connect_state(FSsl.get());
  SSL_set_app_data(FSsl.get(), this);
  // The session was verified for this very host and port when it was made.
  if (const TTlsContext::TSessionPtr kept = context.TakeSession(FKey)) SSL_set_session(FSsl.get(), kept.get());
  // An IPv6 literal may still carry the brackets of its address.
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  if (IsAddressLiteral(name)) {
    // No SNI for an address: the certificate must hold it among its IP addresses.
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl.get()), name.c_str());
  } else {
    // "example.org." names the same host; SNI and certificates carry no final dot.
    if (name.size() > 1 && name.back() == '.') name.pop_back();
    SSL_set_tlsext_host_name(FSsl.get(), name.c_str());
    SSL_set1_host(FSsl.get(), name.c_str());
  }
  ERR_clear_error();
}

void TTlsSession::Feed(const char* data, std::size_t len) {
  if (len == 0) return;
  if (FFirstBytes.size() < 5) FFirstBytes.append(data, std::min(len, 5 - FFirstBytes.size()));
  BIO_write(SSL_get_rbio(FSsl.get()), data, static_cast<int>(len));
}

TTlsSession::TStep TTlsSession::Handshake() {
  if (Failed()) return TStep::Failed;
  if (FEstablished) return TStep::Established;
  ERR_clear_error();
  const int result = SSL_do_handshake(FSsl.get());
  if (result == 1) {
    FEstablished = true;
    // A resumed TLS 1.2 session gets no new one: it stays kept for the next connection. A
    // TLS 1.3 ticket is used once; the server's next ones arrive after the handshake.
    if (Resumed() && SSL_version(FSsl.get()) < TLS1_3_VERSION && !FContext.HasSession(FKey)) {
      FContext.KeepSession(FKey, TTlsContext::TSessionPtr(SSL_get1_session(FSsl.get())));
    }
    return TStep::Established;
  }
  const int error = SSL_get_error(FSsl.get(), result);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    // A reply that is no TLS is told by its first bytes, whatever follows them.
    if (FFirstBytes.size() == 5 && !StartsLikeTls(FFirstBytes)) {
      FailHandshake();
      return TStep::Failed;
    }
    return TStep::Pending;
  }
  FailHandshake();
  return TStep::Failed;
}

void TTlsSession::FailHandshake() {
  FContext.ForgetSession(FKey);
  const long verify = SSL_get_verify_result(FSsl.get());
  if (!StartsLikeTls(FFirstBytes)) {
    FError = {FFirstBytes == "HTTP/" ? TTlsFailure::PlainHttp : TTlsFailure::NotTls, {}};
  } else if (verify != X509_V_OK) {
    FError = VerifyError(verify);
  } else {
    FError = {TTlsFailure::Protocol, LastReason("handshake failed")};
  }
  ERR_clear_error();
}

void TTlsSession::FailRecord() {
  FContext.ForgetSession(FKey);
  FError = {TTlsFailure::Protocol, LastReason("record failed")};
}

int TTlsSession::Read(char* buffer, int size) {
  if (Failed()) return -1;
  if (size <= 0) return 0;
  ERR_clear_error();
  std::size_t count = 0;
  if (SSL_read_ex(FSsl.get(), buffer, static_cast<std::size_t>(size), &count) == 1) return static_cast<int>(count);
  const int error = SSL_get_error(FSsl.get(), 0);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
  // The peer's close_notify ends the data; ours answers it, and the peer's close follows.
  if (error == SSL_ERROR_ZERO_RETURN) {
    Close();
    return 0;
  }
  FailRecord();
  return -1;
}

bool TTlsSession::Write(const char* data, std::size_t len) {
  if (Failed()) return false;
  if (len == 0) return true;
  ERR_clear_error();
  std::size_t written = 0;
  // The outgoing buffer grows as needed, so a write takes everything at once.
  if (SSL_write_ex(FSsl.get(), data, len, &written) == 1 && written == len) return true;
  FailRecord();
  return false;
}

std::string TTlsSession::TakeOutgoing() {
  BIO* const outgoing = SSL_get_wbio(FSsl.get());
  std::string bytes(BIO_ctrl_pending(outgoing), '\0');
  if (bytes.empty()) return bytes;
  const int n = BIO_read(outgoing, bytes.data(), static_cast<int>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(std::max(n, 0)));
  return bytes;
}

bool TTlsSession::Resumed() const { return SSL_session_reused(FSsl.get()) == 1; }

bool TTlsSession::PeerClosed() const { return (SSL_get_shutdown(FSsl.get()) & SSL_RECEIVED_SHUTDOWN) != 0; }

void TTlsSession::Close() {
  if (!FEstablished || Failed() || (SSL_get_shutdown(FSsl.get()) & SSL_SENT_SHUTDOWN) != 0) return;
  SSL_shutdown(FSsl.get());  // 0 or 1: either way the close_notify is queued
  ERR_clear_error();
}

void TTlsSession::TransportClosed() {
  if (FEstablished || Failed()) return;
  if (!StartsLikeTls(FFirstBytes)) {
    FailHandshake();
  } else {
    FError = {TTlsFailure::Closed, {}};
  }
}

} // namespace relaybox
