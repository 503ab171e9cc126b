// One check from SM_CHECK to SM_CHECKDONE: the real controller and poller over a scripted
// WinSock, with server transcripts of 0 to 300 messages, split and merged receives and a
// negative reply in every state.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/report.h"
#include "pop3/reply_text.h"
#include "support/fake_winsock.h"

namespace kc::test {
namespace {

using Commands = std::vector<std::string>;

class Pop3Session : public ::testing::Test {
 protected:
  void TearDown() override {
    // The password never reaches the trace, whatever happened.
    EXPECT_EQ(h.trace.all.find(h.mailbox.password), std::string::npos);
  }
  // The headers of n messages from sender1@example.org, sender2@example.org, ...
  void Messages(int n) {
    h.mailbox.headers.clear();
    for (int i = 1; i <= n; ++i) {
      h.mailbox.headers.push_back(HeadersFrom("Sender " + std::to_string(i) + " <sender" +
                                              std::to_string(i) + "@example.org>"));
    }
  }
  void ExpectEndedCleanly() {
    EXPECT_EQ(h.checkDone, 1);
    EXPECT_EQ(h.app->status.busy, 0);
    EXPECT_EQ(h.app->status.propertiesEnabled, 1);
    EXPECT_EQ(h.winsock.Count("WSACleanup"), 1);
    EXPECT_TRUE(h.winsock.openSockets.empty());
    EXPECT_FALSE(h.ServerWaitRunning());
    EXPECT_FALSE(h.app->poller.checkRunning());
    EXPECT_EQ(h.app->poller.framing().singleLineMode, 1);
    EXPECT_EQ(h.app->poller.framing().responseLength, 0u);
  }
  CheckHarness h;
};

TEST_F(Pop3Session, ThreeMessagesTraceTheWholeDialogue) {
  h.mailbox.headers = {HeadersFrom("Alice <alice@example.org>"), HeadersFrom("bob@example.org"),
                       HeadersFrom("\"Carol Long\"\r\n <carol@example.org>")};
  h.mailbox.overrides = {{"STAT\r\n", "+OK 3 960\r\n"}};
  h.RunCheck();

  EXPECT_EQ(h.TraceFrom("----- FIND HOST"),
            "----- FIND HOST -----\r\n"
            "Calling WSAAsyncGetHostByName() to find server\r\n"
            "SM_GETHOST message received\r\n"
            "WSAAsyncGetHostByName() took 0  milliseconds to complete\r\n"
            "Server found OK\r\n\r\n"
            "----- CONNECT TO HOST -----\r\n"
            "Calling socket(AF_INET, SOCK_STREAM, 0);\r\n"
            "Calling WSAAsyncSelect()\r\n"
            "getservbyname() took 0 milliseconds to complete\r\n"
            "Calling connect()\r\n"
            "\r\n----- PROCESS MESSAGES -----\r\n"
            "FD_CONNECT notification received\r\n"
            "FD_WRITE notification received\r\n"
            "FD_READ notification received\r\nCalling recv()\r\n"
            "AppState = CONNECTING, sending USER\r\n"
            "FD_READ notification received\r\nCalling recv()\r\n"
            "AppState = USER, sending PASS\r\n"
            "FD_READ notification received\r\nCalling recv()\r\n"
            "AppState = PASS, sending STAT\r\n"
            "FD_READ notification received\r\nCalling recv()\r\n"
            "AppState = STAT, reading response\r\n"
            "----- RESULT -----\r\n"
            "3 messages 960 bytes\r\n"
            "Sending TOP\r\n"
            "FD_READ notification received\r\nCalling recv()\r\n"
            "----- FROM -----\r\nAlice <alice@example.org>\r\n\r\n----- FROM -----\r\n"
            "FD_READ notification received\r\nCalling recv()\r\n"
            "----- FROM -----\r\nbob@example.org\r\n\r\n----- FROM -----\r\n"
            "FD_READ notification received\r\nCalling recv()\r\n"
            "----- FROM -----\r\n\"Carol Long\"\r\n <carol@example.org>\r\n\r\n----- FROM -----\r\n"
            "Sending QUIT\r\n"
            "FD_READ notification received\r\nCalling recv()\r\n"
            "Host QUIT OK\r\n"
            "Closing socket\r\n");
  EXPECT_EQ(h.Commands(), (Commands{"USER bob\r\n", "PASS s3cret\r\n", "STAT\r\n", "TOP 1 0\r\n",
                                    "TOP 2 0\r\n", "TOP 3 0\r\n", "QUIT\r\n"}));
  EXPECT_EQ(h.app->status.mailCount, 3);
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_STREQ(h.app->senders.slot[0], "alice@example.org");
  EXPECT_STREQ(h.app->senders.slot[1], "bob@example.org");
  EXPECT_STREQ(h.app->senders.slot[2], "carol@example.org");
  EXPECT_EQ(h.app->poller.appState(), QUIT);
  ExpectEndedCleanly();
}

TEST_F(Pop3Session, ConnectsAsWinSock11Expects) {
  Messages(1);
  h.RunCheck();
  EXPECT_EQ(h.winsock.Count("WSAStartup 257"), 1);
  EXPECT_EQ(h.winsock.lastLookupName, "pop.example");
  EXPECT_EQ(h.winsock.Count("select 5 51"), 1);
  EXPECT_EQ(h.winsock.Count("getservbyname pop3 tcp"), 1);
  EXPECT_EQ(h.winsock.connectedTo.portNetworkOrder, 0x6E00);  // 110, network order
  EXPECT_EQ(h.winsock.connectedTo.address[0], 127);
  EXPECT_EQ(h.winsock.connectedTo.address[3], 1);
  // The graceful close: no more sending, drain, both directions, close.
  std::vector<std::string> tail(h.winsock.calls.end() - 5, h.winsock.calls.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"shutdown 5 1", "recv 5", "shutdown 5 2",
                                            "closesocket 5", "WSACleanup"}));
}

