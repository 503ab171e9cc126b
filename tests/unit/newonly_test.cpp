// The new-only option over the real controller and poller: the baseline, new messages found by
// UIDL and only their headers fetched, the list kept across a restart, marked seen by the mail
// program and by the menu item, a server without UIDL, a damaged store and a failed write.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_tls.h"
#include "support/fake_winsock.h"

namespace kc::test {
namespace {

using Commands = std::vector<std::string>;

class NewOnly : public ::testing::Test {
 protected:
  void SetUp() override { Use(h); }
  void Use(CheckHarness& harness) {
    harness.app->settings.newOnly = 1;
    harness.mailbox.headers.clear();
    harness.mailbox.uids.clear();
  }
  // Messages first..last from senderN@example.org with the ID "uid-N".
  static void Add(CheckHarness& harness, int first, int last) {
    for (int i = first; i <= last; ++i) {
      harness.mailbox.headers.push_back(HeadersFrom("Sender " + std::to_string(i) + " <sender" +
                                                    std::to_string(i) + "@example.org>"));
      harness.mailbox.uids.push_back("uid-" + std::to_string(i));
    }
  }
  // Runs a check and returns the commands it sent.
  static Commands Check(CheckHarness& harness) {
    size_t before = harness.winsock.sent.size();
    harness.trace.all.clear();
    harness.RunCheck();
    return Commands(harness.winsock.sent.begin() + static_cast<long>(before),
                    harness.winsock.sent.end());
  }
  static Commands Dialogue(const Commands& tops) {
    Commands c = {"USER bob\r\n", "PASS s3cret\r\n", "STAT\r\n", "UIDL\r\n"};
    c.insert(c.end(), tops.begin(), tops.end());
    c.push_back("QUIT\r\n");
    return c;
  }
  static std::string LastOutcome(const CheckHarness& harness) {
    return harness.notice.outcomes.empty() ? std::string() : harness.notice.outcomes.back().first;
  }
  bool Traced(const std::string& line) const { return h.trace.all.find(line) != std::string::npos; }

