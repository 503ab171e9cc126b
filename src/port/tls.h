// A client TLS session over bytes the poller moves itself: the ciphertext it receives from the
// socket goes in, the ciphertext to send comes out, and plaintext passes both ways. The
// platform's TLS library speaks the protocol; the socket, its events and the POP3 framing stay
// the poller's, so the dialogue over TLS is the same dialogue as over a plain connection.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

enum class TlsStep {
  kDone,   // the handshake is complete
  kMore,   // waiting for more of the server's bytes (send what TakeOutput gives first)
  kFailed  // the handshake failed: ErrorCode and ErrorText say why
};

// What is wrong with the server's certificate, as the system's own verification sees it.
enum class TlsCertProblem {
  kNone,
  kUntrusted,   // the chain does not end at a root the system trusts
  kSelfSigned,  // the server's certificate is its own issuer
  kExpired,
  kNotYetValid,
  kWrongName,  // it names neither the server's DNS name nor its address
  kOther       // any other verification failure; `code` holds the library's number
};

// "AB:CD:...": the 32 bytes of a SHA-256 digest as 95 characters and a NUL.
constexpr size_t kFingerprintSize = 96;

struct TlsPeer {
  TlsCertProblem problem = TlsCertProblem::kOther;
  int code = 0;                             // the library's number for the problem
  char fingerprint[kFingerprintSize] = {};  // SHA-256 of the server's certificate
};

// Read results besides a byte count.
constexpr int kTlsReadClosed = -1;  // the server ended the session (close_notify)
constexpr int kTlsReadFailed = -2;  // the stream is broken: ErrorCode and ErrorText say why

class TlsPort {
 public:
  virtual ~TlsPort() = default;
  // A new client session for host, a DNS name or a dotted IPv4 address; TLS 1.2 at least. False
  // when none can be made.
  virtual bool Begin(const char* host) = 0;
  // Ciphertext received from the server; false when the session cannot take it.
  virtual bool Feed(const char* data, size_t length) = 0;
  // Takes the handshake as far as the bytes fed so far allow.
  virtual TlsStep Handshake() = 0;
  // After the handshake: the protocol and the cipher suite, as texts.
  virtual void Describe(char* protocol, size_t protocolSize, char* cipher, size_t cipherSize) = 0;
  // After the handshake: the verdict of the system's verification of the server's certificate
  // (chain to a trusted root, validity dates, the host name given to Begin) and its fingerprint.
  virtual void CheckPeer(TlsPeer* peer) = 0;
  // Encrypts plaintext for sending; false on failure.
  virtual bool Write(const char* data, size_t length) = 0;
  // Decrypted bytes, at most size: a count above 0, 0 while a record is incomplete,
  // kTlsReadClosed or kTlsReadFailed.
  virtual int Read(char* out, size_t size) = 0;
  // Ciphertext waiting to be sent: moves at most size bytes into out and returns their count.
  virtual size_t TakeOutput(char* out, size_t size) = 0;
  // Queues the close notification.
  virtual void Close() = 0;
  // Releases the session.
  virtual void End() = 0;
  // The library's code and words for the last failure.
  virtual int ErrorCode() = 0;
  virtual void ErrorText(char* out, size_t size) = 0;
};

}  // namespace kc