TEST_F(Pop3Session, ServiceWithoutEntryFallsBackTo110) {
  Messages(0);
  h.winsock.failing = {"service"};
  h.winsock.servicePort = 995;  // not used
  h.RunCheck();
  EXPECT_NE(h.trace.all.find("getservbyent() failed. Using port 110\r\n"), std::string::npos);
  EXPECT_EQ(h.winsock.connectedTo.portNetworkOrder, 0x6E00);
  ExpectEndedCleanly();
}

struct CountCase {
  int messages;
  int tops;  // TOP commands sent
};

TEST_F(Pop3Session, FetchesHeadersForAtMost255Messages) {
  for (CountCase c : {CountCase{0, 0}, CountCase{1, 1}, CountCase{3, 3}, CountCase{255, 255},
                      CountCase{300, 255}}) {
    SCOPED_TRACE(c.messages);
    CheckHarness run;
    for (int i = 1; i <= c.messages; ++i) {
      run.mailbox.headers.push_back(HeadersFrom("<s" + std::to_string(i) + "@x>"));
    }
    run.mailbox.Serve(run.winsock);
    run.RunCheck();
    Commands sent = run.Commands();
    ASSERT_EQ(sent.size(), static_cast<size_t>(3 + c.tops + 1));
    for (int i = 1; i <= c.tops; ++i) EXPECT_EQ(sent[2 + i], "TOP " + std::to_string(i) + " 0\r\n");
    EXPECT_EQ(sent.back(), "QUIT\r\n");
    EXPECT_EQ(run.app->status.mailCount, c.messages);  // the server's count, even beyond 255
    EXPECT_EQ(run.app->status.serverError, 0);
    EXPECT_EQ(run.checkDone, 1);
    EXPECT_EQ(run.app->status.busy, 0);
    // Exactly the slots of the fetched messages are filled.
    for (int i = 0; i < kSenderSlots; ++i) {
      std::string expected = i < c.tops ? "s" + std::to_string(i + 1) + "@x" : "";
      ASSERT_EQ(std::string(run.app->senders.slot[i]), expected) << i;
    }
    // "Sending TOP" precedes only the first TOP.
    size_t first = run.trace.all.find("Sending TOP\r\n");
    EXPECT_EQ(first == std::string::npos, c.tops == 0);
    if (first != std::string::npos) {
      EXPECT_EQ(run.trace.all.find("Sending TOP\r\n", first + 1), std::string::npos);
    }
  }
}

