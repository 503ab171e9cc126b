// The POSIX message loop: posted messages keep their order however long the queue stays busy, a
// procedure may destroy its own window while it runs, and deadlines run when their wait is over.
#include <gtest/gtest.h>

#include <vector>

#include "posix/event_loop.h"

namespace kc::posix {
namespace {

constexpr uint32_t kWmUser = 0x0400;

// Dispatches what is queued, and what that posts, until the queue stays empty: a timer of the
// given window is the sentinel, as timers come only after every posted message.
void DispatchUntilQuiet(EventLoop& loop, WindowRef timerWindow) {
  constexpr uint32_t kSentinel = 99;
  loop.StartTimer(timerWindow, kSentinel, 20);
  Message m{};
  int code = 0;
  while (loop.GetMessage(&m, &code)) {
    if (m.msg == kWmTimer && m.wp == kSentinel) break;
    loop.Dispatch(m);
  }
  loop.StopTimer(timerWindow, kSentinel);
}

TEST(EventLoop, PostedMessagesKeepTheirOrderWhileTheQueueNeverRunsEmpty) {
  EventLoop loop;
  std::vector<WParam> seen;
  constexpr WParam kInFlight = 100, kTotal = 5000;
  WindowRef window = 0;
  window = loop.CreateWindow([&](WindowRef w, uint32_t msg, WParam wp, LParam) -> LResult {
    if (msg != kWmUser) return 0;
    seen.push_back(wp);
    // Each message posts the one kInFlight places on, so the queue always holds kInFlight.
    if (wp + kInFlight < kTotal) loop.Post(w, kWmUser, wp + kInFlight, 0);
    return 0;
  });
  ASSERT_NE(window, 0u);
  for (WParam i = 0; i < kInFlight; ++i) loop.Post(window, kWmUser, i, 0);
  DispatchUntilQuiet(loop, window);
  ASSERT_EQ(seen.size(), kTotal);
  for (WParam i = 0; i < kTotal; ++i) ASSERT_EQ(seen[i], i) << "at " << i;
}

TEST(EventLoop, AProcedureMayDestroyItsOwnWindowAndItsQueuedMessagesGo) {
  EventLoop loop;
  std::vector<int> seen;
  WindowRef doomed = 0, other = 0;
  doomed = loop.CreateWindow([&](WindowRef w, uint32_t msg, WParam wp, LParam) -> LResult {
    if (msg != kWmUser) return 0;
    seen.push_back(static_cast<int>(wp));
    // The procedure's own captures must outlive this call: it is still running below.
    loop.Destroy(w);
    seen.push_back(static_cast<int>(wp) + 100);
    return 0;
  });
  other = loop.CreateWindow([&](WindowRef, uint32_t msg, WParam wp, LParam) -> LResult {
    if (msg == kWmUser) seen.push_back(static_cast<int>(wp));
    return 0;
  });
  loop.Post(doomed, kWmUser, 1, 0);
  loop.Post(other, kWmUser, 2, 0);
  loop.Post(doomed, kWmUser, 3, 0);  // queued for a window that is gone by then
  loop.Post(other, kWmUser, 4, 0);
  DispatchUntilQuiet(loop, other);
  EXPECT_EQ(seen, (std::vector<int>{1, 101, 2, 4}));
  EXPECT_FALSE(loop.IsWindow(doomed));
  EXPECT_TRUE(loop.IsWindow(other));
}

TEST(EventLoop, ADeadlineRunsOnceItsWaitIsOverAndNotBefore) {
  EventLoop loop;
  WindowRef window =
      loop.CreateWindow([](WindowRef, uint32_t, WParam, LParam) -> LResult { return 0; });
  ASSERT_NE(window, 0u);
  constexpr uint64_t kWaitMs = 10;  // before the 20 ms sentinel timer
  const uint64_t start = EventLoop::NowMs();
  uint64_t ranAt = 0;
  int runs = 0, idleRuns = 0;
  auto remaining = [&]() -> int {
    if (runs > 0) return -1;  // done: nothing more to wait for
    uint64_t passed = EventLoop::NowMs() - start;
    return passed >= kWaitMs ? 0 : static_cast<int>(kWaitMs - passed);
  };
  int due = loop.AddDeadline(remaining, [&] {
    ++runs;
    ranAt = EventLoop::NowMs();
  });
  int idle = loop.AddDeadline([] { return -1; }, [&] { ++idleRuns; });

  // A posted message is fetched at once, long before the wait is over.
  Message m{};
  int code = 0;
  loop.Post(window, kWmUser, 0, 0);
  ASSERT_TRUE(loop.GetMessage(&m, &code));
  EXPECT_EQ(runs, 0);
  // With nothing queued the loop sleeps in its poll until the deadline is due.
  DispatchUntilQuiet(loop, window);
  EXPECT_EQ(runs, 1);
  EXPECT_GE(ranAt - start, kWaitMs);
  EXPECT_EQ(idleRuns, 0);
  loop.RemoveDeadline(due);
  loop.RemoveDeadline(idle);
}

}  // namespace
}  // namespace kc::posix
