// Checks that wait for the network after start-up and after a wake, over the real controller
// and poller: which failures are tried again early, the schedule, and the check after a wake.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/check_timing.h"
#include "support/fake_winsock.h"

namespace kc::test {
namespace {

constexpr WindowRef kWin = CheckHarness::kMainWindow;

class EarlyRetry : public ::testing::Test {
 protected:
  // The tick count and the timers move on together, a second at a time.
  void Advance(uint32_t ms) {
    for (uint32_t done = 0; done < ms; done += 1000) {
      h.clock.ticks += 1000;
      h.window.AdvanceMs(kWin, 1000);
    }
  }
  uint32_t RetryWait() const {
    auto it = h.window.timers.find(TIMER_RETRY);
    return it == h.window.timers.end() ? 0 : it->second;
  }
  CheckHarness h;
};

TEST_F(EarlyRetry, WhichFailuresAreTriedAgain) {
  struct Case {
    const char* name;
    int lookupError;
    int connectError;  // 0: the connection is made
    const char* password;
    bool retried;
  };
  const Case cases[] = {
      {"lookup failed (no DNS answer)", 11002, 0, "s3cret", true},
      {"host not found (no network yet)", 11001, 0, "s3cret", true},
      {"connection timed out", 0, 10060, "s3cret", true},
      {"network unreachable", 0, 10051, "s3cret", true},
      {"network down", 0, 10050, "s3cret", true},
      {"connection refused: the server's machine answered", 0, 10061, "s3cret", false},
      {"wrong password: the server answered", 0, 0, "wrong", false},
  };
  for (const Case& c : cases) {
    CheckHarness one;
    one.winsock.lookupError = c.lookupError;
    if (c.connectError != 0) {
      one.winsock.failing.insert("connect");
      one.winsock.connectError = c.connectError;
    }
    one.Configure("bob", c.password);
    one.mailbox.password = "s3cret";
    one.mailbox.Serve(one.winsock);
    one.RunCheck();
    EXPECT_TRUE(one.app->status.serverError == 1) << c.name;
    EXPECT_EQ(one.window.timers.count(TIMER_RETRY) != 0, c.retried) << c.name;
    const bool told = !one.notice.told.empty() && one.notice.told.back() == "retrying in 30 s";
    EXPECT_EQ(told, c.retried) << c.name;
  }
}

TEST_F(EarlyRetry, ThirtySecondsThenOneTwoFourMinutesThenTheInterval) {
  h.winsock.lookupError = 11002;
  h.RunCheck();
  std::vector<uint32_t> waits;
  for (int i = 0; i < 6 && RetryWait() != 0; ++i) {
    const uint32_t wait = RetryWait();
    waits.push_back(wait);
    const int before = h.checkDone;
    Advance(wait);
    EXPECT_EQ(h.checkDone, before + 1) << "one check after each wait";
  }
  EXPECT_EQ(waits, (std::vector<uint32_t>{30000, 60000, 120000, 240000}));
  EXPECT_EQ(RetryWait(), 0u);
  EXPECT_EQ(h.checkDone, 5);
  EXPECT_NE(h.trace.all.find("retrying in 240 s\r\n"), std::string::npos);
  EXPECT_EQ(h.notice.told, (std::vector<std::string>{"retrying in 30 s", "retrying in 60 s",
                                                     "retrying in 120 s", "retrying in 240 s"}));
}

TEST_F(EarlyRetry, TheNetworkComingUpEndsTheRetriesAndLaterFailuresWaitForTheInterval) {
  h.winsock.lookupError = 11002;
  h.RunCheck();
  Advance(30000);  // the first retry fails too
  EXPECT_EQ(RetryWait(), 60000u);
  h.winsock.lookupError = 0;
  Advance(60000);
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_EQ(RetryWait(), 0u);
  h.clock.ticks += kRetryWindowMs;  // long after start-up
  h.winsock.lookupError = 11002;
  h.RunCheck();
  EXPECT_EQ(RetryWait(), 0u) << "no early retry outside the first five minutes";
}

TEST_F(EarlyRetry, AWakeChecksAfterTenSecondsAndOpensTheRetryWindowAgain) {
  h.clock.ticks += kRetryWindowMs * 3;  // the program has run a long time
  h.window.StartTimer(kWin, TIMER_CHECK, CheckPeriodMs(30));
  h.window.Post(kWin, kWmPowerBroadcast, 0x0004, 0);  // PBT_APMSUSPEND: nothing to do
  h.Pump();
  EXPECT_EQ(h.window.timers.count(TIMER_WAKE), 0u);
  h.window.Post(kWin, kWmPowerBroadcast, kPbtApmResumeAutomatic, 0);
  h.Pump();
  EXPECT_EQ(h.window.timers[TIMER_WAKE], kWakeDelayMs);
  EXPECT_EQ(h.checkDone, 0) << "the network is given time to come back";
  h.winsock.lookupError = 11002;
  const uint64_t wokeAt = h.window.nowMs;
  Advance(10000);
  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.window.timers.count(TIMER_WAKE), 0u) << "one check per wake";
  EXPECT_EQ(h.window.due[TIMER_CHECK], wokeAt + 10000 + CheckPeriodMs(30))
      << "the interval counts from the check after the wake";
  EXPECT_EQ(RetryWait(), 30000u) << "a wake opens the early retries again";
}

}  // namespace
}  // namespace kc::test