TEST_F(Pop3Session, SplitReceivesGiveTheSameResult) {
  for (size_t every : {1u, 2u, 3u, 5u, 13u}) {
    SCOPED_TRACE(every);
    CheckHarness run;
    run.mailbox.headers = {HeadersFrom("A <a@x>"), HeadersFrom("\"B\"\r\n <b@x>"),
                           HeadersFrom("c@x")};
    run.mailbox.Serve(run.winsock);
    run.winsock.splitEvery = every;
    run.RunCheck();
    EXPECT_EQ(run.Commands(), (Commands{"USER bob\r\n", "PASS s3cret\r\n", "STAT\r\n",
                                        "TOP 1 0\r\n", "TOP 2 0\r\n", "TOP 3 0\r\n", "QUIT\r\n"}));
    EXPECT_STREQ(run.app->senders.slot[0], "a@x");
    EXPECT_STREQ(run.app->senders.slot[1], "b@x");
    EXPECT_STREQ(run.app->senders.slot[2], "c@x");
    EXPECT_EQ(run.app->status.serverError, 0);
    EXPECT_EQ(run.checkDone, 1);
  }
}

TEST_F(Pop3Session, TwoRepliesInOneReceiveAreBothHandled) {
  // The server answers USER before it is asked: greeting and reply arrive together.
  Messages(1);
  h.winsock.greeting = "+OK ready\r\n+OK\r\n";
  h.mailbox.overrides = {{"USER bob\r\n", ""}};
  h.RunCheck();
  EXPECT_EQ(h.Commands(),
            (Commands{"USER bob\r\n", "PASS s3cret\r\n", "STAT\r\n", "TOP 1 0\r\n", "QUIT\r\n"}));
  // Both were handled in the first read event.
  std::string firstRead = h.TraceFrom("FD_READ");
  EXPECT_EQ(firstRead.rfind("FD_READ notification received\r\nCalling recv()\r\n"
                            "AppState = CONNECTING, sending USER\r\n"
                            "AppState = USER, sending PASS\r\n",
                            0),
            0u);
  EXPECT_STREQ(h.app->senders.slot[0], "sender1@example.org");
  ExpectEndedCleanly();
}

TEST_F(Pop3Session, StatReplyAndFirstHeaderBlockInOneReceive) {
  Messages(1);
  std::string top = h.mailbox.Reply("TOP 1 0\r\n");
  h.mailbox.overrides = {{"STAT\r\n", "+OK 1 120\r\n" + top}, {"TOP 1 0\r\n", ""}};
  h.RunCheck();
  EXPECT_STREQ(h.app->senders.slot[0], "sender1@example.org");
  EXPECT_EQ(h.Commands().back(), "QUIT\r\n");
  ExpectEndedCleanly();
}

TEST_F(Pop3Session, StatWithoutTwoNumbersCountsNoMessage) {
  h.mailbox.overrides = {{"STAT\r\n", "+OK mailbox locked\r\n"}};
  h.RunCheck();
  EXPECT_EQ(h.app->status.mailCount, 0);
  EXPECT_NE(h.trace.all.find("0 messages 0 bytes\r\n"), std::string::npos);
  EXPECT_EQ(h.Commands().back(), "QUIT\r\n");
  EXPECT_EQ(h.Commands().size(), 4u);
  ExpectEndedCleanly();
}

