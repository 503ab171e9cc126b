// The check-cycle controller over fakes: dispatch, start-up and shut-down orders, the states.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "support/fakes.h"

namespace kc::test {
namespace {

constexpr WindowRef kWindow = 0x1234;

struct Harness : FakePlatform {
  std::unique_ptr<App> app = std::make_unique<App>(platform);

  Harness() {
    window.proc = [this](WindowRef w, uint32_t m, WParam wp, LParam lp) {
      return app->MainWndProc(w, m, wp, lp);
    };
  }
  void Complete() {
    std::strcpy(app->settings.server, "pop.example");
    std::strcpy(app->settings.user, "u");
    std::strcpy(app->settings.password, "p");
    app->status.ready = 1;
  }
  LResult Call(uint32_t msg, WParam wp = 0, LParam lp = 0) {
    return app->MainWndProc(kWindow, msg, wp, lp);
  }
};

// What each message does, seen through the fakes.
struct DispatchCase {
  const char* name;
  uint32_t msg;
  WParam wp;
  LParam lp;
  bool complete;          // settings complete before the message
  uint32_t expectPosted;  // 0: nothing posted
  bool expectDefault;     // handed to the default procedure
  int expectDialogRuns;
  int expectTrayCalls;  // icon and menu calls
  int expectStarts;     // mail program starts
};

void PrintTo(const DispatchCase& c, std::ostream* os) { *os << c.name; }

class Dispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatch, RoutesEachMessage) {
  const DispatchCase& c = GetParam();
  Harness h;
  std::strcpy(h.app->settings.mailer, "C:\\Mail\\mail.exe");
  if (c.complete) h.Complete();
  LResult r = h.Call(c.msg, c.wp, c.lp);
  EXPECT_EQ(r, c.expectDefault ? 77 : 0);
  EXPECT_EQ(h.window.calls.size() == 1 && h.window.calls[0].rfind("default", 0) == 0,
            c.expectDefault);
  if (c.expectPosted == 0) {
    EXPECT_TRUE(h.window.posted.empty());
  } else {
    ASSERT_FALSE(h.window.posted.empty());
    EXPECT_EQ(h.window.posted.back().msg, c.expectPosted);
  }
  EXPECT_EQ(h.dialog.runs, c.expectDialogRuns);
  EXPECT_EQ(static_cast<int>(h.tray.calls.size()), c.expectTrayCalls);
  EXPECT_EQ(static_cast<int>(h.process.started.size()), c.expectStarts);
}

INSTANTIATE_TEST_SUITE_P(
    Controller, Dispatch,
    ::testing::Values(
        DispatchCase{"CheckCommand", kWmCommand, IDM_CHECK, 0, false, SM_CHECK, false, 0, 0, 0},
        DispatchCase{"CheckCommandHighBits", kWmCommand, 0x10000 | IDM_CHECK, 0, false, SM_CHECK,
                     false, 0, 0, 0},
        DispatchCase{"Properties", kWmCommand, IDM_PROPERTIES, 0, false, 0, false, 1, 0, 0},
        DispatchCase{"OtherCommand", kWmCommand, 40004, 0, false, 0, false, 0, 0, 0},
        DispatchCase{"CheckTimer", kWmTimer, TIMER_CHECK, 0, false, SM_CHECK, false, 0, 0, 0},
        DispatchCase{"PageTimer", kWmTimer, TIMER_LCDPAGE, 0, false, 0, false, 0, 0, 0},
        DispatchCase{"OtherTimer", kWmTimer, 9, 0, false, 0, false, 0, 0, 0},
        DispatchCase{"CheckWithoutSettings", SM_CHECK, 0, 0, false, 0, false, 0, 0, 0},
        DispatchCase{"ShowCount", SM_SHOWCOUNT, 0, 0, false, 0, false, 0, 1, 0},
        DispatchCase{"Launch", SM_LAUNCH, 0, 0, false, 0, false, 0, 1, 0},
        DispatchCase{"TrayDoubleClick", SM_TRAY, 101, 515, false, SM_CHECK, false, 0, 1, 1},
        DispatchCase{"TrayRightButton", SM_TRAY, 101, 516, false, 0, false, 0, 1, 0},
        DispatchCase{"TrayLeftClick", SM_TRAY, 101, 513, false, 0, false, 0, 0, 0},
        DispatchCase{"TrayOtherIcon", SM_TRAY, 102, 515, false, 0, false, 0, 0, 0},
        DispatchCase{"Unused1027", 1027, 0, 0, false, 0, true, 0, 0, 0},
        DispatchCase{"Close", 0x0010, 0, 0, false, 0, true, 0, 0, 0}),
    [](const ::testing::TestParamInfo<DispatchCase>& info) { return info.param.name; });

TEST(Controller, CreationLoadsSettingsStartsTheTimerAndPostsStart) {
  Harness h;
  h.registry.exists = true;
  uint32_t ten = 10;
  h.registry.values["TIME"] = {
      kRegDword,
      std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&ten), reinterpret_cast<uint8_t*>(&ten) + 4)};
  h.app->status.propertiesEnabled = 0;
  EXPECT_EQ(h.Call(kWmCreate), 0);
  EXPECT_EQ(h.app->status.propertiesEnabled, 1);
  EXPECT_EQ(h.window.timers[TIMER_CHECK], 600000u);
  ASSERT_EQ(h.window.posted.size(), 1u);
  EXPECT_EQ(h.window.posted[0].msg, SM_START);
}

