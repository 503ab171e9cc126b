// What the controller does when the machine around it changes: early retries while the
// network comes up after start-up or a wake, the check after a wake, and the display's
// return when a HID device arrives. While nothing changes none of it runs or wakes.
#include "app/app.h"
#include "app/check_timing.h"
#include "text/bounded.h"

namespace kc {

void App::FollowUpCheck(WindowRef window, const CheckResult* result) {
  const bool network = result != nullptr && status.serverError == 1 && IsNetworkFailure(*result);
  if (!network) {
    // A check that reached the server ends the early retries; one the server refused is
    // never tried early.
    if (retrying_) platform_.window.StopTimer(window, TIMER_RETRY);
    retrying_ = false;
    return;
  }
  const bool soonAfterStart = platform_.clock.TickCount() - awakeSinceTick_ < kRetryWindowMs;
  if ((!soonAfterStart && !retrying_) || retriesDone_ >= kRetryCount) {
    if (retrying_) platform_.window.StopTimer(window, TIMER_RETRY);
    retrying_ = false;
    return;
  }
  const uint32_t delay = RetryDelayMs(retriesDone_++);
  platform_.window.StartTimer(window, TIMER_RETRY, delay);
  retrying_ = true;
  char line[64];
  FormatBounded(line, sizeof line, "retrying in %u s", static_cast<unsigned>(delay / 1000));
  TellLine(line);
}

void App::OnRetryTimer(WindowRef window) {
  platform_.window.StopTimer(window, TIMER_RETRY);  // one try per wait
  platform_.window.Post(window, SM_CHECK, 0, 0);
}

void App::OnPowerBroadcast(WindowRef window, WParam event) {
  if (event != kPbtApmResumeAutomatic) return;
  // The network needs a moment after a wake; the early retries count from here.
  awakeSinceTick_ = platform_.clock.TickCount();
  retriesDone_ = 0;
  if (retrying_) platform_.window.StopTimer(window, TIMER_RETRY);
  retrying_ = false;
  platform_.trace.Trace("Resumed from sleep: checking in 10 s\r\n");
  platform_.window.StartTimer(window, TIMER_WAKE, kWakeDelayMs);
}

void App::OnWakeTimer(WindowRef window) {
  platform_.window.StopTimer(window, TIMER_WAKE);
  // The interval counts from this check, as it does from start-up.
  platform_.window.StartTimer(window, TIMER_CHECK, CheckPeriodMs(settings.interval));
  platform_.window.Post(window, SM_CHECK, 0, 0);
}

void App::OnDeviceChange(WindowRef window, WParam event) {
  if (event == kDbtDeviceArrival) display.RediscoverLcdDevice(window);
  if (event == kDbtDeviceRemoveComplete) display.DropDeviceIfGone();
}

}  // namespace kc