TEST_F(Pop3Session, HeaderBlockWithoutFromGivesAnEmptySlot) {
  h.mailbox.headers = {"Subject: none\r\n", HeadersFrom("<b@x>")};
  h.RunCheck();
  EXPECT_STREQ(h.app->senders.slot[0], "");
  EXPECT_STREQ(h.app->senders.slot[1], "b@x");
  // Nothing of the commands built before is traced as a sender.
  EXPECT_NE(h.trace.all.find("----- FROM -----\r\n\r\n----- FROM -----\r\n"), std::string::npos);
  ExpectEndedCleanly();
}

TEST_F(Pop3Session, NulInAHeaderBlockCutsThatReceive) {
  // The NUL cuts the rest of its receive, terminator included; the block ends with a later one.
  h.mailbox.headers = {HeadersFrom("<a@x>")};
  h.mailbox.overrides = {{"TOP 1 0\r\n", ""}};
  h.winsock.server = [this](const std::string& command) {
    if (command == "TOP 1 0\r\n") {
      h.winsock.Deliver(std::string("+OK\r\nFrom: <a@x>\r\nX: a\0b\r\n\r\n.\r\n", 31));
      h.winsock.Deliver("\r\n\r\n.\r\n");
      return std::string();
    }
    return h.mailbox.Reply(command);
  };
  h.RunCheck();
  EXPECT_STREQ(h.app->senders.slot[0], "a@x");
  EXPECT_NE(h.trace.all.find("----- FROM -----\r\n<a@x>\r\n\r\n----- FROM -----"),
            std::string::npos);
  ExpectEndedCleanly();
}

struct NegativeCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> overrides;
  std::string greeting;
  std::string text;   // traced after "Negative response: "
  Commands commands;  // everything sent
};

void PrintTo(const NegativeCase& c, std::ostream* os) { *os << c.name; }

class NegativeReply : public ::testing::TestWithParam<NegativeCase> {};

