// TLS on Linux: OpenSSL 3 over memory buffers, so the poller keeps its non-blocking socket and
// its poll loop. The server's certificate is verified by OpenSSL itself against the system's
// default trust store (which honours SSL_CERT_FILE and SSL_CERT_DIR), with the host name or
// address set on the session; the poller reads the verdict once the handshake is done and sends
// nothing of the login before it has accepted it.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>

#include "posix/backends.h"

namespace kc::posix {

namespace {

TlsCertProblem ProblemOf(long verify) {
  switch (verify) {
    case X509_V_OK: return TlsCertProblem::kNone;
    case X509_V_ERR_CERT_HAS_EXPIRED: return TlsCertProblem::kExpired;
    case X509_V_ERR_CERT_NOT_YET_VALID: return TlsCertProblem::kNotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return TlsCertProblem::kWrongName;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN: return TlsCertProblem::kSelfSigned;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED: return TlsCertProblem::kUntrusted;
    default: return TlsCertProblem::kOther;
  }
}

class OpenSslTls final : public TlsPort {
 public:
  ~OpenSslTls() override {
    End();
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  }

  bool Begin(const char* host) override {
    End();
    ERR_clear_error();
    if (ctx_ == nullptr && !MakeContext()) return Fail();
    ssl_ = SSL_new(ctx_);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (ssl_ == nullptr || in == nullptr || out == nullptr) {
      BIO_free(in);
      BIO_free(out);
      return Fail();
    }
    SSL_set_bio(ssl_, in, out);  // the session owns both from here
    in_ = in;
    out_ = out;
    SSL_set_connect_state(ssl_);
    // The certificate must name the server as the user wrote it: an address entry for an
    // address, a DNS name otherwise (sent as the server name indication too).
    in_addr address{};
    bool isAddress = inet_pton(AF_INET, host, &address) == 1;
    bool named = isAddress
                     ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host) == 1
                     : SSL_set1_host(ssl_, host) == 1 && SSL_set_tlsext_host_name(ssl_, host) == 1;
    if (!named) return Fail();
    return true;
  }

  bool Feed(const char* data, size_t length) override {
    if (ssl_ == nullptr) return false;
    if (length == 0) return true;
    if (BIO_write(in_, data, static_cast<int>(length)) != static_cast<int>(length)) return Fail();
    return true;
  }

  TlsStep Handshake() override {
    if (ssl_ == nullptr) return TlsStep::kFailed;
    ERR_clear_error();
    int r = SSL_do_handshake(ssl_);
    if (r == 1) return TlsStep::kDone;
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return TlsStep::kMore;
    Fail(e);
    return TlsStep::kFailed;
  }

  void Describe(char* protocol, size_t protocolSize, char* cipher, size_t cipherSize) override {
    std::snprintf(protocol, protocolSize, "%s", ssl_ != nullptr ? SSL_get_version(ssl_) : "");
    const char* name = ssl_ != nullptr ? SSL_get_cipher_name(ssl_) : nullptr;
    std::snprintf(cipher, cipherSize, "%s", name != nullptr ? name : "");
  }

  void CheckPeer(TlsPeer* peer) override {
    *peer = TlsPeer{};
    X509* cert = ssl_ != nullptr ? SSL_get1_peer_certificate(ssl_) : nullptr;
    if (cert == nullptr) {
      peer->problem = TlsCertProblem::kOther;
      peer->code = -1;
      return;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &length) == 1 && length == 32) {
      for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(peer->fingerprint + 3 * i, 4, i + 1 < length ? "%02X:" : "%02X", digest[i]);
      }
    }
    X509_free(cert);
    long verify = SSL_get_verify_result(ssl_);
    peer->problem = ProblemOf(verify);
    peer->code = static_cast<int>(verify);
  }

  bool Write(const char* data, size_t length) override {
    if (ssl_ == nullptr) return false;
    ERR_clear_error();
    int r = SSL_write(ssl_, data, static_cast<int>(length));
    if (r == static_cast<int>(length)) return true;
    Fail(SSL_get_error(ssl_, r));
    return false;
  }

  int Read(char* out, size_t size) override {
    if (ssl_ == nullptr) return kTlsReadFailed;
    ERR_clear_error();
    int r = SSL_read(ssl_, out, static_cast<int>(size));
    if (r > 0) return r;
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return 0;
    if (e == SSL_ERROR_ZERO_RETURN) return kTlsReadClosed;
    Fail(e);
    return kTlsReadFailed;
  }

  size_t TakeOutput(char* out, size_t size) override {
    if (ssl_ == nullptr || BIO_ctrl_pending(out_) == 0) return 0;
    int n = BIO_read(out_, out, static_cast<int>(size));
    return n > 0 ? static_cast<size_t>(n) : 0;
  }

  void Close() override {
    if (ssl_ != nullptr) SSL_shutdown(ssl_);
  }

  void End() override {
    if (ssl_ != nullptr) SSL_free(ssl_);
    ssl_ = nullptr;
    in_ = out_ = nullptr;
  }

  int ErrorCode() override { return error_; }

  void ErrorText(char* out, size_t size) override { std::snprintf(out, size, "%s", text_); }

 private:
  bool MakeContext() {
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (ctx_ == nullptr) return false;
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    // The chain is verified during the handshake and its verdict kept for CheckPeer; the
    // poller refuses the session itself (or accepts a pinned certificate).
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_default_verify_paths(ctx_);
    return true;
  }

  // Keeps the first queued error (or the session's error kind) for ErrorCode and ErrorText.
  bool Fail(int sslError = 0) {
    unsigned long e = ERR_peek_error();
    if (e != 0) {
      error_ = ERR_GET_REASON(e);
      const char* reason = ERR_reason_error_string(e);
      std::snprintf(text_, sizeof text_, "%s", reason != nullptr ? reason : "unknown");
    } else {
      error_ = sslError;
      std::snprintf(text_, sizeof text_, "%s",
                    sslError == SSL_ERROR_SYSCALL ? "unexpected end of stream" : "TLS failure");
    }
    ERR_clear_error();
    return false;
  }

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
  int error_ = 0;
  char text_[128] = {};
};

}  // namespace

std::unique_ptr<TlsPort> MakeTls() { return std::make_unique<OpenSslTls>(); }

}  // namespace kc::posix
