// Every way a check can fail ends it exactly once, through SM_CHECKDONE as a server error, with
// the socket closed, WinSock cleaned up as far as it was started, the wait timer stopped and the
// framing ready for the next greeting; the next check then runs normally. Late events of a
// finished check leave the next one alone.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/fake_winsock.h"

namespace kc::test {
namespace {

constexpr WindowRef kMain = CheckHarness::kMainWindow;

// Two messages, the mailbox every test starts from and the next check must read.
void Mailbox(CheckHarness& h) {
  h.mailbox.headers = {HeadersFrom("A <a@x>"), HeadersFrom("B <b@x>")};
}

// The new-only check on, over a server that lists an ID for each message.
void ListUids(CheckHarness& h) {
  h.app->settings.newOnly = 1;
  h.mailbox.uids = {"uid-a", "uid-b"};
}

// Puts every knob back so that the next check meets a healthy server.
void Heal(CheckHarness& h) {
  h.winsock.startupResult = 0;
  h.winsock.grantedVersion = kWinSockVersion;
  h.winsock.failing.clear();
  h.winsock.lookupError = 0;
  h.winsock.autoLookup = true;
  h.winsock.connectEventError = 0;
  h.winsock.autoConnect = true;
  h.winsock.closeAfterQuit = true;
  h.winsock.greeting = "+OK POP3 ready\r\n";
  h.mailbox.overrides.clear();
  h.Configure(h.mailbox.user, h.mailbox.password);
  h.app->settings.newOnly = 0;  // every message counted again
}

void ExpectNextCheckRuns(CheckHarness& h, int cleanupsSoFar) {
  Heal(h);
  h.RunCheck();
  EXPECT_EQ(h.checkDone, 2);
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_EQ(h.app->status.mailCount, 2);
  EXPECT_STREQ(h.app->senders.slot[1], "b@x");
  EXPECT_EQ(h.app->status.busy, 0);
  EXPECT_EQ(h.winsock.Count("WSACleanup"), cleanupsSoFar + 1);
  EXPECT_TRUE(h.winsock.openSockets.empty());
  EXPECT_FALSE(h.ServerWaitRunning());
}

// The server does something odd when it receives `command`.
void OnCommand(CheckHarness& h, const std::string& command, std::function<void()> act) {
  h.winsock.server = [&h, command, act](const std::string& c) {
    if (c == command) {
      act();
      return std::string();
    }
    return h.mailbox.Reply(c);
  };
}

struct FailureCase {
  const char* name;
  std::function<void(CheckHarness&)> arrange;
  std::function<void(CheckHarness&)> after;  // run after the first pump, may be empty
  std::string trace;                         // a line the trace must hold ("" for none)
  std::string box;                           // the box shown ("" for none)
  WindowRef boxOwner;
  int cleanups;    // WSACleanup calls by the end of the check
  bool connected;  // the failure came after the connection
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class Failure : public ::testing::TestWithParam<FailureCase> {};

// What the console says of each failure, in words.
const std::map<std::string, std::string> kOutcomes = {
    {"WinSockDoesNotStart", "network could not be started"},
    {"WrongWinSockVersion", "network could not be started (WSAVERNOTSUPPORTED 10092)"},
    {"NoServer", "settings incomplete: server, account and password are needed"},
    {"NothingSet", "settings incomplete: server, account and password are needed"},
    {"NoUser", "settings incomplete: server, account and password are needed"},
    {"NoPassword", "settings incomplete: server, account and password are needed"},
    {"LineBreakInUser", "account or password holds a line break; not sent"},
    {"LineBreakInPassword", "account or password holds a line break; not sent"},
    {"LookupNotStarted", "host lookup could not be started: pop.example"},
    {"HostNotFound", "host not found: pop.example"},
    {"NoSocket", "could not open a socket"},
    {"SelectFails", "could not open a socket"},
    {"NoAddress", "no IPv4 address for pop.example"},
    {"ConnectFailsAtOnce", "connection refused"},
    {"ConnectRefusedLater", "connection refused"},
    {"RecvReturnsZero", "connection closed by the server"},
    {"RecvFails", "connection lost (WSAECONNRESET 10054)"},
    {"RecvReturnsZeroInTheListing", "connection closed by the server"},
    {"RecvFailsInTheListing", "connection lost (WSAECONNRESET 10054)"},
    {"ServerClosesInsideAHeaderBlock", "connection closed by the server"},
    {"ServerClosesBeforeTheGreeting", "connection closed by the server"},
    {"StatusLineOverflowsTheBuffer", "server reply too long"},
    {"SilentBeforeTheLookupReply", "server timed out"},
    {"SilentAfterStat", "server timed out"},
    {"SilentInsideAHeaderBlock", "server timed out"},
    {"NoReplyToQuit", "server timed out"},
};

TEST_P(Failure, EndsTheCheckOnceAndTheNextCheckRuns) {
  const FailureCase& c = GetParam();
  CheckHarness h;
  Mailbox(h);
  c.arrange(h);
  h.RunCheck();
  if (c.after) c.after(h);

  if (!c.trace.empty()) {
    EXPECT_NE(h.trace.all.find(c.trace), std::string::npos) << h.trace.all;
  }
  if (c.box.empty()) {
    EXPECT_TRUE(h.box.shown.empty());
  } else {
    ASSERT_EQ(h.box.shown.size(), 1u);
    EXPECT_EQ(h.box.shown[0].text, c.box);
    EXPECT_EQ(h.box.shown[0].caption, "KESTOVA");
    EXPECT_EQ(h.box.shown[0].owner, c.boxOwner);
  }
  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.serverError, 1);
  EXPECT_EQ(h.app->status.busy, 0);
  EXPECT_EQ(h.app->status.propertiesEnabled, 1);
  // The console's line for it, once.
  ASSERT_EQ(h.notice.outcomes.size(), 1u);
  EXPECT_EQ(h.notice.outcomes[0], std::make_pair(kOutcomes.at(c.name), true));
  EXPECT_EQ(h.winsock.Count("WSACleanup"), c.cleanups);
  EXPECT_TRUE(h.winsock.openSockets.empty());
  EXPECT_FALSE(h.ServerWaitRunning());
  EXPECT_FALSE(h.app->poller.checkRunning());
  EXPECT_EQ(h.app->poller.framing().singleLineMode, 1);
  EXPECT_EQ(h.app->poller.framing().responseLength, 0u);
  if (c.connected) {
    EXPECT_NE(h.trace.all.find("Closing socket\r\n"), std::string::npos);
  }
  EXPECT_EQ(h.trace.all.find(h.mailbox.password), std::string::npos);
  if (h.app->settings.password[0] != '\0') {
    EXPECT_EQ(h.trace.all.find(h.app->settings.password), std::string::npos);
  }