TEST_P(NegativeReply, EndsTheCheckAsAServerErrorAndTheNextCheckRuns) {
  const NegativeCase& c = GetParam();
  CheckHarness h;
  for (int i = 1; i <= 3; ++i)
    h.mailbox.headers.push_back(HeadersFrom("<s" + std::to_string(i) + "@x>"));
  h.mailbox.overrides = c.overrides;
  if (!c.greeting.empty()) h.winsock.greeting = c.greeting;
  h.RunCheck();

  // The server's own words follow the described line.
  std::string said = !c.greeting.empty() ? c.greeting : c.overrides.front().second;
  said = said.substr(0, said.find("\r\n"));
  std::string expected = "Negative response: " + c.text + "Server said: " + said + "\r\n";
  EXPECT_EQ(std::string(h.app->poller.lastReply()), said);
  if (c.commands.back() == "QUIT\r\n" && c.text != "QUIT command not supported\r\n") {
    expected += "Sending QUIT\r\nQUIT\r\n";
  }
  EXPECT_NE(h.trace.all.find(expected), std::string::npos) << h.trace.all;
  EXPECT_EQ(h.Commands(), c.commands);
  EXPECT_EQ(h.app->status.serverError, 1);
  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.busy, 0);
  EXPECT_EQ(h.winsock.Count("WSACleanup"), 1);
  EXPECT_TRUE(h.winsock.openSockets.empty());
  EXPECT_FALSE(h.ServerWaitRunning());
  EXPECT_EQ(h.app->poller.framing().singleLineMode, 1);
  EXPECT_EQ(h.app->poller.framing().responseLength, 0u);
  // The console says who refused what, with the server's own words.
  const std::map<std::string, std::string> outcomes = {
      {"Greeting", "server refused the connection: -ERR too busy"},
      {"User", "login refused: -ERR no"},
      {"Pass", "login refused: -ERR [AUTH] Authentication failed."},
      {"Stat", "server refused STAT: -ERR"},
      {"Top", "server refused TOP: -ERR no such message"},
      {"Quit", "server refused QUIT: -ERR not now"}};
  ASSERT_EQ(h.notice.outcomes.size(), 1u);
  EXPECT_EQ(h.notice.outcomes[0], std::make_pair(outcomes.at(c.name), true));

  // The next check runs normally.
  h.mailbox.overrides.clear();
  h.winsock.greeting = "+OK again\r\n";
  h.winsock.sent.clear();
  h.RunCheck();
  EXPECT_EQ(h.checkDone, 2);
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_STREQ(h.app->poller.lastReply(), "");
  EXPECT_EQ(h.app->status.mailCount, 3);
  EXPECT_STREQ(h.app->senders.slot[2], "s3@x");
  EXPECT_EQ(h.notice.outcomes.back(), std::make_pair(std::string("3 messages"), false));
  EXPECT_EQ(h.winsock.Count("WSACleanup"), 2);
  EXPECT_EQ(h.trace.all.find(h.mailbox.password), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Pop3, NegativeReply,
    ::testing::Values(
        NegativeCase{"Greeting", {}, "-ERR too busy\r\n", "Connection denied\r\n", {"QUIT\r\n"}},
        NegativeCase{"User",
                     {{"USER bob\r\n", "-ERR no\r\n"}},
                     "",
                     "Unknown UserID\r\n",
                     {"USER bob\r\n", "QUIT\r\n"}},
        NegativeCase{"Pass",
                     {{"PASS s3cret\r\n", "-ERR [AUTH] Authentication failed.\r\n"}},
                     "",
                     "Wrong Password\r\n",
                     {"USER bob\r\n", "PASS s3cret\r\n", "QUIT\r\n"}},
        NegativeCase{"Stat",
                     {{"STAT\r\n", "-ERR\r\n"}},
                     "",
                     "STAT command not supported\r\n",
                     {"USER bob\r\n", "PASS s3cret\r\n", "STAT\r\n", "QUIT\r\n"}},
        NegativeCase{"Top",
                     {{"TOP 2 0\r\n", "-ERR no such message\r\n"}},
                     "",
                     "TOP command not supported\r\n",
                     {"USER bob\r\n", "PASS s3cret\r\n", "STAT\r\n", "TOP 1 0\r\n", "TOP 2 0\r\n",
                      "QUIT\r\n"}},
        NegativeCase{"Quit",
                     {{"QUIT\r\n", "-ERR not now\r\n"}},
                     "",
                     "QUIT command not supported\r\n",
                     {"USER bob\r\n", "PASS s3cret\r\n", "STAT\r\n", "TOP 1 0\r\n", "TOP 2 0\r\n",
                      "TOP 3 0\r\n", "QUIT\r\n"}}),
    [](const ::testing::TestParamInfo<NegativeCase>& info) { return info.param.name; });

TEST_F(Pop3Session, NegativeTopReplyInPiecesIsFramedAsOneLine) {
  Messages(2);
  h.mailbox.overrides = {{"TOP 1 0\r\n", ""}};
  h.winsock.server = [this](const std::string& command) {
    if (command == "TOP 1 0\r\n") {
      h.winsock.Deliver("-ERR no ");
      h.winsock.Deliver("such message\r\n");
      return std::string();
    }
    return h.mailbox.Reply(command);
  };
  h.RunCheck();
  EXPECT_NE(h.trace.all.find("Negative response: TOP command not supported\r\n"
                             "Server said: -ERR no such message\r\nSending QUIT\r\nQUIT\r\n"),
            std::string::npos);
  // The reply to QUIT is framed as a line: the check ends through it, not through a close.
  EXPECT_NE(h.trace.all.find("Host QUIT OK\r\n"), std::string::npos);
  EXPECT_EQ(h.trace.all.find("Connection closed"), std::string::npos);
  EXPECT_EQ(h.app->status.serverError, 1);
  ExpectEndedCleanly();
}

