// The dialogue over TLS with a server that pipelines: CAPA asked after the greeting (and after
// STLS), all the TOP commands and QUIT sent at once when PIPELINING is listed, the replies read
// in order whether they arrive merged or split, sends that block halfway, a negative reply and a
// close in the middle of the batch; one command at a time without PIPELINING or without CAPA.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_winsock.h"

namespace kc::test {
namespace {

using Commands = std::vector<std::string>;

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class Pop3Pipelining : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(h.tls.sessions, 0); }
  void Mailbox(size_t count) {
    h.mailbox.headers.clear();
    for (size_t i = 1; i <= count; ++i) {
      h.mailbox.headers.push_back(
          HeadersFrom("User " + std::to_string(i) + " <u" + std::to_string(i) + "@example.org>"));
    }
  }
  // Serves the mailbox over TLS; records how many replies to TOP the client had read when the
  // server received QUIT.
  void Serve(int32_t mode = kSslImplicit) {
    h.app->settings.ssl = mode;
    server.implicitTls = mode == kSslImplicit;
    server.Serve([this](const std::string& c) {
      if (c == "QUIT\r\n") fromTracesAtQuit = FromTraces();
      if (gone) return std::string();
      if (c == closeAt) {
        // The server goes away in the middle of this reply; later commands get nothing.
        h.winsock.closeAfterReply = true;
        gone = true;
        return std::string("+OK\r\nReturn-Path: <x@example.org>\r\nFro");
      }
      return h.mailbox.Reply(c);
    });
  }
  // Replies to TOP the client has read, by their trace.
  size_t FromTraces() const { return Occurrences(h.trace.all, "----- FROM -----\r\n") / 2; }
  Commands Dialogue(size_t tops) const {
    Commands c = {"CAPA\r\n", "USER bob\r\n", "PASS s3cret\r\n", "STAT\r\n"};
    for (size_t i = 1; i <= tops; ++i) c.push_back("TOP " + std::to_string(i) + " 0\r\n");
    c.push_back("QUIT\r\n");
    return c;
  }
  void ExpectSenders(size_t count) {
    for (size_t i = 0; i < count; ++i) {
      EXPECT_EQ(std::string(h.app->senders.slot[i]), "u" + std::to_string(i + 1) + "@example.org")
          << i;
    }
  }
  void ExpectCleanEnd() {
    EXPECT_EQ(h.checkDone, 1);
    EXPECT_TRUE(h.winsock.openSockets.empty());
    EXPECT_FALSE(h.ServerWaitRunning());
    EXPECT_EQ(h.app->poller.framing().singleLineMode, 1);
    EXPECT_EQ(h.app->poller.framing().responseLength, 0u);
  }

  CheckHarness h;
  FakeTlsServer server{h.winsock, true};
  size_t fromTracesAtQuit = 99;
  std::string closeAt;
  bool gone = false;
};

struct CapaCase {
  const char* name;
  const char* capabilities;  // "" : CAPA answered with -ERR
  bool pipelined;
  const char* trace;
};

class Pop3PipeliningCapa : public Pop3Pipelining, public ::testing::WithParamInterface<CapaCase> {};

// Capabilities longer than the receive buffer, PIPELINING last.
const char* LongCapabilities() {
  static const std::string text = [] {
    std::string t = "TOP\r\n";
    for (int i = 0; t.size() < 6000; ++i) t += "X-VENDOR-EXTENSION-" + std::to_string(i) + "\r\n";
    return t + "PIPELINING\r\n";
  }();
  return text.c_str();
}