  // Late events of the finished check change nothing.
  size_t traced = h.trace.lines.size();
  h.winsock.PostEventFor(h.winsock.lastSocket, kFdRead);
  h.winsock.PostEventFor(h.winsock.lastSocket, kFdClose);
  h.ServerWaitTick();
  EXPECT_EQ(h.trace.lines.size(), traced);
  EXPECT_EQ(h.checkDone, 1);

  ExpectNextCheckRuns(h, c.cleanups);
}

const std::string kTimedOut = "Server timed out\r\n";

INSTANTIATE_TEST_SUITE_P(Pop3, Failure,
                         ::testing::Values(FailureCase{"WinSockDoesNotStart",
                                                       [](CheckHarness& h) {
                                                         h.winsock.startupResult = 10091;
                                                       },
                                                       nullptr, "",
                                                       "WinSockが初期化できませんでした", 0, 0,
                                                       false},
                                           FailureCase{"WrongWinSockVersion",
                                                       [](CheckHarness& h) {
                                                         h.winsock.grantedVersion = 0x0202;
                                                       },
                                                       nullptr, "",
                                                       "このバージョンのWinSockでは使用できません",
                                                       0, 1, false},
                                           FailureCase{"NoServer",
                                                       [](CheckHarness& h) {
                                                         h.app->settings.server[0] = '\0';
                                                       },
                                                       nullptr, "", "Please enter a server name",
                                                       kMain, 1, false},
                                           FailureCase{"NothingSet",
                                                       [](CheckHarness& h) {
                                                         h.app->settings.server[0] =
                                                             h.app->settings.user[0] =
                                                                 h.app->settings.password[0] = '\0';
                                                       },
                                                       nullptr, "", "Please enter a server name",
                                                       kMain, 1, false},
                                           FailureCase{"NoUser",
                                                       [](CheckHarness& h) {
                                                         h.app->settings.user[0] = '\0';
                                                       },
                                                       nullptr, "", "Please enter a user ID", kMain,
                                                       1, false},
                                           FailureCase{"NoPassword",
                                                       [](CheckHarness& h) {
                                                         h.app->settings.password[0] = '\0';
                                                       },
                                                       nullptr, "", "Please enter a password",
                                                       kMain, 1, false},
                                           FailureCase{"LineBreakInUser",
                                                       [](CheckHarness& h) {
                                                         h.Configure("bob\r\nDELE 1", "s3cret");
                                                       },
                                                       nullptr,
                                                       "User ID or password contains a line break, "
                                                       "not sent\r\n",
                                                       "", 0, 1, false},
                                           FailureCase{"LineBreakInPassword",
                                                       [](CheckHarness& h) {
                                                         h.Configure("bob", "pw\nDELE 1");
                                                       },
                                                       nullptr,
                                                       "User ID or password contains a line break, "
                                                       "not sent\r\n",
                                                       "", 0, 1, false},
                                           FailureCase{"LookupNotStarted",
                                                       [](CheckHarness& h) {
                                                         h.winsock.failing = {"lookup"};
                                                       },
                                                       nullptr, "",
                                                       "Error initiating WSAAsyncGetHostByName()",
                                                       kMain, 1, false},
                                           FailureCase{"HostNotFound",
                                                       [](CheckHarness& h) {
                                                         h.winsock.lookupError = 11001;
                                                       },
                                                       nullptr,
                                                       "WSAAsyncGetHostByName() took 0  "
                                                       "milliseconds to complete\r\n"
                                                       "WSAAsyncGetHostByName() error: 11001\r\n",
                                                       "", 0, 1, false},
                                           FailureCase{"NoSocket",
                                                       [](CheckHarness& h) {
                                                         h.winsock.failing = {"socket"};
                                                       },
                                                       nullptr, "Could not create a socket\r\n", "",
                                                       0, 1, false},
                                           FailureCase{"SelectFails",
                                                       [](CheckHarness& h) {
                                                         h.winsock.failing = {"select"};
                                                       },
                                                       nullptr, "WSAAsyncSelect() failed\r\n", "",
                                                       0, 1, true},
                                           FailureCase{"NoAddress",
                                                       [](CheckHarness& h) {
                                                         h.winsock.failing = {"address"};
                                                       },
                                                       nullptr,
                                                       "No IPv4 address for the server\r\n", "", 0,
                                                       1, true},
                                           FailureCase{"ConnectFailsAtOnce",
                                                       [](CheckHarness& h) {
                                                         h.winsock.failing = {"connect"};
                                                       },
                                                       nullptr, "Error connecting\r\n", "", 0, 1,
                                                       true},
                                           FailureCase{"ConnectRefusedLater",
                                                       [](CheckHarness& h) {
                                                         h.winsock.connectEventError = 10061;
                                                       },
                                                       nullptr,
                                                       "FD_CONNECT notification received\r\nCould "
                                                       "not connect to the server: 10061\r\n",
                                                       "", 0, 1, true},
                                           FailureCase{"RecvReturnsZero",
                                                       [](CheckHarness& h) {
                                                         OnCommand(h, "STAT\r\n", [&h] {
                                                           h.winsock.QueueRecvResult(0, 0);
                                                         });
                                                       },
                                                       nullptr, "",
                                                       "Connection closed unexpectedly", kMain, 1,
                                                       true},
                                           FailureCase{"RecvFails",
                                                       [](CheckHarness& h) {
                                                         OnCommand(h, "TOP 1 0\r\n", [&h] {
                                                           h.winsock.QueueRecvResult(-1, 10054);
                                                         });
                                                       },
                                                       nullptr, "", "recv() error: -1", kMain, 1,
                                                       true},
                                           // The listing of the new-only check is read
                                           // into a larger buffer of its own, with the same
                                           // ends.
                                           FailureCase{"RecvReturnsZeroInTheListing",
                                                       [](CheckHarness& h) {
                                                         ListUids(h);
                                                         OnCommand(h, "UIDL\r\n", [&h] {
                                                           h.winsock.QueueRecvResult(0, 0);
                                                         });
                                                       },
                                                       nullptr, "",
                                                       "Connection closed unexpectedly", kMain, 1,
                                                       true},
                                           FailureCase{"RecvFailsInTheListing",
                                                       [](CheckHarness& h) {
                                                         ListUids(h);
                                                         OnCommand(h, "UIDL\r\n", [&h] {
                                                           h.winsock.QueueRecvResult(-1, 10054);
                                                         });
                                                       },
                                                       nullptr, "", "recv() error: -1", kMain, 1,
                                                       true},
                                           FailureCase{
                                               "ServerClosesInsideAHeaderBlock",
                                               [](CheckHarness& h) {
                                                 OnCommand(h, "TOP 2 0\r\n", [&h] {
                                                   h.winsock.Deliver("+OK\r\nFrom: <b@");
                                                   h.winsock.PeerClose();
                                                 });
                                               },
                                               nullptr,
                                               "FD_CLOSE notification received\r\nConnection "
                                               "closed by the server\r\n",
                                               "", 0, 1, true},
                                           FailureCase{"ServerClosesBeforeTheGreeting",
                                                       [](CheckHarness& h) {
                                                         h.winsock.autoConnect = false;
                                                         h.winsock.server = nullptr;
                                                       },
                                                       [](CheckHarness& h) {
                                                         h.winsock.PostEvent(kFdConnect);
                                                         h.winsock.PeerClose();
                                                         h.Pump();
                                                       },
                                                       "Connection closed by the server\r\n", "", 0,
                                                       1, true},
                                           FailureCase{"StatusLineOverflowsTheBuffer",
                                                       [](CheckHarness& h) {
                                                         OnCommand(h, "STAT\r\n", [&h] {
                                                           h.winsock.DeliverSplit(
                                                               "+OK 1 " + std::string(5000, '9'),
                                                               2048);
                                                         });
                                                       },
                                                       nullptr,
                                                       "!!!!! Buffer overrun, data truncated\r\n",
                                                       "", 0, 1, true},
                                           FailureCase{"SilentBeforeTheLookupReply",
                                                       [](CheckHarness& h) {
                                                         h.winsock.autoLookup = false;
                                                       },
                                                       [](CheckHarness& h) { h.ServerWaitTick(); },
                                                       kTimedOut, "", 0, 1, false},
                                           FailureCase{"SilentAfterStat",
                                                       [](CheckHarness& h) {
                                                         h.mailbox.overrides = {{"STAT\r\n", ""}};
                                                       },
                                                       [](CheckHarness& h) {
                                                         EXPECT_TRUE(h.app->poller.checkRunning());
                                                         EXPECT_EQ(
                                                             h.window.timers[TIMER_SERVERWAIT],
                                                             kServerWaitMs);
                                                         h.ServerWaitTick();
                                                       },
                                                       "FD_READ notification received\r\nCalling "
                                                       "recv()\r\nAppState = PASS, sending STAT\r\n"
                                                       "Server timed out\r\n",
                                                       "", 0, 1, true},
                                           FailureCase{"SilentInsideAHeaderBlock",
                                                       [](CheckHarness& h) {
                                                         h.mailbox.overrides = {
                                                             {"TOP 1 0\r\n", "+OK\r\nFrom: a\r\n"}};
                                                       },
                                                       [](CheckHarness& h) { h.ServerWaitTick(); },
                                                       kTimedOut, "", 0, 1, true},
                                           FailureCase{"NoReplyToQuit",
                                                       [](CheckHarness& h) {
                                                         h.mailbox.overrides = {{"QUIT\r\n", ""}};
                                                         h.winsock.closeAfterQuit = false;
                                                       },
                                                       [](CheckHarness& h) { h.ServerWaitTick(); },
                                                       kTimedOut, "", 0, 1, true}),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                           return info.param.name;
                         });

class Pop3Failure : public ::testing::Test {
 protected:
  void SetUp() override { Mailbox(h); }
  CheckHarness h;
};

TEST_F(Pop3Failure, TheWaitRestartsWithEveryEventAndIgnoresEarlyTicks) {
  h.mailbox.overrides = {{"STAT\r\n", ""}};
  h.RunCheck();
  ASSERT_TRUE(h.app->poller.checkRunning());
  // A tick that comes long before the wait is over is one left from an earlier wait.
  h.ServerWaitTick(5000);
  EXPECT_TRUE(h.app->poller.checkRunning());
  // Any event of the socket starts the wait afresh.
  h.clock.ticks += 50000;
  h.winsock.PostEvent(kFdWrite);
  h.Pump();
  h.ServerWaitTick(20000);
  EXPECT_TRUE(h.app->poller.checkRunning());
  h.ServerWaitTick(40000);
  EXPECT_FALSE(h.app->poller.checkRunning());
  EXPECT_EQ(h.checkDone, 1);
}

TEST_F(Pop3Failure, TimerRunsOnlyWhileACheckWaits) {
  EXPECT_FALSE(h.ServerWaitRunning());
  h.RunCheck();
  EXPECT_FALSE(h.ServerWaitRunning());
  EXPECT_EQ(h.checkDone, 1);
  // A tick while idle changes nothing.
  size_t traced = h.trace.lines.size();
  h.ServerWaitTick();
  EXPECT_EQ(h.trace.lines.size(), traced);
  EXPECT_EQ(h.checkDone, 1);
}

TEST_F(Pop3Failure, OtherEventsOnlyTrace) {
  h.mailbox.overrides = {{"STAT\r\n", ""}};
  h.RunCheck();
  size_t traced = h.trace.lines.size();
  h.winsock.PostEvent(kFdWrite);
  h.winsock.PostEvent(kFdConnect);
  h.winsock.PostEvent(64);
  h.winsock.PostEventFor(h.winsock.lastSocket + 1, kFdClose);  // not the check's socket
  h.Pump();
  EXPECT_EQ(std::vector<std::string>(h.trace.lines.begin() + static_cast<long>(traced),
                                     h.trace.lines.end()),
            (std::vector<std::string>{"FD_WRITE notification received\r\n",
                                      "FD_CONNECT notification received\r\n"}));
  EXPECT_TRUE(h.app->poller.checkRunning());
}

TEST_F(Pop3Failure, ReadEventWithNothingWaitingIsNoError) {
  h.mailbox.overrides = {{"STAT\r\n", ""}};
  h.RunCheck();
  h.winsock.PostEvent(kFdRead);  // recv finds nothing: WSAEWOULDBLOCK
  h.Pump();
  EXPECT_TRUE(h.box.shown.empty());
  EXPECT_TRUE(h.app->poller.checkRunning());
  h.winsock.Deliver("+OK 0 0\r\n");
  h.Pump();
  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.serverError, 0);
}