void StoreInterval(Harness& h, int32_t minutes) {
  h.registry.exists = true;
  h.registry.values["TIME"] = {kRegDword,
                               std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&minutes),
                                                    reinterpret_cast<uint8_t*>(&minutes) + 4)};
}

// Created with complete settings; records the minute of every check that starts.
struct TimedHarness : Harness {
  std::vector<uint64_t> checkMinutes;
  explicit TimedHarness(int32_t storedMinutes) {
    StoreInterval(*this, storedMinutes);
    window.proc = [this](WindowRef w, uint32_t m, WParam wp, LParam lp) {
      if (m == SM_CHECK && app->status.ready == 1 && app->status.busy == 0) {
        checkMinutes.push_back(window.nowMs / 60000);
      }
      return app->MainWndProc(w, m, wp, lp);
    };
    Call(kWmCreate);
    app->mainWindow = kWindow;
    Complete();
    window.Pump();  // SM_START and the first check
    checkMinutes.clear();
  }
  void AdvanceMinutes(uint64_t minutes) { window.AdvanceMs(kWindow, minutes * 60000); }
};

TEST(Controller, IntervalOfZeroOrLessChecksEveryThirtyMinutes) {
  for (int32_t stored : {0, -5, INT32_MIN}) {
    SCOPED_TRACE(stored);
    TimedHarness h(stored);
    EXPECT_EQ(h.app->settings.interval, 30);
    EXPECT_EQ(h.window.timers[TIMER_CHECK], 1800000u);
    h.AdvanceMinutes(120);
    EXPECT_EQ(h.checkMinutes, (std::vector<uint64_t>{30, 60, 90, 120}));
  }
}

TEST(Controller, TimerPeriodNeverWrapsToAShortOne) {
  const struct {
    int32_t minutes;
    uint32_t period;
  } cases[] = {{10, 600000u},
               {35791, 2147460000u},
               {35792, 0x7FFFFFFFu},  // the platform's longest period
               {71583, 0x7FFFFFFFu},  // 32-bit arithmetic made this 12.7 seconds
               {INT32_MAX, 0x7FFFFFFFu}};
  for (const auto& c : cases) {
    Harness h;
    StoreInterval(h, c.minutes);
    h.Call(kWmCreate);
    EXPECT_EQ(h.window.timers[TIMER_CHECK], c.period) << c.minutes;
  }
}

TEST(Controller, NewIntervalFromTheDialogCountsFromItsOk) {
  TimedHarness h(30);
  h.AdvanceMinutes(20);
  h.dialog.onRun = [](const SettingsForm& shown, SettingsFormJudge& d) {
    SettingsForm form = shown;
    form.interval = 10;
    EXPECT_TRUE(d.Judge(form, nullptr));
  };
  h.Call(kWmCommand, IDM_PROPERTIES);
  EXPECT_EQ(h.window.timers[TIMER_CHECK], 600000u);
  h.AdvanceMinutes(35);
  EXPECT_EQ(h.checkMinutes, (std::vector<uint64_t>{30, 40, 50}));
}

TEST(Controller, DialogThatKeepsTheIntervalLeavesTheTimerAlone) {
  TimedHarness h(30);
  h.AdvanceMinutes(20);
  size_t calls = h.window.calls.size();
  h.dialog.onRun = [](const SettingsForm& shown, SettingsFormJudge& d) {
    EXPECT_TRUE(d.Judge(shown, nullptr));
  };
  h.Call(kWmCommand, IDM_PROPERTIES);
  for (size_t i = calls; i < h.window.calls.size(); ++i) EXPECT_NE(h.window.calls[i], "timer+ 3");
  h.AdvanceMinutes(45);
  EXPECT_EQ(h.checkMinutes, (std::vector<uint64_t>{30, 60}));
}

