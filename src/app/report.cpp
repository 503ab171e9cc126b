#include "app/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "text/bounded.h"

namespace kc {

const char kLcdChecking[] = "E-Mail ｦ ﾁｪｯｸｼﾃｲﾏｽ";
const char kLcdServerError[] = "POP3ｻｰﾊﾞｰｴﾗｰ";
const char kLcdNoMail[] = "E-Mail ﾊ ﾄﾄﾞｲﾃｲﾏｾﾝ";

namespace {

const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Appends formatted text to the report, never past kReportLimit bytes of text: what does not
// fit is cut, as the platform's bounded formatter cuts it.
class ReportWriter {
 public:
  explicit ReportWriter(char* out) : out_(out) { out_[0] = '\0'; }
  KC_PRINTF_FORMAT(2, 3) void Append(const char* format, ...) {
    size_t room = kReportLimit + 1 - length_;
    if (room <= 1) return;
    va_list args;
    va_start(args, format);
    length_ += FormatBoundedV(out_ + length_, room, format, args);
    va_end(args);
  }
  bool full() const { return length_ >= kReportLimit; }

 private:
  char* out_;
  size_t length_ = 0;
};

}  // namespace

void FormatCtime(const LocalTime& t, char out[26]) {
  // Every field is brought into its width, so the text is always exactly 25 bytes.
  auto two = [](int v) { return static_cast<unsigned>(v < 0 ? 0 : v) % 100u; };
  unsigned wday = static_cast<unsigned>(t.wday) % 7;
  unsigned month = static_cast<unsigned>(t.month) % 12;
  unsigned year = static_cast<unsigned>(t.year < 0 ? 0 : t.year) % 10000u;
  std::snprintf(out, 26, "%s %s %02u %02u:%02u:%02u %04u\n", kDays[wday], kMonths[month],
                two(t.mday), two(t.hour), two(t.min), two(t.sec), year);
}

void ComposeReport(char* out, int32_t mailCount, const LocalTime& checkTime, bool listSenders,
                   const SenderTable& senders) {
  char when[26];
  FormatCtime(checkTime, when);
  ReportWriter report(out);
  report.Append("E-Mail ｶﾞ %dｹﾝ ﾄﾄﾞｲﾃｲﾏｽ(%s)", static_cast<int>(mailCount), when);
  if (!listSenders) return;
  report.Append("\n");
  // Every line takes at least 5 bytes, so the limit is reached before the table ends; the
  // bound on the slot index only makes that certain.
  for (int32_t i = 1; i <= mailCount && i <= kSenderSlots && !report.full(); ++i) {
    const char* sender = senders.slot[i - 1];
    report.Append("%d : %.*s\n", static_cast<int>(i), kSenderSlotSize - 1, sender);
  }
}

void ComposeAccountsReport(char* out, int32_t total, const LocalTime& checkTime, bool listSenders,
                           const ReportAccount* accounts, int count) {
  char when[26];
  FormatCtime(checkTime, when);
  ReportWriter report(out);
  report.Append("E-Mail ｶﾞ %dｹﾝ ﾄﾄﾞｲﾃｲﾏｽ(%s)", static_cast<int>(total), when);
  if (!listSenders) return;
  report.Append("\n");
  for (int a = 0; a < count && !report.full(); ++a) {
    const ReportAccount& account = accounts[a];
    if (account.failed) {
      report.Append("%s:\n%s\n", account.label, kLcdServerError);
      continue;
    }
    if (account.count <= 0 || account.senders == nullptr) continue;
    report.Append("%s:\n", account.label);
    for (int32_t i = 1; i <= account.count && i <= kSenderSlots && !report.full(); ++i) {
      report.Append("%d : %.*s\n", static_cast<int>(i), kSenderSlotSize - 1,
                    account.senders->slot[i - 1]);
    }
  }
}

}  // namespace kc
