#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/report.h"

namespace kc {
namespace {

std::string Hex(const char* text) {
  std::string out;
  char b[4];
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    std::snprintf(b, sizeof b, out.empty() ? "%02X" : " %02X", *p);
    out += b;
  }
  return out;
}

TEST(LcdTexts, AreTheCodePage932Bytes) {
  EXPECT_EQ(Hex(kLcdChecking), "45 2D 4D 61 69 6C 20 A6 20 C1 AA AF B8 BC C3 B2 CF BD");
  EXPECT_EQ(Hex(kLcdServerError), "50 4F 50 33 BB B0 CA DE B0 B4 D7 B0");
  EXPECT_EQ(Hex(kLcdNoMail), "45 2D 4D 61 69 6C 20 CA 20 C4 C4 DE B2 C3 B2 CF BE DD");
  EXPECT_EQ(Hex("E-Mail ｶﾞ %dｹﾝ ﾄﾄﾞｲﾃｲﾏｽ(%s)"),
            "45 2D 4D 61 69 6C 20 B6 DE 20 25 64 B9 DD 20 C4 C4 DE B2 C3 B2 CF BD 28 25 73 29");
}

const LocalTime kMonday{2026, 11, 7, 6, 26, 9, 1};  // Mon Dec 07 06:26:09 2026

TEST(Ctime, HasATwoDigitDayAndALineEnd) {
  char text[26];
  FormatCtime(kMonday, text);
  EXPECT_STREQ(text, "Mon Dec 07 06:26:09 2026\n");
  FormatCtime(LocalTime{2027, 0, 31, 23, 5, 0, 0}, text);
  EXPECT_STREQ(text, "Sun Jan 31 23:05:00 2027\n");
}

TEST(Report, ListsTheSendersWhenTheListIsOn) {
  SenderTable senders;
  std::strcpy(senders.slot[0], "alpha");
  std::strcpy(senders.slot[1], "beta");
  char report[kReportBufferSize];
  ComposeReport(report, 2, kMonday, true, senders);
  EXPECT_EQ(std::string(report),
            "E-Mail \xB6\xDE 2\xB9\xDD \xC4\xC4\xDE\xB2\xC3\xB2\xCF\xBD(Mon Dec 07 06:26:09 2026\n)\n"
            "1 : alpha\n2 : beta\n");
  ComposeReport(report, 2, kMonday, false, senders);
  EXPECT_EQ(std::string(report),
            "E-Mail \xB6\xDE 2\xB9\xDD \xC4\xC4\xDE\xB2\xC3\xB2\xCF\xBD(Mon Dec 07 06:26:09 2026\n)");
}

TEST(Report, StopsAt1023BytesEvenInTheMiddleOfALine) {
  SenderTable senders;
  for (auto& slot : senders.slot) std::memset(slot, 'x', kSenderSlotSize - 1);
  char report[kReportBufferSize];
  std::memset(report, 'Z', sizeof report);
  ComposeReport(report, 255, kMonday, true, senders);
  ASSERT_EQ(std::strlen(report), kReportLimit);
  EXPECT_EQ(report[kReportLimit - 1], 'x');  // cut inside a sender
  EXPECT_EQ(report[kReportLimit + 1], 'Z');  // nothing written past the NUL
}

TEST(Report, ACountBelowOneListsNoSender) {
  SenderTable senders;
  char report[kReportBufferSize];
  ComposeReport(report, -3, kMonday, true, senders);
  EXPECT_EQ(std::string(report).substr(std::strlen(report) - 3), "\n)\n");
  EXPECT_NE(std::string(report).find("-3"), std::string::npos);
}

}  // namespace
}  // namespace kc