TEST(Controller, StartWithCompleteSettingsChecksAtOnce) {
  Harness h;
  h.Complete();
  h.app->status.ready = 0;
  h.Call(SM_START);
  EXPECT_EQ(h.window.calls.front(), "hide");
  ASSERT_FALSE(h.tray.calls.empty());
  EXPECT_EQ(h.tray.calls[0].first, "add");
  EXPECT_EQ(h.app->status.ready, 1);
  EXPECT_EQ(h.dialog.runs, 0);
  ASSERT_EQ(h.window.posted.size(), 1u);
  EXPECT_EQ(h.window.posted[0].msg, SM_CHECK);
}

TEST(Controller, StartWithIncompleteSettingsOpensTheDialogAndDropsChecks) {
  Harness h;
  std::strcpy(h.app->settings.server, "pop.example");
  std::strcpy(h.app->settings.user, "u");
  h.Call(SM_START);
  EXPECT_EQ(h.dialog.runs, 1);
  EXPECT_EQ(h.app->status.ready, 0);
  size_t trayCalls = h.tray.calls.size();
  h.window.Pump();  // the SM_CHECK of the start is dropped
  EXPECT_EQ(h.tray.calls.size(), trayCalls);
  EXPECT_EQ(h.app->status.busy, 0);
}

TEST(Controller, CheckStartsOnceAndASecondRequestChangesNothing) {
  Harness h;
  h.Complete();
  h.clock.now = 5000;
  h.Call(SM_CHECK);
  EXPECT_EQ(h.app->status.busy, 1);
  EXPECT_EQ(h.app->status.propertiesEnabled, 0);
  EXPECT_EQ(h.app->status.checkTime, 5000);
  ASSERT_FALSE(h.tray.calls.empty());
  EXPECT_EQ(h.tray.lastIcon(), 104u);
  size_t trayCalls = h.tray.calls.size();
  h.clock.now = 6000;
  h.Call(SM_CHECK);
  EXPECT_EQ(h.tray.calls.size(), trayCalls);
  EXPECT_EQ(h.app->status.checkTime, 5000);
  h.Call(kWmCommand, IDM_PROPERTIES);  // during a check: nothing
  EXPECT_EQ(h.dialog.runs, 0);
}

struct CountCase {
  int32_t count;
  uint32_t icon;
};

TEST(Controller, ShowCountPicksTheIconBySignedThresholds) {
  for (CountCase c : {CountCase{0, 101}, CountCase{1, 102}, CountCase{10, 102}, CountCase{11, 103},
                      CountCase{-1, 102}, CountCase{2147483647, 103}}) {
    Harness h;
    h.app->status.mailCount = c.count;
    h.Call(SM_SHOWCOUNT);
    EXPECT_EQ(h.tray.lastIcon(), c.icon) << c.count;
  }
}

TEST(Controller, CheckDoneEndsTheCheckWhateverItsState) {
  for (uint8_t serverError : {0, 1}) {
    Harness h;
    h.app->status.busy = 1;
    h.app->status.propertiesEnabled = 0;
    h.app->status.serverError = serverError;
    h.app->status.mailCount = 3;
    h.Call(SM_CHECKDONE);
    EXPECT_EQ(h.app->status.busy, 0);
    EXPECT_EQ(h.app->status.propertiesEnabled, 1);
    // The icon follows the count only after a check without a server error.
    EXPECT_EQ(h.window.sent.size(), serverError ? 0u : 1u);
    if (!serverError) {
      EXPECT_EQ(h.tray.lastIcon(), 102u);
    }
  }
}

TEST(Controller, ExitDuringACheckDestroysInOrderAndQuitsWithZero) {
  Harness h;
  h.Complete();
  h.Call(kWmCreate);
  h.Call(SM_CHECK);
  h.window.calls.clear();
  h.Call(kWmCommand, IDM_EXIT);
  ASSERT_GE(h.window.calls.size(), 3u);
  EXPECT_EQ(h.window.calls[0], "destroy");
  EXPECT_EQ(h.window.calls[1], "timer- 3");
  EXPECT_EQ(h.window.calls.back(), "quit 0");
  EXPECT_EQ(h.window.quitCode, 0);
  EXPECT_TRUE(h.window.timers.count(TIMER_CHECK) == 0);
  EXPECT_TRUE(h.window.timers.count(TIMER_LCDPAGE) == 0);
}

}  // namespace
}  // namespace kc::test
