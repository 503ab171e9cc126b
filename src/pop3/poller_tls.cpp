// The poller's secure connection: the port it connects to, the TLS handshake (from the first
// byte, or after STLS), the check of the server's certificate, and the ciphertext it moves
// between the socket and the TLS session. Once the session is up, the decrypted bytes go to the
// same framing and the same dialogue as on a plain connection.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "pop3/poller.h"

namespace kc {

namespace {

constexpr uint16_t kPop3Port = 110;
constexpr uint16_t kPop3sPort = 995;
constexpr int kMaxReadsAtClose = 64;

constexpr char kBoxCertificate[] =
    "サーバーの証明書を確認できませんでした。\r\n暗号化通信を中止しました。";
constexpr char kBoxHandshake[] = "サーバーとの暗号化通信を開始できませんでした。";
constexpr char kBoxPinUnreadable[] =
    "設定 CERTPIN を読み取れないため、サーバーの証明書を受け入れませんでした。\r\n"
    "暗号化通信を中止しました。";
constexpr char kBoxPinTooLong[] =
    "設定 CERTPIN が長すぎるため、サーバーの証明書を受け入れませんでした。\r\n"
    "暗号化通信を中止しました。";
constexpr char kBoxPinMalformed[] =
    "設定 CERTPIN が SHA-256 のフィンガープリントではないため、"
    "サーバーの証明書を受け入れませんでした。\r\n暗号化通信を中止しました。";

size_t TextLength(const char* field, size_t size) {
  const void* nul = std::memchr(field, '\0', size);
  return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - field) : size;
}

const char* CertProblemText(TlsCertProblem problem) {
  switch (problem) {
    case TlsCertProblem::kNone: return "accepted";
    case TlsCertProblem::kUntrusted: return "not trusted (issuer unknown)";
    case TlsCertProblem::kSelfSigned: return "self-signed, not trusted";
    case TlsCertProblem::kExpired: return "expired";
    case TlsCertProblem::kNotYetValid: return "not yet valid";
    case TlsCertProblem::kWrongName: return "wrong name, not issued for";
    case TlsCertProblem::kOther: return "invalid, error";
  }
  return "invalid, error";
}

// The box that says why a certificate was refused.
const char* CertificateBoxText(CheckFailure why) {
  switch (why) {
    case CheckFailure::kCertPinUnreadable: return kBoxPinUnreadable;
    case CheckFailure::kCertPinTooLong: return kBoxPinTooLong;
    case CheckFailure::kCertPinMalformed: return kBoxPinMalformed;
    default: return kBoxCertificate;
  }
}

// The hex digits of a fingerprint, upper case, without separators; false when it is not 64 hex
// digits (with or without colons, blanks and tabs between them).
bool NormaliseFingerprint(const char* text, size_t size, char out[65]) {
  size_t n = 0;
  for (size_t i = 0; i < size && text[i] != '\0'; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == ':' || c == ' ' || c == '\t') continue;
    if (!std::isxdigit(c) || n == 64) return false;
    out[n++] = static_cast<char>(std::toupper(c));
  }
  out[n] = '\0';
  return n == 64;
}

}  // namespace

uint16_t Poller::ServerPort() {
  // A value the settings hold but could not read: the trace says what was made of it.
  if (account_->sslFound.state == ValueFound::kUnreadable) {
    TraceFormat(
        "SSL value cannot be read as a REG_DWORD (type %lu, %lu bytes): using TLS from "
        "the first byte, as SSL 1\r\n",
        static_cast<unsigned long>(account_->sslFound.type),
        static_cast<unsigned long>(account_->sslFound.length));
  }
  if (account_->portFound.state == ValueFound::kUnreadable) {
    TraceFormat(
        "PORT value cannot be read as a REG_DWORD (type %lu, %lu bytes): using the "
        "service's port\r\n",
        static_cast<unsigned long>(account_->portFound.type),
        static_cast<unsigned long>(account_->portFound.length));
  }
  if (account_->port != 0) {
    if (account_->port > 0 && account_->port <= 0xFFFF) {
      TraceFormat("Using port %ld\r\n", static_cast<long>(account_->port));
      return ports_.winsock.Htons(static_cast<uint16_t>(account_->port));
    }
    TraceFormat("PORT %ld is not a port number, using the service's port\r\n",
                static_cast<long>(account_->port));
  }
  const bool implicitTls = UsesTls(*account_) && !UsesStartTls(*account_);
  tickStart_ = ports_.clock.TickCount();
  uint16_t port = 0;
  bool haveService = ports_.winsock.GetServiceByName(implicitTls ? "pop3s" : "pop3", "tcp", &port);
  elapsedMs_ = ports_.clock.TickCount() - tickStart_;
  TraceFormat("getservbyname() took %ld milliseconds to complete\r\n",
              static_cast<long>(elapsedMs_));
  if (!haveService) {
    port = ports_.winsock.Htons(implicitTls ? kPop3sPort : kPop3Port);
    Trace(implicitTls ? "getservbyent() failed. Using port 995\r\n"
                      : "getservbyent() failed. Using port 110\r\n");
  }
  return port;
}

