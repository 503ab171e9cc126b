// The secure connection: the real controller and poller over the fake WinSock and the fake TLS
// library, TLS from the first byte and after STLS, with the server's bytes split byte by byte,
// several records in one receive, sends that block halfway, certificates refused for every
// reason, a pinned certificate, and servers that fail in the middle of the handshake.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/fake_winsock.h"
#include "text/ipv4.h"

namespace kc::test {
namespace {

using Commands = std::vector<std::string>;

const char kBoxCertificate[] =
    "サーバーの証明書を確認できませんでした。\r\n暗号化通信を中止しました。";
const char kBoxHandshake[] = "サーバーとの暗号化通信を開始できませんでした。";
const char kBoxPinUnreadable[] =
    "設定 CERTPIN を読み取れないため、サーバーの証明書を受け入れませんでした。\r\n"
    "暗号化通信を中止しました。";
const char kBoxPinTooLong[] =
    "設定 CERTPIN が長すぎるため、サーバーの証明書を受け入れませんでした。\r\n"
    "暗号化通信を中止しました。";
const char kBoxPinMalformed[] =
    "設定 CERTPIN が SHA-256 のフィンガープリントではないため、"
    "サーバーの証明書を受け入れませんでした。\r\n暗号化通信を中止しました。";

class Pop3Tls : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(h.trace.all.find(h.mailbox.password), std::string::npos);
    EXPECT_EQ(h.tls.sessions, 0) << "every session begun is ended";
  }
  void Secure(int32_t mode) {
    h.app->settings.ssl = mode;
    server.Serve([this](const std::string& c) { return h.mailbox.Reply(c); });
  }
  void ThreeMessages() {
    h.mailbox.headers = {HeadersFrom("Alice <alice@example.org>"), HeadersFrom("bob@example.org"),
                         HeadersFrom("Carol <carol@example.org>")};
  }
  Commands FullDialogue() const {
    return {"CAPA\r\n",    "USER bob\r\n", "PASS s3cret\r\n", "STAT\r\n",
            "TOP 1 0\r\n", "TOP 2 0\r\n",  "TOP 3 0\r\n",     "QUIT\r\n"};
  }
  // The check ended as failed, with nothing of the login sent, in the clear or inside TLS.
  void ExpectRefusedWithoutLogin() {
    EXPECT_EQ(h.checkDone, 1);
    EXPECT_EQ(h.app->status.serverError, 1);
    EXPECT_EQ(h.app->status.busy, 0);
    EXPECT_TRUE(h.winsock.openSockets.empty());
    EXPECT_FALSE(h.ServerWaitRunning());
    EXPECT_EQ(h.tls.written.find("USER"), std::string::npos);
    EXPECT_EQ(h.tls.written.find("PASS"), std::string::npos);
    for (const std::string& c : server.clearCommands) {
      EXPECT_NE(c.rfind("USER", 0), 0u);
      EXPECT_NE(c.rfind("PASS", 0), 0u);
    }
  }
  CheckHarness h;
  FakeTlsServer server{h.winsock, true};
};

struct Cut {
  const char* name;
  size_t splitEvery;  // server bytes per receive (0: all at once)
  size_t recordSize;  // plaintext bytes per record (0: one record per reply)
  size_t sendChunk;   // bytes the socket takes per send, then it blocks once (0: all)
};

class Pop3TlsCuts : public Pop3Tls, public ::testing::WithParamInterface<Cut> {};