TEST_F(Pop3Session, NegativeReplyTextIsBoundedOneLineAndNeverHoldsThePassword) {
  const struct {
    std::string reply;
    std::string kept;
  } cases[] = {
      {"-ERR [IN-USE] Mailbox in use\r\n", "-ERR [IN-USE] Mailbox in use"},
      {"-ERR [AUTH] s3cret is wrong for bob\r\n", "-ERR [AUTH] *** is wrong for bob"},
      // The password twice in a row is one stretch of shared runs: one mark.
      {"-ERR s3crets3cret\r\n", "-ERR ***"},
      // Partial and escaped echoes: every run of 4 or more bytes of the password is masked.
      {"-ERR [AUTH] s3cre is wrong\r\n", "-ERR [AUTH] *** is wrong"},
      {"-ERR pass=\"s3\\cret\"\r\n", "-ERR pass=\"***\""},
      {"-ERR 3cre and s3c ret\r\n", "-ERR *** and s3c ret"},
      {"-ERR a\tb\x1b[2Jc\r\r\n", "-ERR a?b?[2Jc"},
      {"-ERR " + std::string(400, 'x') + "\r\n", "-ERR " + std::string(250, 'x')},
      {"-ERR " + std::string(248, 'x') + "s3cret\r\n", "-ERR " + std::string(248, 'x') + "**"},
  };
  for (const auto& c : cases) {
    CheckHarness run;
    run.mailbox.overrides = {{"PASS s3cret\r\n", c.reply}};
    run.RunCheck();
    EXPECT_EQ(std::string(run.app->poller.lastReply()), c.kept);
    EXPECT_NE(run.trace.all.find("Wrong Password\r\nServer said: " + c.kept + "\r\n"),
              std::string::npos);
    EXPECT_EQ(run.trace.all.find("s3cret"), std::string::npos);
    EXPECT_EQ(run.app->status.serverError, 1);
  }
}

TEST(ReplyText, MasksEveryRunOfFourBytesThatThePasswordHolds) {
  const struct {
    const char* password;
    std::string reply;
    std::string kept;
  } cases[] = {
      {"s3cret", "-ERR s3cret\r\n", "-ERR ***"},
      {"s3cret", "-ERR xs3crx\r\n", "-ERR x***x"},           // 4 of 6
      {"s3cret", "-ERR s3c-cret\r\n", "-ERR s3c-***"},       // 3 stay: no run of 4
      {"s3cret", "-ERR secret\r\n", "-ERR se***"},           // shares "cret"
      {"Pw-e2e-7q3!x", "-ERR Pw-e2e-7q3!\r\n", "-ERR ***"},  // 11 of 12
      // In another case, escaped or spaced out, it is the password all the same.
      {"Pw-e2e-7q3!x", "-ERR PW-E2E-7Q3!X\r\n", "-ERR ***"},
      {"Pw-e2e-7q3!x", "-ERR Pw-e%32e-7q3%21x\r\n", "-ERR ***"},
      {"Pw-e2e-7q3!x", "-ERR user=bob&pass=PW%2DE2E%2d7Q3%21X\r\n", "-ERR user=bob&pass=***"},
      {"Pw-e2e-7q3!x", "-ERR P W - E 2 E - 7 Q 3 ! X rejected\r\n", "-ERR *** rejected"},
      {"Pw-e2e-7q3!x", "-ERR pw\\-e2e\\-7q3\\!x\r\n", "-ERR ***"},
      {"s3cret", "-ERR \"S\\3CRET\"\r\n", "-ERR \"***\""},
      // Ordinary text stays: words keep their blanks, a '%' or '\\' without an escape stays.
      {"Pw-e2e-7q3!x", "-ERR [AUTH] Authentication failed.\r\n",
       "-ERR [AUTH] Authentication failed."},
      {"s3cret", "-ERR the sec ret is 100% \\ safe\r\n", "-ERR the sec ret is 100% \\ safe"},
      {"s3cret", "-ERR s 3 c ok\r\n", "-ERR s 3 c ok"},
      {"ab1", "-ERR ab1 ab ab1\r\n", "-ERR *** ab ***"},  // shorter than 4: whole only
      {"", "-ERR anything\r\n", "-ERR anything"},
      {"s3cret", "-ERR \x1b]0;s3cre\x07\r\n", "-ERR ?]0;***?"},
      {"s3cret", "-ERR \x83\x5c\x95\x5c\r\n", "-ERR \x83\x5c\x95\x5c"},
  };
  for (const auto& c : cases) {
    char out[kLastReplySize];
    size_t n = KeepReplyText(out, sizeof out, c.reply.data(), c.reply.size(), c.password,
                             std::strlen(c.password));
    EXPECT_EQ(std::string(out), c.kept) << c.reply;
    EXPECT_EQ(n, c.kept.size());
  }
  // Cut to the buffer, a mark included.
  char small[8];
  EXPECT_EQ(KeepReplyText(small, sizeof small, "-ERR s3cret", 11, "s3cret", 6), 7u);
  EXPECT_STREQ(small, "-ERR **");
}