TEST_P(Pop3PipeliningCapa, CapabilitiesChooseTheDialogue) {
  const CapaCase& c = GetParam();
  h.mailbox.capabilities = c.capabilities;
  Mailbox(3);
  Serve();
  h.RunCheck();

  ExpectCleanEnd();
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_EQ(h.app->status.mailCount, 3);
  ExpectSenders(3);
  EXPECT_EQ(server.secureCommands, Dialogue(3));
  // Pipelined: QUIT reached the server before any reply to TOP was read.
  EXPECT_EQ(fromTracesAtQuit, c.pipelined ? 0u : 3u);
  EXPECT_NE(h.trace.all.find(c.trace), std::string::npos) << h.trace.all;
  // The same traces per message either way.
  EXPECT_EQ(FromTraces(), 3u);
  EXPECT_NE(h.trace.all.find("----- FROM -----\r\nUser 2 <u2@example.org>\r\n\r\n----- FROM "),
            std::string::npos);
  EXPECT_NE(h.trace.all.find("Host QUIT OK\r\nClosing socket\r\n"), std::string::npos);
  EXPECT_EQ(h.trace.all.find("Reply to TOP"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Capa, Pop3PipeliningCapa,
    ::testing::Values(CapaCase{"pipelining", "TOP\r\nUSER\r\nPIPELINING\r\nUIDL\r\n", true,
                               "Server pipelines commands: TOP commands sent at once\r\n"
                               "AppState = CAPA, sending USER\r\n"},
                      CapaCase{"lower_case_last_line", "TOP\r\npipelining\r\n", true,
                               "Sent TOP 1 to TOP 3 and QUIT at once\r\n"},
                      CapaCase{"no_pipelining", "TOP\r\nUSER\r\nSASL PLAIN\r\n", false,
                               "Server does not pipeline commands: one at a time\r\n"},
                      CapaCase{"longer_name_is_not_it", "TOP\r\nPIPELININGX\r\nX-PIPELINING\r\n",
                               false, "Server does not pipeline commands: one at a time\r\n"},
                      // Read to its end and taken as no pipelining: the one-at-a-time
                      // dialogue is always safe.
                      CapaCase{
                          "longer_than_the_buffer", LongCapabilities(), false,
                          "Reply to CAPA is longer than 4096 bytes, reading on to its end\r\n"},
                      CapaCase{"capa_refused", "", false,
                               "CAPA refused: commands sent one at a time\r\n"
                               "Server said: -ERR Unknown command.\r\n"}),
    [](const ::testing::TestParamInfo<CapaCase>& info) { return std::string(info.param.name); });

struct BatchCut {
  const char* name;
  size_t messages;
  size_t splitEvery;  // server bytes per receive (0: the replies merged into one)
  size_t recordSize;  // plaintext bytes per record (0: one record per reply)
  size_t sendChunk;   // bytes a send takes before the socket blocks once (0: all)
};

class Pop3PipeliningBatch : public Pop3Pipelining,
                            public ::testing::WithParamInterface<BatchCut> {};

TEST_P(Pop3PipeliningBatch, RepliesAreReadInOrderHoweverTheyArrive) {
  const BatchCut& cut = GetParam();
  h.winsock.splitEvery = cut.splitEvery;
  h.winsock.sendChunk = cut.sendChunk;
  h.winsock.blockAfterChunk = cut.sendChunk != 0;
  server.recordSize = cut.recordSize;
  h.mailbox.capabilities = "PIPELINING\r\n";
  Mailbox(cut.messages);
  Serve();
  h.RunCheck();

  ExpectCleanEnd();
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_EQ(h.app->status.mailCount, static_cast<int32_t>(cut.messages));
  size_t fetched = cut.messages < 255 ? cut.messages : 255;
  ExpectSenders(fetched);
  EXPECT_EQ(server.secureCommands, Dialogue(fetched));
  EXPECT_EQ(fromTracesAtQuit, 0u);
  EXPECT_EQ(FromTraces(), fetched);
  if (cut.sendChunk != 0) {
    EXPECT_GT(h.winsock.CountPrefix("send blocked"), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Batches, Pop3PipeliningBatch,
    ::testing::Values(BatchCut{"merged", 5, 0, 0, 0}, BatchCut{"byte_by_byte", 5, 1, 0, 0},
                      BatchCut{"small_records", 5, 0, 7, 0},
                      BatchCut{"partial_sends", 40, 0, 0, 64},
                      BatchCut{"everything_cut", 12, 3, 5, 9}, BatchCut{"table_full", 255, 0, 0, 0},
                      BatchCut{"beyond_the_table", 300, 0, 0, 1000}),
    [](const ::testing::TestParamInfo<BatchCut>& info) { return std::string(info.param.name); });

TEST_F(Pop3Pipelining, NegativeReplyInTheBatchDropsTheRestAndEndsWithQuit) {
  h.mailbox.capabilities = "PIPELINING\r\n";
  Mailbox(4);
  // The replies to TOP 3 and TOP 4 are still in flight, one of them long, one negative.
  h.mailbox.overrides = {{"TOP 2 0\r\n", "-ERR Message 2 is gone.\r\n"},
                         {"TOP 3 0\r\n", "+OK\r\n" + std::string(9000, 'x') + "\r\n.\r\n"},
                         {"TOP 4 0\r\n", "-ERR Message 4 is gone.\r\n"}};
  Serve();
  h.RunCheck();

  ExpectCleanEnd();
  EXPECT_EQ(h.app->status.serverError, 1);
  EXPECT_EQ(h.app->status.mailCount, 4);
  EXPECT_STREQ(h.app->senders.slot[0], "u1@example.org");
  for (int i = 1; i < 4; ++i) EXPECT_STREQ(h.app->senders.slot[i], "") << i;
  // No second QUIT: the one of the batch is answered.
  EXPECT_EQ(server.secureCommands, Dialogue(4));
  const std::string trace = h.TraceFrom("Negative response: ");
  EXPECT_EQ(trace.rfind("Negative response: TOP command not supported\r\n"
                        "Server said: -ERR Message 2 is gone.\r\n"
                        "QUIT sent already; 2 replies still in flight are read and dropped\r\n",
                        0),
            0u)
      << trace;
  EXPECT_EQ(trace.find("longer than"), std::string::npos);
  EXPECT_EQ(Occurrences(trace, "----- FROM -----"), 0u);
  EXPECT_NE(trace.find("Host QUIT OK\r\n"), std::string::npos);
  EXPECT_STREQ(h.app->poller.lastReply(), "-ERR Message 2 is gone.");
}

TEST_F(Pop3Pipelining, NegativeReplyToTheLastTopAwaitsOnlyQuit) {
  h.mailbox.capabilities = "PIPELINING\r\n";
  Mailbox(2);
  h.mailbox.overrides = {{"TOP 2 0\r\n", "-ERR Message 2 is gone.\r\n"}};
  Serve();
  h.RunCheck();
  ExpectCleanEnd();
  EXPECT_EQ(h.app->status.serverError, 1);
  EXPECT_STREQ(h.app->senders.slot[0], "u1@example.org");
  EXPECT_NE(h.trace.all.find("0 replies still in flight"), std::string::npos);
  EXPECT_NE(h.trace.all.find("Host QUIT OK\r\n"), std::string::npos);
}

TEST_F(Pop3Pipelining, CloseInTheMiddleOfTheBatchEndsTheCheck) {
  h.mailbox.capabilities = "PIPELINING\r\n";
  Mailbox(4);
  closeAt = "TOP 2 0\r\n";
  Serve();
  h.RunCheck();
  ExpectCleanEnd();
  EXPECT_EQ(h.app->status.serverError, 1);
  EXPECT_STREQ(h.app->senders.slot[0], "u1@example.org");
  EXPECT_STREQ(h.app->senders.slot[1], "");
  EXPECT_EQ(FromTraces(), 1u);
  EXPECT_NE(h.trace.all.find("Connection closed by the server\r\n"), std::string::npos);
  EXPECT_EQ(h.trace.all.find("Host QUIT OK"), std::string::npos);
}

TEST_F(Pop3Pipelining, StartTlsAsksTheCapabilitiesInsideTls) {
  h.mailbox.capabilities = "PIPELINING\r\n";
  Mailbox(3);
  Serve(kSslStartTls);
  h.RunCheck();
  ExpectCleanEnd();
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_EQ(server.clearCommands, (Commands{"STLS\r\n"}));
  EXPECT_EQ(server.secureCommands, Dialogue(3));
  EXPECT_EQ(fromTracesAtQuit, 0u);
  ExpectSenders(3);
}

TEST_F(Pop3Pipelining, PlainConnectionKeepsItsOneCommandDialogue) {
  h.mailbox.capabilities = "PIPELINING\r\n";
  Mailbox(3);
  h.app->settings.ssl = kSslNone;
  Commands seen;
  h.winsock.server = [&](const std::string& c) {
    seen.push_back(c);
    if (c == "QUIT\r\n") fromTracesAtQuit = FromTraces();
    return h.mailbox.Reply(c);
  };
  h.RunCheck();
  ExpectCleanEnd();
  Commands expected = Dialogue(3);
  expected.erase(expected.begin());  // no CAPA
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(fromTracesAtQuit, 3u);
  EXPECT_EQ(h.trace.all.find("CAPA"), std::string::npos);
}

}  // namespace
}  // namespace kc::test
