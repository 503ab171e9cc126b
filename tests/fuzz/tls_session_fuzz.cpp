// The secure connection's plaintext into one whole check: the real controller and poller over
// the fake WinSock and the fake TLS library, the input deciding what the server says in the
// clear before STLS and what the TLS layer hands the poller once the session is up (the reply
// to CAPA, then the login, STAT and a pipelined batch of TOP replies and the reply to QUIT, in
// records and receives cut anywhere). Every run must end its check exactly once, never let the
// login out in the clear or before the certificate was accepted, send inside TLS only the
// dialogue in its order, and leave the cycle idle for a healthy check over TLS right after it.
//
// Input: a first byte of mode, then the server's bytes with two bytes of control:
//   mode      bit 0: STLS (else TLS from the first byte); bit 1: the certificate is refused;
//             bit 2: the certificate is checked against a CERTPIN (the fake's own, unless
//             bit 1 asks for another)
//   0xFF      ends a receive: in the clear, the bytes gathered since the last end; once TLS
//             has begun, those bytes as one data record. The window's messages are dispatched.
//   0xFE X    X = 0xFE or 0xFF: that byte as data. Otherwise an event:
//             'h' the server's answer to the hello (the handshake is done; TLS from the first
//                 byte gets it at once, before any input)
//             'H' an answer to the hello that is no handshake record
//             'm' the gathered record waits unannounced: the next receive holds both
//             'n' the server's close notification   'c' the server closes the connection
//             'b' the gathered record, byte by byte, one receive each
//             't' a minute of silence: the server-wait timer ticks   'W' FD_WRITE
// The end of the input delivers what is left. A check still running then sees the server close,
// and if even that does not end it, a minute of silence.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/dialogue_check.h"
#include "fuzz/fuzz_check.h"
#include "support/fake_winsock.h"

namespace {

using kc::test::CheckHarness;
using kc::test::FakeTls;
using kc::test::FakeTlsRecord;

constexpr uint8_t kEndReceive = 0xFF;
constexpr uint8_t kControl = 0xFE;
constexpr uint8_t kModeStartTls = 1;
constexpr uint8_t kModeRefused = 2;
constexpr uint8_t kModePinned = 4;

// The command lines of a plaintext stream.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    lines.push_back(text.substr(at, end + 2 - at));
  }
  FUZZ_CHECK(at == text.size());  // every command goes out whole
  return lines;
}

class SecureSession {
 public:
  explicit SecureSession(uint8_t mode) : mode_(mode) {
    h.winsock.server = nullptr;  // the input is the server
    h.winsock.autoConnect = false;
    h.winsock.closeAfterQuit = false;
    h.app->settings.ssl = (mode & kModeStartTls) != 0 ? kc::kSslStartTls : kc::kSslImplicit;
    if ((mode & kModeRefused) != 0) h.tls.peer.problem = kc::TlsCertProblem::kUntrusted;
    if ((mode & kModePinned) != 0) {
      // The fake's own fingerprint, or (refused) another certificate's.
      std::snprintf(
          h.app->settings.certPin, sizeof h.app->settings.certPin, "%s",
          (mode & kModeRefused) != 0 ? std::string(64, 'A').c_str() : FakeTls::kFingerprint);
      h.tls.peer.problem = kc::TlsCertProblem::kUntrusted;  // the pin decides, not the chain
    }
  }

  bool refused() const { return (mode_ & kModeRefused) != 0; }

  void Start() {
    h.window.Post(CheckHarness::kMainWindow, kc::SM_CHECK, 0, 0);
    Pump();
    h.winsock.PostEvent(kc::kFdConnect);
    h.winsock.PostEvent(kc::kFdWrite);
    Pump();
    if ((mode_ & kModeStartTls) == 0) Send(FakeTlsRecord('H', "welcome"));
  }

