#pragma once

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

namespace relaybox {

// A server context for 127.0.0.1 whose certificate (P-256, signed by itself, SAN IP:127.0.0.1,
// valid from an hour ago for a day) is made at start. SSL_CERT_FILE names the certificate, so
// that every client context made afterwards trusts it. Each context reads the file when it is
// made, so the file lives as long as this object: in memory (a memfd reached through
// /proc/self/fd), which leaves nothing behind even when the process aborts.
class TThrowAwayAuthority {
public:
  TThrowAwayAuthority() {
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), X509_free);
    if (!key || !certificate || !Make(certificate.get(), key.get())) Fail("no certificate");

    const std::unique_ptr<BIO, decltype(&BIO_free)> pem(BIO_new(BIO_s_mem()), BIO_free);
    char* bytes = nullptr;
    const long length = pem && PEM_write_bio_X509(pem.get(), certificate.get()) == 1 ? BIO_get_mem_data(pem.get(), &bytes) : 0;
    FFile = ::memfd_create("relaybox-fuzz-authority", MFD_CLOEXEC);
    if (length <= 0 || FFile < 0 || ::write(FFile, bytes, static_cast<std::size_t>(length)) != length) {
      Fail("cannot write the certificate");
    }
    ::setenv("SSL_CERT_FILE", ("/proc/self/fd/" + std::to_string(FFile)).c_str(), 1);

    FContext.reset(SSL_CTX_new(TLS_server_method()));
    if (!FContext || SSL_CTX_use_certificate(FContext.get(), certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(FContext.get(), key.get()) != 1) {
      Fail("no server context");
    }
    // Records may leave one by one, so that the script's send pieces stay small.
    SSL_CTX_set_mode(FContext.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  }
  ~TThrowAwayAuthority() {
    if (FFile >= 0) ::close(FFile);
  }
  TThrowAwayAuthority(const TThrowAwayAuthority&) = delete;
  TThrowAwayAuthority& operator=(const TThrowAwayAuthority&) = delete;

  SSL_CTX* Context() const { return FContext.get(); }

private:
  [[noreturn]] static void Fail(const char* what) {
    std::fprintf(stderr, "throw-away authority: %s\n", what);
    std::abort();
  }

  static bool Make(X509* certificate, EVP_PKEY* key) {
    X509_NAME* const name = X509_get_subject_name(certificate);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    const std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> names(
        X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1"), X509_EXTENSION_free);
    return X509_set_version(certificate, X509_VERSION_3) == 1 &&
           ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1) == 1 &&
           X509_gmtime_adj(X509_getm_notBefore(certificate), -3600) != nullptr &&
           X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600) != nullptr &&
           X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                      reinterpret_cast<const unsigned char*>("relaybox-fuzz"), -1, -1, 0) == 1 &&
           X509_set_issuer_name(certificate, name) == 1 && X509_set_pubkey(certificate, key) == 1 && names &&
           X509_add_ext(certificate, names.get(), -1) == 1 && X509_sign(certificate, key, EVP_sha256()) > 0;
  }

  struct TFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  };
  int FFile = -1;
  std::unique_ptr<SSL_CTX, TFree> FContext;
};

} // namespace relaybox