  CheckHarness h;
};

TEST_F(NewOnly, BaselineThenTwoNewThenRestartThenMailProgram) {
  Add(h, 1, 5);
  EXPECT_EQ(Check(h), Dialogue({}));
  EXPECT_TRUE(
      Traced("UIDL: no list of seen messages yet: the 5 messages on the server are taken "
             "as seen\r\n"));
  EXPECT_TRUE(Traced("UIDL: 0 of 5 messages are new\r\n"));
  EXPECT_EQ(LastOutcome(h), "0 new of 5 messages");
  EXPECT_EQ(h.app->status.mailCount, 0);
  EXPECT_EQ(h.tray.lastIcon(), IDI_IDLE);
  ASSERT_EQ(h.notice.told.size(), 1u);  // the baseline, once
  EXPECT_NE(h.notice.told[0].find("taken as seen"), std::string::npos);
  EXPECT_EQ(h.seenStore.commits, 1);

  Add(h, 6, 7);
  EXPECT_EQ(Check(h), Dialogue({"TOP 6 0\r\n", "TOP 7 0\r\n"}));
  EXPECT_TRUE(Traced("UIDL: 2 of 7 messages are new\r\n"));
  EXPECT_FALSE(Traced("taken as seen"));
  EXPECT_EQ(LastOutcome(h), "2 new of 7 messages");
  EXPECT_EQ(h.app->status.mailCount, 2);
  EXPECT_EQ(h.tray.lastIcon(), IDI_MAIL);
  EXPECT_STREQ(h.app->senders.slot[0], "sender6@example.org");
  EXPECT_STREQ(h.app->senders.slot[1], "sender7@example.org");
  EXPECT_EQ(h.seenStore.commits, 1);  // nothing changed: nothing written
  EXPECT_EQ(h.notice.told.size(), 1u);

  // A restart: a new program over the same store still finds the two new.
  CheckHarness again;
  Use(again);
  again.seenStore = h.seenStore;
  Add(again, 1, 7);
  EXPECT_EQ(Check(again), Dialogue({"TOP 6 0\r\n", "TOP 7 0\r\n"}));
  EXPECT_EQ(LastOutcome(again), "2 new of 7 messages");

  // The mail program started from the icon: the check after it takes everything as seen.
  std::snprintf(again.app->settings.mailer, sizeof again.app->settings.mailer, "/bin/true");
  again.trace.all.clear();
  again.window.Post(CheckHarness::kMainWindow, SM_TRAY, kTrayIconId, kWmLButtonDblClk);
  again.Pump();
  EXPECT_EQ(again.process.started.size(), 1u);
  EXPECT_TRUE(again.trace.all.find("UIDL: the mail program was started: the 7 messages on the "
                                   "server are taken as seen\r\n") != std::string::npos);
  EXPECT_EQ(LastOutcome(again), "0 new of 7 messages");
  EXPECT_EQ(again.tray.lastIcon(), IDI_IDLE);
  EXPECT_EQ(Check(again), Dialogue({}));
  EXPECT_EQ(LastOutcome(again), "0 new of 7 messages");
}

// The menu item (and the console's r) marks the last check's messages at once, without a check.
TEST_F(NewOnly, MarkSeenWithoutACheck) {
  Add(h, 1, 3);
  Check(h);
  Add(h, 4, 5);
  Check(h);
  ASSERT_EQ(h.app->status.mailCount, 2);
  size_t sent = h.winsock.sent.size();
  h.window.Post(CheckHarness::kMainWindow, kWmCommand, IDM_MARKSEEN, 0);
  h.Pump();
  EXPECT_EQ(h.winsock.sent.size(), sent);  // no check
  EXPECT_EQ(h.app->status.mailCount, 0);
  EXPECT_EQ(h.tray.lastIcon(), IDI_IDLE);
  EXPECT_EQ(h.notice.told.back(), "5 messages marked as seen");
  EXPECT_EQ(h.seenStore.commits, 2);
  Check(h);
  EXPECT_EQ(LastOutcome(h), "0 new of 5 messages");
}

// The item is in the menu only with the option on; without it the command does nothing.
TEST_F(NewOnly, MenuItemOnlyWithTheOption) {
  h.window.Post(CheckHarness::kMainWindow, SM_TRAY, kTrayIconId, kWmRButtonDown);
  h.Pump();
  EXPECT_EQ(h.tray.calls.back().first, "menu+markseen");
  h.app->settings.newOnly = 0;
  h.window.Post(CheckHarness::kMainWindow, SM_TRAY, kTrayIconId, kWmRButtonDown);
  h.Pump();
  EXPECT_EQ(h.tray.calls.back().first, "menu");
  h.window.Post(CheckHarness::kMainWindow, kWmCommand, IDM_MARKSEEN, 0);
  h.Pump();
  EXPECT_TRUE(h.notice.told.empty());
  EXPECT_EQ(h.seenStore.reads, 0);
}

// The sign-in's item follows the login: shown with OAuth 2.0 only, beside the new-only one.
TEST_F(NewOnly, SignInItemOnlyWithOAuth) {
  struct Case {
    int32_t newOnly, auth;
    const char* menu;
  };
  for (const Case& c :
       {Case{1, kAuthOAuth, "menu+markseen+signin"}, Case{0, kAuthOAuth, "menu+signin"},
        Case{1, kAuthPassword, "menu+markseen"}, Case{0, kAuthPassword, "menu"}}) {
    h.app->settings.newOnly = c.newOnly;
    h.app->settings.auth = c.auth;
    h.window.Post(CheckHarness::kMainWindow, SM_TRAY, kTrayIconId, kWmRButtonDown);
    h.Pump();
    EXPECT_EQ(h.tray.calls.back().first, c.menu);
  }
}

// A message deleted by another client leaves the list; the others stay seen.
TEST_F(NewOnly, DeletedMessageLeavesTheList) {
  Add(h, 1, 4);
  Check(h);
  h.mailbox.headers.erase(h.mailbox.headers.begin() + 1);
  h.mailbox.uids.erase(h.mailbox.uids.begin() + 1);
  Add(h, 5, 5);
  EXPECT_EQ(Check(h), Dialogue({"TOP 4 0\r\n"}));  // uid-5 is message 4 now
  EXPECT_EQ(LastOutcome(h), "1 new of 4 messages");
  EXPECT_EQ(h.app->seen.size(), 3u);
  EXPECT_EQ(h.seenStore.commits, 2);
}

// A server without UIDL: the check counts every message, as without the option, and says so
// in the outcome; the box that tells it opens at the first such check only.
TEST_F(NewOnly, ServerWithoutUidlCountsEveryMessage) {
  Add(h, 1, 2);
  h.mailbox.uids.clear();
  EXPECT_EQ(Check(h), Dialogue({"TOP 1 0\r\n", "TOP 2 0\r\n"}));
  EXPECT_TRUE(Traced("UIDL not supported, counting every message\r\n"));
  EXPECT_EQ(LastOutcome(h), "2 messages (no UIDL on this server: every message counted)");
  EXPECT_EQ(h.app->status.mailCount, 2);
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_EQ(h.seenStore.commits, 0);
  ASSERT_EQ(h.box.shown.size(), 1u);
  EXPECT_EQ(h.box.shown[0].caption, "KESTOVA");
  EXPECT_EQ(h.box.shown[0].text,
            "\x82\xb1\x82\xcc\x83T\x81[\x83o\x81[\x82\xcdUIDL\x82\xc9\x91\xce\x89\x9e\x82\xb5"
            "\x82\xc4\x82\xa2\x82\xc8\x82\xa2\x82\xbd\x82\xdf\x81"
            "A\x90V\x92\x85\x83\x81\x81[\x83\x8b\x82\xbe\x82\xaf\x82\xf0\x90\x94\x82\xa6\x82"
            "\xe9\x82\xb1\x82\xc6\x82\xaa\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x81"
            "B\x82\xb7\x82\xd7\x82\xc4\x82\xcc\x83\x81\x81[\x83\x8b\x82\xf0\x90\x94\x82\xa6"
            "\x82\xdc\x82\xb7\x81"
            "B");
  Check(h);
  EXPECT_EQ(LastOutcome(h), "2 messages (no UIDL on this server: every message counted)");
  EXPECT_EQ(h.box.shown.size(), 1u);  // not at every check
  h.app->settings.newOnly = 0;
  Check(h);
  EXPECT_EQ(LastOutcome(h), "2 messages");  // without the option, as always
}

// While the box is open, checks go on (the box's loop dispatches): they open no second box.
TEST_F(NewOnly, NoUidlBoxDoesNotStack) {
  Add(h, 1, 1);
  h.mailbox.uids.clear();
  h.box.duringShow = [&] {
    for (int i = 0; i < 3; ++i) h.RunCheck();
  };
  Check(h);
  EXPECT_EQ(h.checkDone, 4);
  EXPECT_EQ(h.box.shown.size(), 1u);
}

// A listing that does not cover the mailbox (empty, short, a number the mailbox lacks, a line
// that is no entry) changes nothing: the check counts every message and saves nothing, and the
// next whole listing finds only what really arrived.
TEST_F(NewOnly, ListingThatDoesNotCoverTheMailboxChangesNothing) {
  Add(h, 1, 2);
  Check(h);
  ASSERT_EQ(h.seenStore.commits, 1);
  Add(h, 3, 3);
  struct Case {
    const char* listing;
    const char* why;
  };
  const Case cases[] = {
      {"+OK\r\n.\r\n", "UIDL: listing unusable (0 of 3 messages listed)"},
      {"+OK\r\n1 uid-1\r\n3 uid-3\r\n.\r\n", "UIDL: listing unusable (2 of 3 messages listed)"},
      {"+OK\r\n1 uid-1\r\n2 uid-2\r\n9 uid-9\r\n3 uid-3\r\n.\r\n",
       "UIDL: listing unusable (1 malformed line)"},
      {"+OK\r\n1 uid-1\r\n2 uid-2\r\nnonsense\x1b[2J\r\n3 uid-3\r\n.\r\n",
       "UIDL: listing unusable (1 malformed line)"},
  };
  for (const Case& c : cases) {
    h.mailbox.overrides = {{"UIDL\r\n", c.listing}};
    EXPECT_EQ(Check(h), Dialogue({"TOP 1 0\r\n", "TOP 2 0\r\n", "TOP 3 0\r\n"})) << c.listing;
    EXPECT_TRUE(Traced(c.why)) << c.listing << h.trace.all;
    EXPECT_EQ(LastOutcome(h), "3 messages (UIDL listing unusable: every message counted)");
    EXPECT_EQ(h.app->status.mailCount, 3);
    EXPECT_EQ(h.seenStore.commits, 1) << c.listing;
    EXPECT_EQ(h.app->seen.size(), 2u);
  }
  EXPECT_TRUE(Traced("UIDL: malformed line: nonsense?[2J?\r\n"));
  EXPECT_TRUE(h.box.shown.empty());  // the server has UIDL
  h.mailbox.overrides.clear();
  EXPECT_EQ(Check(h), Dialogue({"TOP 3 0\r\n"}));
  EXPECT_EQ(LastOutcome(h), "1 new of 3 messages");
}

// IDs longer than RFC 1939's 70 characters are taken: new mail still shows.
TEST_F(NewOnly, LongIdsAreTaken) {
  for (int i = 1; i <= 3; ++i) {
    h.mailbox.headers.push_back(HeadersFrom("s" + std::to_string(i) + "@example.org"));
    h.mailbox.uids.push_back(std::string(80, 'a' + static_cast<char>(i)));
  }
  Check(h);
  EXPECT_EQ(h.app->seen.size(), 3u);
  h.mailbox.headers.push_back(HeadersFrom("s4@example.org"));
  h.mailbox.uids.push_back(std::string(100, 'z'));
  EXPECT_EQ(Check(h), Dialogue({"TOP 4 0\r\n"}));
  EXPECT_EQ(LastOutcome(h), "1 new of 4 messages");
}

// A listing that names one message number 40 times takes it once: no more new than messages.
TEST_F(NewOnly, RepeatedNumberTakenOnce) {
  Add(h, 1, 1);
  Check(h);
  std::string listing = "+OK\r\n1 uid-1\r\n";
  for (int i = 0; i < 39; ++i) listing += "1 other-" + std::to_string(i) + "\r\n";
  h.mailbox.overrides = {{"UIDL\r\n", listing + ".\r\n"}};
  EXPECT_EQ(Check(h), Dialogue({}));
  EXPECT_TRUE(Traced("UIDL: 39 lines repeat a message number given before and are ignored\r\n"));
  EXPECT_TRUE(Traced("UIDL: 0 of 1 messages are new\r\n"));
  EXPECT_EQ(LastOutcome(h), "0 new of 1 message");
}

// Two messages with one ID (popa3d gives identical header blocks the same ID): two more copies
// of a message seen are two new messages, and only those are fetched.
TEST_F(NewOnly, DuplicateIdsCountEachCopy) {
  Add(h, 1, 3);
  h.mailbox.uids[2] = "uid-2";
  Check(h);
  h.mailbox.headers.push_back(HeadersFrom("Copy <copy@example.org>"));
  h.mailbox.headers.push_back(HeadersFrom("Copy <copy@example.org>"));
  h.mailbox.uids.push_back("uid-2");
  h.mailbox.uids.push_back("uid-2");
  EXPECT_EQ(Check(h), Dialogue({"TOP 4 0\r\n", "TOP 5 0\r\n"}));
  EXPECT_EQ(LastOutcome(h), "2 new of 5 messages");
  EXPECT_EQ(h.tray.lastIcon(), IDI_MAIL);
}

// A server silent at UIDL: that check times out; the next ones of this run do not ask UIDL and
// count every message, said once, until the settings name another server.
TEST_F(NewOnly, ServerSilentAtUidlIsNotAskedAgain) {
  Add(h, 1, 2);
  h.mailbox.overrides = {{"UIDL\r\n", ""}};
  Check(h);
  ASSERT_TRUE(h.ServerWaitRunning());
  h.ServerWaitTick();
  EXPECT_TRUE(
      Traced("UIDL: the server did not answer; the next checks count every message "
             "without asking\r\nServer timed out\r\n"));
  EXPECT_EQ(LastOutcome(h), "server timed out");

  const Commands plain = {"USER bob\r\n", "PASS s3cret\r\n", "STAT\r\n",
                          "TOP 1 0\r\n",  "TOP 2 0\r\n",     "QUIT\r\n"};
  size_t told = h.notice.told.size();
  EXPECT_EQ(Check(h), plain);
  EXPECT_EQ(LastOutcome(h), "2 messages (no UIDL on this server: every message counted)");
  ASSERT_EQ(h.notice.told.size(), told + 1);
  EXPECT_EQ(h.notice.told.back(),
            "the server did not answer UIDL: every message is counted without it until the "
            "settings change");
  EXPECT_EQ(h.box.shown.size(), 1u);
  EXPECT_EQ(Check(h), plain);
  EXPECT_EQ(h.notice.told.size(), told + 1);  // said once
  EXPECT_EQ(h.box.shown.size(), 1u);

  // Another port is another server: it is asked.
  h.app->settings.port = 1110;
  h.mailbox.overrides.clear();
  EXPECT_EQ(Check(h), Dialogue({}));
}

// While a long listing is read, the poller tells the socket the least the rest can be: never
// more than is still to come, whether the IDs are as short as they can be or long, and enough
// to be worth waiting for while most of the listing is still out.
TEST_F(NewOnly, ListingRestIsNeverOverstated) {
  for (const size_t idLength : {size_t{1}, size_t{40}}) {
    CheckHarness harness;
    Use(harness);
    for (int i = 1; i <= 20000; ++i) {
      harness.mailbox.headers.push_back(HeadersFrom("s <s@example.org>"));
      harness.mailbox.uids.push_back(std::string(idLength, 'a' + static_cast<char>(i % 26)));
    }
    harness.winsock.splitEvery = 1000;
    Check(harness);
    ASSERT_EQ(LastOutcome(harness), "0 new of 20000 messages") << idLength;
    int largest = 0;
    for (const FakeWinSock::Hint& hint : harness.winsock.hints) {
      ASSERT_GE(hint.bytes, 0);
      ASSERT_LE(static_cast<size_t>(hint.bytes), hint.queued) << idLength;
      largest = hint.bytes > largest ? hint.bytes : largest;
    }
    EXPECT_GE(largest, 32768) << idLength;
  }
}

// A listing far longer than the receive buffer is read through it.
TEST_F(NewOnly, LongListingThroughTheFixedBuffer) {
  h.mailbox.uids.clear();
  for (int i = 1; i <= 3000; ++i) {
    h.mailbox.headers.push_back(HeadersFrom("s <s@example.org>"));
    h.mailbox.uids.push_back(std::string(60, 'x') + std::to_string(i));
  }
  h.mailbox.overrides = {{"STAT\r\n", "+OK 3000 1000\r\n"}};
  Check(h);
  EXPECT_TRUE(Traced("Reply to UIDL is longer than 4096 bytes, reading on to its end\r\n"));
  EXPECT_EQ(LastOutcome(h), "0 new of 3000 messages");
  EXPECT_EQ(h.app->seen.size(), 3000u);
  h.mailbox.headers.push_back(HeadersFrom("Last <last@example.org>"));
  h.mailbox.uids.push_back("the-last");
  h.mailbox.overrides = {{"STAT\r\n", "+OK 3001 1000\r\n"}};
  h.winsock.splitEvery = 1000;
  EXPECT_EQ(Check(h), Dialogue({"TOP 3001 0\r\n"}));
  EXPECT_STREQ(h.app->senders.slot[0], "last@example.org");
}

// A damaged store is no store: said, then a new baseline; a failed write keeps the list in
// memory and says why.
TEST_F(NewOnly, DamagedStoreAndFailedWrite) {
  h.seenStore.exists = true;
  h.seenStore.stored = {'j', 'u', 'n', 'k'};
  Add(h, 1, 2);
  Check(h);
  ASSERT_GE(h.notice.told.size(), 2u);
  EXPECT_EQ(h.notice.told[0],
            "list of seen messages /state/kestova/seen.dat is damaged (cut short): a new baseline "
            "is taken");
  EXPECT_TRUE(Traced("damaged (cut short)"));
  EXPECT_EQ(LastOutcome(h), "0 new of 2 messages");

  h.seenStore.failCommit = true;
  Add(h, 3, 3);
  Check(h);
  h.window.Post(CheckHarness::kMainWindow, kWmCommand, IDM_MARKSEEN, 0);
  h.Pump();
  ASSERT_GE(h.notice.told.size(), 2u);
  EXPECT_EQ(h.notice.told[h.notice.told.size() - 2],
            "list of seen messages not saved: /state/kestova/seen.dat: Read-only file system; it "
            "is kept in memory until the next save");
  EXPECT_EQ(h.notice.told.back(), "3 messages marked as seen");
  EXPECT_EQ(Check(h), Dialogue({}));  // the list in memory holds
}

}  // namespace
}  // namespace kc::test

