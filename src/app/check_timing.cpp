#include "app/check_timing.h"

#include "settings/settings.h"

namespace kc {

namespace {

// The WinSock numbers of a connection that found no way to the server.
constexpr int32_t kWsaENetDown = 10050;
constexpr int32_t kWsaENetUnreach = 10051;
constexpr int32_t kWsaETimedOut = 10060;
constexpr int32_t kWsaEHostUnreach = 10065;

// The longest period the platform's timers take (USER_TIMER_MAXIMUM), about 24.8 days.
constexpr uint32_t kLongestTimerMs = 0x7FFFFFFF;

}  // namespace

// An interval of 0 or less would make the timer tick back to back and hammer the server; it
// means the default, as in the settings dialog. The product is taken in 64 bits, so a long
// interval never wraps to a short period.
uint32_t CheckPeriodMs(int32_t interval) {
  int64_t minutes = interval > 0 ? interval : kDefaultInterval;
  int64_t ms = minutes * 60000;
  return ms < kLongestTimerMs ? static_cast<uint32_t>(ms) : kLongestTimerMs;
}

bool IsNetworkFailure(const CheckResult& result) {
  if (!result.failed) return false;
  switch (result.failure) {
    case CheckFailure::kLookupNotStarted:
    case CheckFailure::kLookupFailed:
    // A machine whose network is not up yet reports every name as not found.
    case CheckFailure::kHostNotFound: return true;
    case CheckFailure::kConnectFailed:
      return result.winsockError == kWsaENetDown || result.winsockError == kWsaENetUnreach ||
             result.winsockError == kWsaETimedOut || result.winsockError == kWsaEHostUnreach;
    default: return false;
  }
}

uint32_t RetryDelayMs(int n) {
  static const uint32_t kDelays[kRetryCount] = {30000, 60000, 120000, 240000};
  return n >= 0 && n < kRetryCount ? kDelays[n] : 0;
}

}  // namespace kc