void Poller::BeginTls(WindowRef window) {
  Trace("----- TLS HANDSHAKE -----\r\n");
  char server[kServerSize + 1];
  size_t length = TextLength(account_->server, kServerSize);
  std::memcpy(server, account_->server, length);
  server[length] = '\0';
  tlsOutputLength_ = 0;
  if (!ports_.tls.Begin(server)) {
    TraceFormat("TLS session could not be created: error %d\r\n", ports_.tls.ErrorCode());
    FailTls(window, kBoxHandshake, CheckFailure::kSecureConnectionFailed);
    return;
  }
  tlsBegun_ = true;
  tlsPhase_ = TlsPhase::kHandshake;
  TraceFormat("Starting TLS handshake with %s\r\n", server);
  // The first step writes the client's hello; the server answers it.
  TakeTlsReceived(window, nullptr, 0);
}

void Poller::OnTlsRead(WindowRef window) {
  const uint32_t id = checkId_;
  int n = ports_.winsock.Recv(serverSocket_, tlsInput_, sizeof tlsInput_);
  if (n == 0) {
    OnTlsClosed(window);
    return;
  }
  if (n < 0) {
    OnRecvError(window, n, id);
    return;
  }
  TakeTlsReceived(window, tlsInput_, n);
}

void Poller::OnTlsClosed(WindowRef window) {
  const uint32_t id = checkId_;
  // What the server sent before it closed is handled first.
  for (int i = 0; i < kMaxReadsAtClose && IsCurrent(id); ++i) {
    int n = ports_.winsock.Recv(serverSocket_, tlsInput_, sizeof tlsInput_);
    if (n <= 0) break;
    if (!TakeTlsReceived(window, tlsInput_, n)) return;
  }
  if (!IsCurrent(id)) return;
  if (tlsPhase_ == TlsPhase::kHandshake) {
    Trace("TLS handshake failed: the server closed the connection\r\n");
    FailTls(window, kBoxHandshake, CheckFailure::kSecureConnectionFailed);
    return;
  }
  Trace("Connection closed by the server\r\n");
  Fail(CheckFailure::kClosedByServer);
}

bool Poller::TakeTlsReceived(WindowRef window, const char* data, int n) {
  const uint32_t id = checkId_;
  TlsPort& tls = ports_.tls;
  if (n > 0 && !tls.Feed(data, static_cast<size_t>(n))) {
    TraceFormat("TLS error: %d\r\n", tls.ErrorCode());
    FailTls(window, kBoxHandshake, CheckFailure::kSecureConnectionFailed);
    return false;
  }
  if (tlsPhase_ == TlsPhase::kHandshake) {
    TlsStep step = tls.Handshake();
    FlushTls();
    if (step == TlsStep::kMore) return true;
    if (step == TlsStep::kFailed) {
      char words[160];
      tls.ErrorText(words, sizeof words);
      TraceFormat("TLS handshake failed: error %d (%s)\r\n", tls.ErrorCode(), words);
      FailTls(window, kBoxHandshake, CheckFailure::kSecureConnectionFailed);
      return false;
    }
    if (!OnHandshakeDone(window)) return false;
  }
  // The decrypted bytes: as many as the framing has room for at a time, as a receive gives them.
  while (IsCurrent(id) && tlsPhase_ == TlsPhase::kUp) {
    uint32_t room = kResponseBufferSize - framing_.responseLength;
    if (room == 0) room = kResponseBufferSize;  // the framing reports the overrun
    int got = tls.Read(receiveBuffer_, room);
    FlushTls();
    if (got == 0) break;
    if (got == kTlsReadClosed) {
      Trace("Connection closed by the server\r\n");
      Fail(CheckFailure::kClosedByServer);
      return false;
    }
    if (got < 0) {
      char words[160];
      tls.ErrorText(words, sizeof words);
      TraceFormat("TLS error: %d (%s)\r\n", tls.ErrorCode(), words);
      Fail(CheckFailure::kSecureConnectionFailed);
      return false;
    }
    if (!TakeReceived(window, receiveBuffer_, static_cast<size_t>(got))) return false;
  }
  return IsCurrent(id);
}

bool Poller::OnHandshakeDone(WindowRef window) {
  char protocol[32];
  char cipher[96];
  ports_.tls.Describe(protocol, sizeof protocol, cipher, sizeof cipher);
  TraceFormat("TLS handshake done: %s, %s\r\n", protocol, cipher);
  TlsPeer peer;
  ports_.tls.CheckPeer(&peer);
  peer.fingerprint[kFingerprintSize - 1] = '\0';
  CheckFailure refused = CertificateVerdict(peer);
  if (refused != CheckFailure::kNone) {
    FailTls(window, CertificateBoxText(refused), refused);
    return false;
  }
  tlsPhase_ = TlsPhase::kUp;
  if (UsesStartTls(*account_) && appState_ == STLS) {
    // The greeting came before STLS: the capabilities are asked afresh over TLS (what the
    // server said in the clear may have been altered on the way), then the login goes out.
    SendCapa();
  }
  return true;
}

