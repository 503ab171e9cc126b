// The texts a check puts on the display.
#pragma once
#include <cstddef>
#include <cstdint>

#include "pop3/sender_table.h"
#include "port/clock.h"

namespace kc {

extern const char kLcdChecking[];     // a check is under way
extern const char kLcdServerError[];  // the check ended badly
extern const char kLcdNoMail[];       // the mailbox is empty

constexpr size_t kReportBufferSize = 4096;
constexpr size_t kReportLimit = 1023;  // bytes of text; the platform formatter's bound

// The 25-byte ctime form "Www Mmm DD hh:mm:ss YYYY\n" with a two-digit day, into out[26].
void FormatCtime(const LocalTime& t, char out[26]);

// The report of a check that found mail: count, check time and, with the list on, the
// numbered senders; cut at kReportLimit bytes. out holds kReportBufferSize bytes.
void ComposeReport(char* out, int32_t mailCount, const LocalTime& checkTime, bool listSenders,
                   const SenderTable& senders);

// One account's part of the report when there is more than one account.
struct ReportAccount {
  const char* label = "";
  int32_t count = 0;    // the messages it shows senders of
  bool failed = false;  // its check failed: the row after its label says so
  const SenderTable* senders = nullptr;
};

// The report of several accounts: the first line gives the total as ComposeReport does; with
// the list on, each account that has senders or failed gets a row "<label>:" before its
// numbered senders, a failed one the row kLcdServerError after it.
void ComposeAccountsReport(char* out, int32_t total, const LocalTime& checkTime, bool listSenders,
                           const ReportAccount* accounts, int count);

}  // namespace kc