TEST_P(Pop3TlsCuts, ImplicitTlsCompletesTheDialogue) {
  const Cut& cut = GetParam();
  h.winsock.splitEvery = cut.splitEvery;
  h.winsock.sendChunk = cut.sendChunk;
  h.winsock.blockAfterChunk = cut.sendChunk != 0;
  server.recordSize = cut.recordSize;
  ThreeMessages();
  Secure(kSslImplicit);
  h.RunCheck();

  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_EQ(h.app->status.mailCount, 3);
  EXPECT_STREQ(h.app->senders.slot[0], "alice@example.org");
  EXPECT_STREQ(h.app->senders.slot[2], "carol@example.org");
  EXPECT_EQ(server.secureCommands, FullDialogue());
  EXPECT_TRUE(server.clearCommands.empty());
  // The session is closed with its notification, then released.
  EXPECT_EQ(h.tls.calls, (Commands{"begin pop.example", "close", "end"}));
  EXPECT_EQ(h.winsock.Count("getservbyname pop3s tcp"), 1);
  EXPECT_EQ(h.tls.calls.front(), "begin pop.example");
  EXPECT_TRUE(h.winsock.openSockets.empty());
  EXPECT_FALSE(h.ServerWaitRunning());
  EXPECT_EQ(h.app->poller.framing().singleLineMode, 1);
  EXPECT_EQ(h.app->poller.framing().responseLength, 0u);
  // After the handshake the dialogue traces as on a plain connection.
  const std::string trace = h.TraceFrom("----- TLS HANDSHAKE");
  EXPECT_EQ(trace.rfind("----- TLS HANDSHAKE -----\r\n"
                        "Starting TLS handshake with pop.example\r\n",
                        0),
            0u);
  const char* inOrder[] = {"TLS handshake done: FAKE-TLS, FAKE-CIPHER\r\n",
                           "TLS certificate accepted\r\n",
                           "AppState = CONNECTING, sending CAPA\r\n",
                           "CAPA refused: commands sent one at a time\r\n",
                           "AppState = CAPA, sending USER\r\n",
                           "AppState = USER, sending PASS\r\n",
                           "AppState = PASS, sending STAT\r\n",
                           "3 messages",
                           "Sending TOP\r\n",
                           "Sending QUIT\r\n",
                           "Host QUIT OK\r\nClosing socket\r\n"};
  size_t at = 0;
  for (const char* line : inOrder) {
    size_t found = trace.find(line, at);
    ASSERT_NE(found, std::string::npos) << line;
    at = found;
  }
  if (cut.sendChunk != 0) {
    EXPECT_GT(h.winsock.CountPrefix("send blocked"), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Cuts, Pop3TlsCuts,
                         ::testing::Values(Cut{"whole", 0, 0, 0}, Cut{"byte_by_byte", 1, 0, 0},
                                           Cut{"several_records_per_receive", 0, 3, 0},
                                           Cut{"small_records_byte_by_byte", 1, 3, 0},
                                           Cut{"sends_block_halfway", 0, 0, 5},
                                           Cut{"everything_cut", 1, 2, 3}),
                         [](const ::testing::TestParamInfo<Cut>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(Pop3Tls, StartTlsUpgradesAfterTheGreetingAndLogsInInsideTls) {
  server.implicitTls = false;
  // Bytes after the reply to STLS came in the clear: they are dropped, not taken as replies.
  server.stlsReply = "+OK Begin TLS negotiation now.\r\n+OK injected\r\n";
  ThreeMessages();
  Secure(kSslStartTls);
  h.RunCheck();

  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_EQ(h.app->status.mailCount, 3);
  EXPECT_EQ(server.clearCommands, (Commands{"STLS\r\n"}));
  EXPECT_EQ(server.secureCommands, FullDialogue());
  EXPECT_EQ(h.winsock.Count("getservbyname pop3 tcp"), 1);
  const std::string trace = h.TraceFrom("AppState = CONNECTING");
  EXPECT_EQ(trace.rfind("AppState = CONNECTING, sending STLS\r\n"
                        "FD_READ notification received\r\nCalling recv()\r\n"
                        "AppState = STLS, starting TLS\r\n"
                        "----- TLS HANDSHAKE -----\r\n"
                        "Starting TLS handshake with pop.example\r\n"
                        "FD_READ notification received\r\nCalling recv()\r\n"
                        "TLS handshake done: FAKE-TLS, FAKE-CIPHER\r\n"
                        "TLS certificate accepted\r\n"
                        "AppState = STLS, sending CAPA\r\n"
                        "FD_READ notification received\r\nCalling recv()\r\n"
                        "CAPA refused: commands sent one at a time\r\n"
                        "Server said: -ERR Unknown command.\r\n"
                        "AppState = CAPA, sending USER\r\n"
                        "FD_READ notification received\r\nCalling recv()\r\n"
                        "AppState = USER, sending PASS\r\n",
                        0),
            0u)
      << trace;
}

TEST_F(Pop3Tls, StlsRefusedEndsTheCheckWithoutThePassword) {
  server.implicitTls = false;
  server.stlsReply = "-ERR TLS support isn't enabled.\r\n";
  Secure(kSslStartTls);
  h.RunCheck();

  ExpectRefusedWithoutLogin();
  EXPECT_EQ(server.clearCommands, (Commands{"STLS\r\n", "QUIT\r\n"}));
  EXPECT_NE(h.trace.all.find("Negative response: STLS command not supported\r\n"),
            std::string::npos);
  EXPECT_TRUE(h.tls.calls.empty());
  EXPECT_TRUE(h.box.shown.empty());
  ASSERT_FALSE(h.notice.outcomes.empty());
  EXPECT_EQ(h.notice.outcomes.back().first,
            "server refused STLS (no TLS), password not sent: -ERR TLS support isn't enabled.");
}

struct CertCase {
  const char* name;
  TlsCertProblem problem;
  int code;
  const char* pin;
  const char* trace;                                  // the refusal line without its fingerprint
  ValueFound pinFound = {ValueFound::kAbsent, 0, 0};  // how the load found CERTPIN
  const char* box = kBoxCertificate;
  const char* outcome = "certificate not trusted";  // the console's words
};

class Pop3TlsCertificates : public Pop3Tls, public ::testing::WithParamInterface<CertCase> {};

TEST_P(Pop3TlsCertificates, RefusedCertificateEndsTheCheckBeforeTheLogin) {
  const CertCase& c = GetParam();
  h.tls.peer.problem = c.problem;
  h.tls.peer.code = c.code;
  std::snprintf(h.app->settings.certPin, sizeof h.app->settings.certPin, "%s", c.pin);
  h.app->settings.certPinFound = c.pinFound;
  Secure(kSslImplicit);
  h.RunCheck();

  ExpectRefusedWithoutLogin();
  EXPECT_TRUE(server.secureCommands.empty());
  EXPECT_NE(h.trace.all.find(std::string(c.trace) + "; SHA-256 " + FakeTls::kFingerprint + "\r\n"),
            std::string::npos)
      << h.trace.all;
  ASSERT_EQ(h.box.shown.size(), 1u);
  EXPECT_EQ(h.box.shown[0].text, c.box);
  EXPECT_EQ(h.box.shown[0].caption, "KESTOVA");
  // The console says it in words.
  ASSERT_FALSE(h.notice.outcomes.empty());
  EXPECT_EQ(h.notice.outcomes.back(), std::make_pair(std::string(c.outcome), true));
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, Pop3TlsCertificates,
    ::testing::Values(
        CertCase{"untrusted", TlsCertProblem::kUntrusted, 20, "",
                 "TLS certificate refused: not trusted (issuer unknown)"},
        CertCase{"self_signed", TlsCertProblem::kSelfSigned, 18, "",
                 "TLS certificate refused: self-signed, not trusted"},
        CertCase{"expired", TlsCertProblem::kExpired, 10, "", "TLS certificate refused: expired"},
        CertCase{"not_yet_valid", TlsCertProblem::kNotYetValid, 9, "",
                 "TLS certificate refused: not yet valid"},
        CertCase{"wrong_name", TlsCertProblem::kWrongName, 62, "",
                 "TLS certificate refused: wrong name, not issued for pop.example"},
        CertCase{"other", TlsCertProblem::kOther, 7, "",
                 "TLS certificate refused: invalid, error 7"},
        // A pin accepts its one certificate and refuses every other, a trusted one included.
        CertCase{"trusted_but_pinned_elsewhere", TlsCertProblem::kNone, 0,
                 "00:9F:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:01:23:45:67:89:AB:CD:EF:10:"
                 "32:54:76:98:BA",
                 "TLS certificate refused: it does not match CERTPIN"},
        // A CERTPIN that is there but cannot be used refuses every certificate, a trusted
        // one included, and says why.
        CertCase{"pin_not_a_fingerprint",
                 TlsCertProblem::kSelfSigned,
                 18,
                 "3A:9F",
                 "TLS certificate refused: CERTPIN is not a SHA-256 fingerprint",
                 {ValueFound::kRead, kRegSz, 128},
                 kBoxPinMalformed,
                 "certificate refused: the CERTPIN setting is not a SHA-256 fingerprint"},
        CertCase{"pin_of_blanks_trusted",
                 TlsCertProblem::kNone,
                 0,
                 "     ",
                 "TLS certificate refused: CERTPIN is not a SHA-256 fingerprint",
                 {ValueFound::kRead, kRegSz, 300},
                 kBoxPinMalformed,
                 "certificate refused: the CERTPIN setting is not a SHA-256 fingerprint"},
        CertCase{"pin_unreadable_trusted",
                 TlsCertProblem::kNone,
                 0,
                 "",
                 "TLS certificate refused: CERTPIN cannot be read as a REG_SZ (type 3, 95 bytes)",
                 {ValueFound::kUnreadable, kRegBinary, 95},
                 kBoxPinUnreadable,
                 "certificate refused: the CERTPIN setting cannot be read"},
        CertCase{"pin_too_long_trusted",
                 TlsCertProblem::kNone,
                 0,
                 "",
                 "TLS certificate refused: CERTPIN is too long for a SHA-256 fingerprint "
                 "(2000 bytes)",
                 {ValueFound::kTooLong, kRegSz, 2000},
                 kBoxPinTooLong,
                 "certificate refused: the CERTPIN setting is too long"}),
    [](const ::testing::TestParamInfo<CertCase>& info) { return std::string(info.param.name); });

TEST_F(Pop3Tls, PinnedSelfSignedCertificateIsAcceptedWrittenEitherWay) {
  for (const char* pin : {FakeTls::kFingerprint,
                          "3a9f00112233445566778899aabbccddeeff0123456789abcdef1032547698ba"}) {
    SCOPED_TRACE(pin);
    CheckHarness fresh;
    FakeTlsServer tlsServer(fresh.winsock, true);
    fresh.tls.peer.problem = TlsCertProblem::kSelfSigned;
    fresh.app->settings.ssl = kSslImplicit;
    std::snprintf(fresh.app->settings.certPin, sizeof fresh.app->settings.certPin, "%s", pin);
    tlsServer.Serve([&fresh](const std::string& c) { return fresh.mailbox.Reply(c); });
    fresh.RunCheck();
    EXPECT_EQ(fresh.app->status.serverError, 0);
    EXPECT_EQ(tlsServer.secureCommands.size(), 5u);  // CAPA USER PASS STAT QUIT
    EXPECT_NE(fresh.trace.all.find("TLS certificate accepted: it matches CERTPIN\r\n"),
              std::string::npos);
  }
}

// An SSL value that is there but not a DWORD, loaded through the store: the connection is
// secured from the first byte, on the TLS port, and the trace says why.
TEST_F(Pop3Tls, UnreadableSslValueConnectsWithTlsFromTheFirstByte) {
  const struct {
    const char* what;
    uint32_t type;
    std::vector<uint8_t> bytes;
    const char* trace;
  } cases[] = {
      {"REG_QWORD 1", 11, {1, 0, 0, 0, 0, 0, 0, 0}, "(type 11, 8 bytes)"},
      {"the string 1", kRegSz, {'1', 0}, "(type 1, 2 bytes)"},
      {"5 bytes of REG_BINARY", kRegBinary, {1, 0, 0, 0, 0}, "(type 3, 5 bytes)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CheckHarness fresh;
    FakeTlsServer tlsServer(fresh.winsock, true);
    SaveSettings(fresh.app->settings, fresh.registry);
    fresh.registry.values["SSL"] = {c.type, c.bytes};
    LoadSettings(fresh.app->settings, fresh.registry);
    fresh.mailbox.headers = {HeadersFrom("Alice <alice@example.org>")};
    tlsServer.Serve([&fresh](const std::string& cmd) { return fresh.mailbox.Reply(cmd); });
    fresh.RunCheck();

    EXPECT_EQ(fresh.app->status.serverError, 0);
    EXPECT_EQ(fresh.app->status.mailCount, 1);
    EXPECT_TRUE(tlsServer.clearCommands.empty());
    EXPECT_EQ(tlsServer.secureCommands.size(), 6u);  // CAPA USER PASS STAT TOP QUIT
    EXPECT_EQ(fresh.winsock.Count("getservbyname pop3s tcp"), 1);
    EXPECT_NE(fresh.trace.all.find(std::string("SSL value cannot be read as a REG_DWORD ") +
                                   c.trace + ": using TLS from the first byte, as SSL 1\r\n"),
              std::string::npos)
        << fresh.trace.all;
    EXPECT_EQ(fresh.trace.all.find(fresh.mailbox.password), std::string::npos);
  }
}

// An absent SSL is the plain connection of old, and no word about it is traced.
TEST_F(Pop3Tls, AbsentSslValueConnectsInTheClearWithoutAWord) {
  SaveSettings(h.app->settings, h.registry);
  LoadSettings(h.app->settings, h.registry);
  ASSERT_EQ(h.registry.values.count("SSL"), 0u);
  h.RunCheck();
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_TRUE(h.tls.calls.empty());
  EXPECT_EQ(h.trace.all.find("SSL value"), std::string::npos);
}

TEST_F(Pop3Tls, RepeatedRefusalsNeverStackBoxes) {
  h.tls.peer.problem = TlsCertProblem::kUntrusted;
  Secure(kSslImplicit);
  // While the first box is open, the next checks run and fail too, and open no box.
  int nested = 0;
  h.box.duringShow = [&] {
    for (int i = 0; i < 2; ++i) {
      ++nested;
      h.RunCheck();
    }
  };
  h.RunCheck();
  EXPECT_EQ(nested, 2);
  EXPECT_EQ(h.checkDone, 3);
  EXPECT_EQ(h.box.shown.size(), 1u);
  // Once it is closed, the next refusal says so again.
  h.box.duringShow = nullptr;
  h.RunCheck();
  EXPECT_EQ(h.checkDone, 4);
  EXPECT_EQ(h.box.shown.size(), 2u);
  EXPECT_TRUE(server.secureCommands.empty());
}

// A pin without TLS: the user expects a secured connection, so the check is refused before
// anything is sent (not even a connection is made), with words in the trace, the console and
// one box that repeated checks do not stack.
TEST_F(Pop3Tls, PinWithoutTlsRefusesTheCheckBeforeTheLogin) {
  const char kBoxPinWithoutTls[] =
      "設定 CERTPIN がありますが、SSL が 0 (暗号化なし) です。\r\n"
      "パスワードを暗号化せずに送らないよう、ログインを中止しました。";
  const struct {
    const char* name;
    const char* pin;
    ValueFound pinFound;
  } cases[] = {
      {"pin", FakeTls::kFingerprint, {ValueFound::kRead, 1, 96}},
      {"unreadable pin", "", {ValueFound::kUnreadable, 4, 4}},
      {"too long pin", "", {ValueFound::kTooLong, 1, 400}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CheckHarness fresh;
    FakeTlsServer plain{fresh.winsock, false};
    plain.Serve([&fresh](const std::string& cmd) { return fresh.mailbox.Reply(cmd); });
    std::snprintf(fresh.app->settings.certPin, sizeof fresh.app->settings.certPin, "%s", c.pin);
    fresh.app->settings.certPinFound = c.pinFound;
    fresh.app->settings.ssl = kSslNone;
    int nested = 0;
    fresh.box.duringShow = [&] {
      ++nested;
      fresh.RunCheck();
    };
    fresh.RunCheck();
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(fresh.checkDone, 2);
    EXPECT_EQ(fresh.app->status.serverError, 1);
    EXPECT_EQ(fresh.app->status.busy, 0);
    EXPECT_TRUE(fresh.winsock.sent.empty());
    EXPECT_TRUE(plain.clearCommands.empty());
    EXPECT_TRUE(fresh.tls.calls.empty());
    ASSERT_EQ(fresh.box.shown.size(), 1u);
    EXPECT_EQ(fresh.box.shown[0].text, kBoxPinWithoutTls);
    EXPECT_NE(fresh.trace.all.find(
                  "CERTPIN is set but SSL is 0 (no TLS): login refused, password not sent\r\n"),
              std::string::npos);
    EXPECT_EQ(fresh.trace.all.find("FIND HOST"), std::string::npos);
    ASSERT_FALSE(fresh.notice.outcomes.empty());
    EXPECT_EQ(fresh.notice.outcomes.back(),
              std::make_pair(std::string("login refused: CERTPIN is set but SSL is 0 (no TLS), "
                                         "password not sent"),
                             true));
  }
}

struct HandshakeFault {
  const char* name;
  std::string reply;  // the server's answer to the client's hello
  bool close;         // the server closes after it
  const char* trace;
};

class Pop3TlsHandshakeFaults : public Pop3Tls,
                               public ::testing::WithParamInterface<HandshakeFault> {};

TEST_P(Pop3TlsHandshakeFaults, EndTheCheckAndTheNextCheckRuns) {
  const HandshakeFault& f = GetParam();
  Secure(kSslImplicit);
  // The fault server answers the hello once, then closes if it is to.
  h.winsock.server = [this, f](const std::string&) {
    if (f.close) h.winsock.closeAfterReply = true;
    return f.reply;
  };
  h.RunCheck();
  if (f.reply.empty() && !f.close) {
    // Silent in the middle of the handshake: the server's time limit ends the check.
    EXPECT_EQ(h.checkDone, 0);
    EXPECT_TRUE(h.ServerWaitRunning());
    h.ServerWaitTick();
  }
  ExpectRefusedWithoutLogin();
  EXPECT_NE(h.trace.all.find(f.trace), std::string::npos) << h.trace.all;

  // The next check runs and completes against a sound server.
  server.handshakeReply = FakeTlsRecord('H', "welcome");
  Secure(kSslImplicit);
  h.RunCheck();
  EXPECT_EQ(h.checkDone, 2);
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_EQ(server.secureCommands.size(), 5u);  // CAPA USER PASS STAT QUIT
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Pop3TlsHandshakeFaults,
    ::testing::Values(
        HandshakeFault{"plain_text_server", "+OK POP3 ready\r\n", false,
                       "TLS handshake failed: error 167772427 (not a TLS record)\r\n"},
        HandshakeFault{"garbage_then_close", "\x15\x03\x03\x00\x02\x02\x28", true,
                       "TLS handshake failed: error 167772427 (not a TLS record)\r\n"},
        HandshakeFault{"close_mid_record", std::string("H\x00\x07wel", 6), true,
                       "TLS handshake failed: the server closed the connection\r\n"},
        HandshakeFault{"close_at_once", "", true,
                       "TLS handshake failed: the server closed the connection\r\n"},
        HandshakeFault{"silent", "", false, "Server timed out\r\n"}),
    [](const ::testing::TestParamInfo<HandshakeFault>& info) {
      return std::string(info.param.name);
    });

TEST_F(Pop3Tls, CloseInTheMiddleOfARecordEndsTheCheck) {
  Secure(kSslImplicit);
  h.mailbox.overrides = {{"STAT\r\n", ""}};  // the test sends the reply itself
  h.RunCheck();
  ASSERT_EQ(server.secureCommands.back(), "STAT\r\n");
  const std::string record = FakeTlsData("+OK 3 960\r\n", 0);
  h.winsock.Deliver(record.substr(0, 6));
  h.winsock.PeerClose();
  h.Pump();

  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.serverError, 1);
  EXPECT_EQ(h.app->status.mailCount, 0);
  EXPECT_NE(h.trace.all.find("Connection closed by the server\r\n"), std::string::npos);
  EXPECT_TRUE(h.winsock.openSockets.empty());
}

TEST_F(Pop3Tls, NoTlsSessionMeansNoLogin) {
  h.tls.beginFails = true;
  Secure(kSslImplicit);
  h.RunCheck();
  ExpectRefusedWithoutLogin();
  EXPECT_NE(h.trace.all.find("TLS session could not be created: error 12\r\n"), std::string::npos);
  ASSERT_EQ(h.box.shown.size(), 1u);
  EXPECT_EQ(h.box.shown[0].text, kBoxHandshake);
  ASSERT_FALSE(h.notice.outcomes.empty());
  EXPECT_EQ(h.notice.outcomes.back(),
            std::make_pair(std::string("secure connection failed"), true));
}

struct PortCase {
  const char* name;
  int32_t ssl;
  int32_t port;
  bool serviceKnown;
  uint16_t expected;
  const char* trace;
};

class Pop3TlsPorts : public Pop3Tls, public ::testing::WithParamInterface<PortCase> {};

TEST_P(Pop3TlsPorts, PortFollowsTheSettings) {
  const PortCase& c = GetParam();
  h.app->settings.ssl = c.ssl;
  h.app->settings.port = c.port;
  h.winsock.servicePort = c.ssl == kSslImplicit ? 9950 : 1100;
  if (!c.serviceKnown) h.winsock.failing.insert("service");
  h.winsock.autoConnect = false;
  h.RunCheck();
  EXPECT_EQ(h.winsock.connectedTo.portNetworkOrder, h.winsock.Htons(c.expected));
  EXPECT_NE(h.trace.all.find(c.trace), std::string::npos) << h.trace.all;
}

INSTANTIATE_TEST_SUITE_P(
    Ports, Pop3TlsPorts,
    ::testing::Values(PortCase{"plain_service", 0, 0, true, 1100, "getservbyname() took"},
                      PortCase{"plain_fallback", 0, 0, false, 110, "Using port 110\r\n"},
                      PortCase{"tls_service", 1, 0, true, 9950, "getservbyname() took"},
                      PortCase{"tls_fallback", 1, 0, false, 995, "Using port 995\r\n"},
                      PortCase{"starttls_fallback", 2, 0, false, 110, "Using port 110\r\n"},
                      PortCase{"port_set", 1, 2995, true, 2995, "Using port 2995\r\n"},
                      PortCase{"port_out_of_range", 0, 70000, false, 110,
                               "PORT 70000 is not a port number, using the service's port\r\n"}),
    [](const ::testing::TestParamInfo<PortCase>& info) { return std::string(info.param.name); });

// The Windows program matches a server given as an IPv4 address against the certificate's IP
// address entries itself; it must read the address as the Linux program (inet_pton, then
// OpenSSL) does, or the two would accept different certificates.
TEST(CertificateAddress, ReadsTheServerFieldAsInetPtonDoes) {
  const struct {
    const char* text;
    bool address;
    uint8_t bytes[4];
  } cases[] = {
      {"127.0.0.1", true, {127, 0, 0, 1}},
      {"0.0.0.0", true, {0, 0, 0, 0}},
      {"255.255.255.255", true, {255, 255, 255, 255}},
      {"192.168.10.200", true, {192, 168, 10, 200}},
      {"256.0.0.1", false, {}},
      {"127.0.0.01", false, {}},  // a leading zero: octal to some readers
      {"127.000.0.1", false, {}},
      {"127.0.0", false, {}},
      {"127.0.0.1.5", false, {}},
      {"127.0.0.1 ", false, {}},
      {" 127.0.0.1", false, {}},
      {"127..0.1", false, {}},
      {"127.0.0.", false, {}},
      {"1234.0.0.1", false, {}},
      {"0x7f.0.0.1", false, {}},
      {"2130706433", false, {}},
      {"::1", false, {}},
      {"pop.example.com", false, {}},
      {"1.2.3.4.example", false, {}},
      {"", false, {}},
  };
  for (const auto& c : cases) {
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(ParseIpv4(c.text, out), c.address) << c.text;
    uint8_t system[4];
    EXPECT_EQ(inet_pton(AF_INET, c.text, system) == 1, c.address) << c.text;
    if (c.address) {
      EXPECT_EQ(std::memcmp(out, c.bytes, 4), 0) << c.text;
    } else {
      EXPECT_EQ(out[0], 9) << c.text << ": left unchanged";
    }
  }
}

TEST(CertificateAddress, AnEntryNamesTheAddressByItsRawBytesAlone) {
  const uint8_t address[4] = {127, 0, 0, 1};
  const uint8_t same[4] = {127, 0, 0, 1};
  const uint8_t other[4] = {127, 0, 0, 2};
  // ::ffff:127.0.0.1, the IPv4-mapped form: OpenSSL does not take it for the IPv4 address.
  const uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
  const uint8_t longer[5] = {127, 0, 0, 1, 0};
  EXPECT_TRUE(CertIpEntryNames(address, same, sizeof same));
  EXPECT_FALSE(CertIpEntryNames(address, other, sizeof other));
  EXPECT_FALSE(CertIpEntryNames(address, mapped, sizeof mapped));
  EXPECT_FALSE(CertIpEntryNames(address, mapped + 12, 3));
  EXPECT_FALSE(CertIpEntryNames(address, longer, sizeof longer));
  EXPECT_FALSE(CertIpEntryNames(address, nullptr, 0));
}

}  // namespace
}  // namespace kc::test