CheckFailure Poller::CertificateVerdict(const TlsPeer& peer) {
  const ValueFound& pinFound = account_->certPinFound;
  const unsigned long pinType = pinFound.type;
  const unsigned long pinLength = pinFound.length;
  // A CERTPIN that is there but cannot be used refuses every certificate: the user meant to
  // trust one certificate only, so the system's trust must not take over.
  if (pinFound.state == ValueFound::kUnreadable) {
    TraceFormat(
        "TLS certificate refused: CERTPIN cannot be read as a REG_SZ (type %lu, "
        "%lu bytes); SHA-256 %s\r\n",
        pinType, pinLength, peer.fingerprint);
    return CheckFailure::kCertPinUnreadable;
  }
  if (pinFound.state == ValueFound::kTooLong) {
    TraceFormat(
        "TLS certificate refused: CERTPIN is too long for a SHA-256 fingerprint "
        "(%lu bytes); SHA-256 %s\r\n",
        pinLength, peer.fingerprint);
    return CheckFailure::kCertPinTooLong;
  }
  char pin[65];
  char seen[65];
  if (account_->certPin[0] != '\0') {
    // A pinned certificate is the one accepted, whoever issued it, and no other is.
    if (!NormaliseFingerprint(account_->certPin, kCertPinSize, pin)) {
      TraceFormat("TLS certificate refused: CERTPIN is not a SHA-256 fingerprint; SHA-256 %s\r\n",
                  peer.fingerprint);
      return CheckFailure::kCertPinMalformed;
    }
    if (NormaliseFingerprint(peer.fingerprint, kFingerprintSize, seen) &&
        std::strcmp(pin, seen) == 0) {
      Trace("TLS certificate accepted: it matches CERTPIN\r\n");
      return CheckFailure::kNone;
    }
    TraceFormat("TLS certificate refused: it does not match CERTPIN; SHA-256 %s\r\n",
                peer.fingerprint);
    return CheckFailure::kCertificateNotTrusted;
  }
  switch (peer.problem) {
    case TlsCertProblem::kNone: Trace("TLS certificate accepted\r\n"); return CheckFailure::kNone;
    case TlsCertProblem::kWrongName:
      TraceFormat("TLS certificate refused: %s %.*s; SHA-256 %s\r\n", CertProblemText(peer.problem),
                  static_cast<int>(TextLength(account_->server, kServerSize)), account_->server,
                  peer.fingerprint);
      return CheckFailure::kCertificateNotTrusted;
    case TlsCertProblem::kOther:
      TraceFormat("TLS certificate refused: %s %d; SHA-256 %s\r\n", CertProblemText(peer.problem),
                  peer.code, peer.fingerprint);
      return CheckFailure::kCertificateNotTrusted;
    default:
      TraceFormat("TLS certificate refused: %s; SHA-256 %s\r\n", CertProblemText(peer.problem),
                  peer.fingerprint);
      return CheckFailure::kCertificateNotTrusted;
  }
}

void Poller::FailTls(WindowRef window, const char* boxText, CheckFailure why) {
  // The check ends first, so the cycle goes on while the box is open.
  Fail(why);
  ShowTlsBox(window, boxText);
}

void Poller::ShowTlsBox(WindowRef window, const char* text) {
  // A failure that repeats at every check opens one box, not one more per check.
  if (tlsBoxOpen_) return;
  tlsBoxOpen_ = true;
  ports_.box.Show(window, text, kCaption);
  tlsBoxOpen_ = false;
}

void Poller::FlushTls() {
  if (!socketOpen_) return;
  for (;;) {
    if (tlsOutputLength_ == 0) {
      tlsOutputLength_ =
          static_cast<uint32_t>(ports_.tls.TakeOutput(tlsOutput_, sizeof tlsOutput_));
      if (tlsOutputLength_ == 0) return;
    }
    int sent = ports_.winsock.Send(serverSocket_, tlsOutput_, static_cast<int>(tlsOutputLength_));
    if (sent <= 0) return;  // would block: FD_WRITE comes back; other errors show on receive
    uint32_t done = static_cast<uint32_t>(sent) < tlsOutputLength_ ? static_cast<uint32_t>(sent)
                                                                   : tlsOutputLength_;
    std::memmove(tlsOutput_, tlsOutput_ + done, tlsOutputLength_ - done);
    tlsOutputLength_ -= done;
  }
}

void Poller::SendTls(const char* data, int length) {
  if (tlsPhase_ != TlsPhase::kUp || length <= 0) return;
  if (!ports_.tls.Write(data, static_cast<size_t>(length))) {
    TraceFormat("TLS error: %d\r\n", ports_.tls.ErrorCode());
    return;  // the dialogue waits; the silence timer ends it
  }
  FlushTls();
}

void Poller::EndTls() {
  if (tlsBegun_) ports_.tls.End();
  tlsBegun_ = false;
  tlsPhase_ = TlsPhase::kOff;
  clearTextEnded_ = false;
  tlsOutputLength_ = 0;
  std::memset(tlsOutput_, 0, sizeof tlsOutput_);
}

}  // namespace kc