TEST_F(Pop3Failure, CloseWithTheQuitReplyUnreadEndsNormally) {
  OnCommand(h, "QUIT\r\n", [this] {
    h.winsock.Queue("+OK Logging out.\r\n");
    h.winsock.PeerClose();
  });
  h.winsock.closeAfterQuit = false;
  h.RunCheck();
  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_NE(
      h.trace.all.find("FD_CLOSE notification received\r\nHost QUIT OK\r\nClosing socket\r\n"),
      std::string::npos);
  EXPECT_EQ(h.app->status.mailCount, 2);
}

TEST_F(Pop3Failure, LookupReplyOfAFinishedCheckIsIgnored) {
  h.winsock.autoLookup = false;
  h.RunCheck();
  uintptr_t stale = h.winsock.lastLookup;
  h.ServerWaitTick();
  ASSERT_EQ(h.checkDone, 1);
  // The next check waits for its own lookup; the old reply arrives first.
  h.winsock.autoLookup = false;
  h.window.Post(kMain, SM_CHECK, 0, 0);
  h.Pump();
  ASSERT_TRUE(h.app->poller.checkRunning());
  h.winsock.PostLookupReply(stale);
  h.Pump();
  EXPECT_EQ(h.winsock.CountPrefix("socket"), 0);
  EXPECT_EQ(h.app->poller.appState(), FINDHOST);
  h.winsock.PostLookupReply(h.winsock.lastLookup);
  h.Pump();
  EXPECT_EQ(h.checkDone, 2);
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_EQ(h.app->status.mailCount, 2);
  // A second reply to the same lookup is ignored as well.
  h.winsock.PostLookupReply(h.winsock.lastLookup);
  h.Pump();
  EXPECT_EQ(h.winsock.CountPrefix("socket"), 1);
}