  void Run(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      uint8_t b = data[i];
      if (b == kEndReceive) {
        Deliver();
        continue;
      }
      if (b != kControl) {
        gathered_.push_back(static_cast<char>(b));
        continue;
      }
      if (++i == size) break;
      uint8_t x = data[i];
      if (x == kControl || x == kEndReceive) {
        gathered_.push_back(static_cast<char>(x));
        continue;
      }
      Event(static_cast<char>(x));
    }
    Deliver();
  }

  void Finish() {
    if (h.app->poller.checkRunning()) {
      h.winsock.PeerClose();
      Pump();
    }
    if (h.app->poller.checkRunning()) h.ServerWaitTick();
    CheckInvariants();
    FUZZ_CHECK(!h.app->poller.checkRunning());
    FUZZ_CHECK(h.checkDone == 1);
    FUZZ_CHECK(h.app->status.busy == 0);
    FUZZ_CHECK(h.app->status.propertiesEnabled == 1);
    FUZZ_CHECK(h.winsock.Count("WSACleanup") == 1);
    FUZZ_CHECK(h.winsock.openSockets.empty());
    FUZZ_CHECK(!h.ServerWaitRunning());
    FUZZ_CHECK(h.tls.sessions == 0);
    FUZZ_CHECK(h.app->poller.framing().responseLength == 0);
    FUZZ_CHECK(h.app->poller.framing().singleLineMode == 1);
    std::vector<std::string> inside = Lines(h.tls.written);
    if (refused()) FUZZ_CHECK(inside.empty());  // not even CAPA before the verdict
    CheckDialogue(inside, h.app->status.mailCount, true);
    if (h.app->status.serverError == 0) {
      // A check that ended well went the whole way, inside TLS.
      int32_t count = h.app->status.mailCount;
      size_t tops = static_cast<size_t>(count < kc::kSenderSlots ? count : kc::kSenderSlots);
      FUZZ_CHECK(inside.size() == 5 + tops);
      FUZZ_CHECK(inside.back() == "QUIT\r\n");
    }
  }

  // The next check, against a healthy server over TLS that pipelines, works as if nothing had
  // happened before.
  void CheckHealthyNext() {
    h.tls.peer = FakeTls::TrustedPeer();
    h.tls.written.clear();
    h.app->settings.certPin[0] = '\0';
    h.mailbox.headers = {kc::test::HeadersFrom("Alice <alice@example.org>"),
                         kc::test::HeadersFrom("bob@example.org")};
    h.mailbox.capabilities = "USER\r\nPIPELINING\r\n";
    kc::test::FakeTlsServer server(h.winsock, (mode_ & kModeStartTls) == 0);
    server.Serve([this](const std::string& c) { return h.mailbox.Reply(c); });
    h.winsock.autoConnect = true;
    h.winsock.closeAfterQuit = true;
    h.RunCheck();
    FUZZ_CHECK(h.checkDone == 2);
    FUZZ_CHECK(!h.app->poller.checkRunning());
    FUZZ_CHECK(h.app->status.serverError == 0);
    FUZZ_CHECK(h.app->status.mailCount == 2);
    FUZZ_CHECK(std::strcmp(h.app->senders.slot[0], "alice@example.org") == 0);
    FUZZ_CHECK(std::strcmp(h.app->senders.slot[1], "bob@example.org") == 0);
    FUZZ_CHECK(server.secureCommands.size() == 7);
    FUZZ_CHECK(h.winsock.openSockets.empty());
    FUZZ_CHECK(h.tls.sessions == 0);
    h.winsock.server = nullptr;  // the server ends here
  }

 private:
  // Checked after every dispatch.
  void CheckInvariants() {
    const kc::FramingState& f = h.app->poller.framing();
    FUZZ_CHECK(f.responseLength <= kc::kResponseBufferSize);
    FUZZ_CHECK(f.singleLineMode == 0 || f.singleLineMode == 1);
    FUZZ_CHECK(h.checkDone <= 1);
    // Nothing of the login in the clear: before the hello, the poller said STLS, and QUIT
    // after a refusal, at most.
    bool hello = false;
    for (const std::string& s : h.winsock.sent) {
      if (!s.empty() && s[0] == 'H') hello = true;
      if (!hello) FUZZ_CHECK(s == "STLS\r\n" || s == "QUIT\r\n");
    }
    FUZZ_CHECK(h.winsock.sent.empty() || (h.app->settings.ssl == kc::kSslStartTls) ||
               h.winsock.sent[0].rfind('H', 0) == 0);
    // Nothing of the login inside TLS before the certificate was accepted.
    if (refused()) FUZZ_CHECK(h.tls.written.empty());
    // The server's words reach the trace and the user inert, without the password.
    const char* said = h.app->poller.lastReply();
    const size_t saidLength = strnlen(said, kc::kLastReplySize);
    FUZZ_CHECK(saidLength < kc::kLastReplySize);
    for (size_t i = 0; i < saidLength; ++i) {
      FUZZ_CHECK(static_cast<unsigned char>(said[i]) >= 0x20 && said[i] != 0x7F);
    }
    for (size_t i = 0; i + 4 <= saidLength; ++i) {
      FUZZ_CHECK(h.mailbox.password.find(std::string(said + i, 4)) == std::string::npos);
    }
    // (A From: value may name anything, the password too: the trace shows what the server
    // said, but never a byte that acts on a terminal.)
    FUZZ_CHECK(h.trace.all.find('\x1b') == std::string::npos);
  }

  void Pump() {
    h.Pump();
    CheckInvariants();
  }

  bool TlsBegun() const {
    for (const std::string& s : h.winsock.sent) {
      if (!s.empty() && s[0] == 'H') return true;
    }
    return false;
  }

  // Gathered bytes as the wire carries them: a data record once TLS has begun.
  std::string Wire() {
    std::string bytes = TlsBegun() ? kc::test::FakeTlsData(gathered_, 0) : gathered_;
    gathered_.clear();
    return bytes;
  }

  void Send(const std::string& bytes) {
    h.winsock.Deliver(bytes);
    Pump();
  }

  void Deliver() {
    if (gathered_.empty()) return;
    Send(Wire());
  }

  void Event(char x) {
    switch (x) {
      case 'h':
        Deliver();
        Send(FakeTlsRecord('H', "welcome"));
        break;
      case 'H':
        Deliver();
        Send(FakeTlsRecord('H', "go away"));
        break;
      case 'm':
        if (!gathered_.empty()) h.winsock.Queue(Wire());
        break;
      case 'n':
        Deliver();
        Send(FakeTlsRecord('C', ""));
        break;
      case 'c':
        Deliver();
        h.winsock.PeerClose();
        Pump();
        break;
      case 'b': {
        std::string bytes = Wire();
        for (char c : bytes) Send(std::string(1, c));
        break;
      }
      case 't':
        Deliver();
        h.ServerWaitTick();
        CheckInvariants();
        break;
      case 'W':
        h.winsock.PostEvent(kc::kFdWrite);
        Pump();
        break;
      default: break;
    }
  }

  uint8_t mode_;
  std::string gathered_;

 public:
  CheckHarness h;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  SecureSession session(data[0]);
  session.Start();
  session.Run(data + 1, size - 1);
  session.Finish();
  session.CheckHealthyNext();
  return 0;
}
