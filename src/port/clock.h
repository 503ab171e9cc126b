// Calendar time, its local form and the millisecond tick count.
#pragma once
#include <cstdint>

namespace kc {

struct LocalTime {
  int year;   // e.g. 2026
  int month;  // 0 to 11
  int mday;   // 1 to 31
  int hour;   // 0 to 23
  int min;    // 0 to 59
  int sec;    // 0 to 60
  int wday;   // 0 (Sunday) to 6
};

class ClockPort {
 public:
  virtual ~ClockPort() = default;
  virtual int64_t Now() = 0;  // seconds since 1970-01-01 00:00 UTC
  // False when the time cannot be represented in local time.
  virtual bool ToLocal(int64_t t, LocalTime* out) = 0;
  virtual uint32_t TickCount() = 0;  // milliseconds from an arbitrary start; wraps
};

}  // namespace kc