TEST_F(Pop3Failure, BoxClosedAfterTheNextCheckStartedLeavesThatCheckAlone) {
  // recv reports the close; while its box is open the close event ends the check, the
  // controller finishes it and a new check starts, whose server then goes quiet.
  OnCommand(h, "STAT\r\n", [this] { h.winsock.QueueRecvResult(0, 0); });
  bool nested = false;
  h.box.duringShow = [this, &nested] {
    if (nested) return;
    nested = true;
    h.winsock.PeerClose();
    h.Pump();
    EXPECT_EQ(h.checkDone, 1);
    Heal(h);
    h.mailbox.overrides = {{"STAT\r\n", ""}};
    h.window.Post(kMain, SM_CHECK, 0, 0);
    h.Pump();
  };
  h.RunCheck();
  ASSERT_TRUE(nested);
  EXPECT_EQ(h.checkDone, 1);
  EXPECT_TRUE(h.app->poller.checkRunning());
  EXPECT_EQ(h.app->status.busy, 1);
  EXPECT_EQ(h.winsock.openSockets.size(), 1u);
  // The new check still ends on its own terms.
  h.winsock.Deliver("+OK 0 0\r\n");
  h.Pump();
  EXPECT_EQ(h.checkDone, 2);
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_TRUE(h.winsock.openSockets.empty());
}

