// The report of a check: any count (negative, zero, beyond the table), any check time, the list
// on or off, and any senders (full slots without a NUL included). The text must stay within
// 1,023 bytes, NUL-terminated, and be exactly the whole report cut at that bound.
//
// Input (read with FuzzedDataProvider): a choice byte (bit 0: any count, else -2 to 300; bit 1:
// any time fields, else valid ones; bit 2: the senders given repeat to fill all 255 slots), the
// count, the list option, the seven time fields, then the senders, one slot after another.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/report.h"
#include "fuzz/fuzz_check.h"

namespace {

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

kc::LocalTime TakeTime(FuzzedDataProvider& in, bool any) {
  if (any) {
    return kc::LocalTime{in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>(),
                         in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>(),
                         in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>(),
                         in.ConsumeIntegral<int>()};
  }
  return kc::LocalTime{in.ConsumeIntegralInRange(1970, 9999), in.ConsumeIntegralInRange(0, 11),
                       in.ConsumeIntegralInRange(1, 31),      in.ConsumeIntegralInRange(0, 23),
                       in.ConsumeIntegralInRange(0, 59),      in.ConsumeIntegralInRange(0, 60),
                       in.ConsumeIntegralInRange(0, 6)};
}

void CheckCtime(const kc::LocalTime& t, const char* when) {
  FUZZ_CHECK(std::memchr(when, '\0', 26) == when + 25);
  FUZZ_CHECK(when[24] == '\n');
  bool valid = t.year >= 0 && t.year <= 9999 && t.month >= 0 && t.month <= 11 && t.mday >= 0 &&
               t.mday <= 99 && t.hour >= 0 && t.hour <= 99 && t.min >= 0 && t.min <= 99 &&
               t.sec >= 0 && t.sec <= 99 && t.wday >= 0 && t.wday <= 6;
  if (!valid) return;
  char expected[64];
  std::snprintf(expected, sizeof expected, "%s %s %02d %02d:%02d:%02d %04d\n", kDays[t.wday],
                kMonths[t.month], t.mday, t.hour, t.min, t.sec, t.year);
  FUZZ_CHECK(std::strcmp(when, expected) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  uint8_t choice = in.ConsumeIntegral<uint8_t>();
  int32_t count = (choice & 1) != 0 ? in.ConsumeIntegral<int32_t>()
                                    : in.ConsumeIntegralInRange<int32_t>(-2, 300);
  bool list = in.ConsumeBool();
  kc::LocalTime when = TakeTime(in, (choice & 2) != 0);

  auto senders = std::make_unique<kc::SenderTable>();
  int given = 0;
  while (given < kc::kSenderSlots && in.remaining_bytes() > 0) {
    std::string s = in.ConsumeRandomLengthString(kc::kSenderSlotSize);
    std::memcpy(senders->slot[given++], s.data(), s.size());  // 255 bytes: no NUL
  }
  if ((choice & 4) != 0 && given > 0) {
    for (int i = given; i < kc::kSenderSlots; ++i) {
      std::memcpy(senders->slot[i], senders->slot[i % given], kc::kSenderSlotSize);
    }
  }

  char ctime[26];
  kc::FormatCtime(when, ctime);
  CheckCtime(when, ctime);

  std::vector<char> out(kc::kReportBufferSize, 'Z');
  kc::ComposeReport(out.data(), count, when, list, *senders);
  const char* nul = static_cast<const char*>(std::memchr(out.data(), '\0', kc::kReportLimit + 1));
  FUZZ_CHECK(nul != nullptr);
  const std::string report(out.data(), static_cast<size_t>(nul - out.data()));
  FUZZ_CHECK(report.size() <= kc::kReportLimit);

  // The whole report, composed here without a bound, then cut.
  std::string whole = "E-Mail \xB6\xDE " + std::to_string(count) +
                      "\xB9\xDD \xC4\xC4\xDE\xB2\xC3\xB2\xCF\xBD(" + ctime + ")";
  if (list) {
    whole += "\n";
    for (int32_t i = 1; i <= count && i <= kc::kSenderSlots; ++i) {
      const char* slot = senders->slot[i - 1];
      whole += std::to_string(i) + " : " +
               std::string(slot, strnlen(slot, kc::kSenderSlotSize - 1)) + "\n";
      if (whole.size() > kc::kReportLimit) break;
    }
  }
  FUZZ_CHECK(report == whole.substr(0, kc::kReportLimit));
  return 0;
}