namespace kc::test {
namespace {

// Over TLS with a server that pipelines: STAT and UIDL go out in one send, the TOP commands of
// the new messages and QUIT in another; a negative reply to STAT drops the reply to UIDL.
class NewOnlyPipelined : public ::testing::Test {
 protected:
  void SetUp() override {
    h.app->settings.newOnly = 1;
    h.app->settings.ssl = kSslImplicit;
    h.mailbox.capabilities = "PIPELINING\r\n";
    h.mailbox.headers.clear();
    for (int i = 1; i <= 4; ++i) {
      h.mailbox.headers.push_back(HeadersFrom("u" + std::to_string(i) + "@example.org"));
      h.mailbox.uids.push_back("id" + std::to_string(i));
    }
    server.Serve([this](const std::string& c) { return h.mailbox.Reply(c); });
  }
  CheckHarness h;
  FakeTlsServer server{h.winsock, true};
};

TEST_F(NewOnlyPipelined, StatAndUidlAtOnceThenTheNewTops) {
  h.RunCheck();  // the baseline
  EXPECT_NE(h.trace.all.find("Sent STAT and UIDL at once\r\n"), std::string::npos);
  h.mailbox.headers.push_back(HeadersFrom("u5@example.org"));
  h.mailbox.uids.push_back("id5");
  server.secureCommands.clear();
  h.trace.all.clear();
  h.RunCheck();
  EXPECT_EQ(server.secureCommands,
            (std::vector<std::string>{"CAPA\r\n", "USER bob\r\n", "PASS s3cret\r\n", "STAT\r\n",
                                      "UIDL\r\n", "TOP 5 0\r\n", "QUIT\r\n"}));
  EXPECT_NE(h.trace.all.find("Sent 1 TOP commands and QUIT at once\r\n"), std::string::npos);
  EXPECT_EQ(h.notice.outcomes.back().first, "1 new of 5 messages");
  EXPECT_STREQ(h.app->senders.slot[0], "u5@example.org");
  EXPECT_EQ(h.app->poller.framing().responseLength, 0u);
}

TEST_F(NewOnlyPipelined, RefusedStatDropsTheReplyToUidl) {
  h.mailbox.overrides = {{"STAT\r\n", "-ERR [IN-USE] Mailbox in use\r\n"},
                         {"UIDL\r\n", "-ERR [IN-USE] Mailbox in use\r\n"}};
  h.RunCheck();
  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.serverError, 1);
  EXPECT_NE(h.trace.all.find("Host QUIT OK\r\n"), std::string::npos);
  EXPECT_TRUE(h.winsock.openSockets.empty());
  EXPECT_EQ(h.app->poller.framing().singleLineMode, 1);
  EXPECT_EQ(h.seenStore.commits, 0);
}

}  // namespace
}  // namespace kc::test