TEST_F(Pop3Failure, LineBreakStopsTheCheckBeforeAnythingIsSent) {
  h.Configure("bob", "pw\r\nDELE 1");
  h.RunCheck();
  EXPECT_EQ(h.winsock.CountPrefix("lookup"), 0);
  EXPECT_TRUE(h.winsock.sent.empty());
  EXPECT_EQ(h.checkDone, 1);
}

TEST_F(Pop3Failure, PasswordChangedDuringTheCheckToHoldALineBreakIsNotSent) {
  // The settings dialog can be accepted while a check runs; the command is checked as it is sent.
  OnCommand(h, "USER bob\r\n", [this] {
    std::snprintf(h.app->settings.password, sizeof h.app->settings.password, "%s", "x\nDELE 1");
    h.winsock.Deliver("+OK\r\n");
  });
  h.RunCheck();
  EXPECT_EQ(h.winsock.sent, (std::vector<std::string>{"USER bob\r\n"}));
  EXPECT_NE(h.trace.all.find("AppState = USER, sending PASS\r\n"
                             "User ID or password contains a line break, not sent\r\n"),
            std::string::npos);
  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.serverError, 1);
  EXPECT_TRUE(h.winsock.openSockets.empty());
}

TEST_F(Pop3Failure, ClosedSocketOfTheLastCheckCannotEndTheNext) {
  h.RunCheck();
  SocketRef old = h.winsock.lastSocket;
  ASSERT_EQ(h.checkDone, 1);
  h.mailbox.overrides = {{"STAT\r\n", ""}};
  h.window.Post(kMain, SM_CHECK, 0, 0);
  h.Pump();
  ASSERT_NE(h.winsock.lastSocket, old);
  h.winsock.PostEventFor(old, kFdClose);
  h.winsock.PostEventFor(old, kFdRead);
  h.Pump();
  EXPECT_TRUE(h.app->poller.checkRunning());
  EXPECT_EQ(h.checkDone, 1);
}

}  // namespace
}  // namespace kc::test