TEST_F(Pop3Session, EscapeSequencesFromTheServerReachNoTraceConsoleOrDisplay) {
  // A sender's name and address, and a refusal, holding sequences that would retitle and clear
  // the terminal that shows the trace or the console.
  const std::string attack = "\x1b]0;title\x07\x1b[2J";
  h.mailbox.headers = {HeadersFrom(attack + " <evil" + attack + "@x>"),
                       HeadersFrom("bare" + attack + "@x"),
                       HeadersFrom("Folded\r\n\t<" + attack + "@x>")};
  h.app->settings.listSenders = 1;
  h.RunCheck();
  ExpectEndedCleanly();
  EXPECT_EQ(h.trace.all.find('\x1b'), std::string::npos);
  EXPECT_EQ(h.trace.all.find('\x07'), std::string::npos);
  // The trace shows the value with the control bytes marked, its folding as it came.
  EXPECT_NE(h.trace.all.find("----- FROM -----\r\n?]0;title??[2J <evil?]0;title??[2J@x>\r\n\r\n"),
            std::string::npos);
  EXPECT_NE(h.trace.all.find("\r\nFolded\r\n\t<?]0;title??[2J@x>\r\n"), std::string::npos);
  EXPECT_STREQ(h.app->senders.slot[0], "evil?]0;title??[2J@x");
  EXPECT_STREQ(h.app->senders.slot[1], "bare?]0;title??[2J@x");
  EXPECT_STREQ(h.app->senders.slot[2], "?]0;title??[2J@x");
  // The display is given the report of these senders: every byte a cell but the row breaks.
  char report[kReportBufferSize];
  ComposeReport(report, h.app->status.mailCount, LocalTime{}, true, h.app->senders);
  for (const char* p = report; *p != '\0'; ++p) {
    EXPECT_TRUE(*p == '\n' || static_cast<unsigned char>(*p) >= 0x20) << p - report;
    EXPECT_NE(*p, '\x7f');
  }

  // The next check is refused in words that hold the same sequences and a piece of the
  // password: neither reaches the trace or the console's outcome line.
  h.mailbox.overrides = {{"PASS s3cret\r\n", "-ERR " + attack + " s3cre?\r\n"}};
  h.RunCheck();
  EXPECT_EQ(h.trace.all.find('\x1b'), std::string::npos);
  EXPECT_EQ(h.trace.all.find("s3cre"), std::string::npos);
  ASSERT_EQ(h.notice.outcomes.size(), 2u);
  EXPECT_EQ(h.notice.outcomes[1].first, "login refused: -ERR ?]0;title??[2J ***?");
}

}  // namespace
}  // namespace kc::test
