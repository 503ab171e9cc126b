// When checks run: the interval timer's period, and the checks that wait for the network after
// start-up and after a wake (which failures count as no network yet, how long to wait).
#pragma once
#include <cstdint>

#include "pop3/check_result.h"

namespace kc {

// The check timer's period for an interval in minutes (0 or less: the default interval),
// bounded by the longest period the platform's timers take.
uint32_t CheckPeriodMs(int32_t interval);
// The settling delay between a wake and the check that follows it.
constexpr uint32_t kWakeDelayMs = 10000;

// A failure this soon after start-up or a wake starts the early retries.
constexpr uint32_t kRetryWindowMs = 5 * 60 * 1000;
// Early retries after the first failure; after them the interval decides.
constexpr int kRetryCount = 4;

// The failure says nothing of the server: no network yet (the lookup failed, the network is
// down or unreachable, the connection timed out). A server that answered (a refusal, a
// certificate, a silent or closed dialogue) is never such a failure.
bool IsNetworkFailure(const CheckResult& result);

// The wait before early retry n (0 to kRetryCount - 1): 30 s, 1, 2 and 4 minutes; 0 past them.
uint32_t RetryDelayMs(int n);

}  // namespace kc
