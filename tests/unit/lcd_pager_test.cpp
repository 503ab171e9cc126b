// Texts on the two-row display as the controller shows them: rows at once, longer texts
// paged one row down per tick of the page timer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/report.h"
#include "support/fake_hid.h"

namespace kc {
namespace {

using test::DisplayRig;

// Both rows between brackets, 16 cells each, in UTF-8.
std::string Screen(const std::string& row1, const std::string& row2) {
  auto pad = [](const std::string& utf8) {
    size_t cells = 0;  // every cell here is one character: count the UTF-8 lead bytes
    for (unsigned char c : utf8) cells += (c & 0xC0) != 0x80;
    return utf8 + std::string(cells < 16 ? 16 - cells : 0, ' ');
  };
  return "[" + pad(row1) + "][" + pad(row2) + "]";
}

// Texts in code page 932 come from literals; what the screen shows is compared in UTF-8.
#define U8(text) std::string(reinterpret_cast<const char*>(u8##text))

TEST(LcdShowText, TheNoticeOfARunningCheckFillsRowOneAndGoesOnInRowTwo) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  rig.display.LcdShowText("E-Mail ｦ ﾁｪｯｸｼﾃｲﾏｽ");
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen(U8("E-Mail ｦ ﾁｪｯｸｼﾃｲ"), U8("ﾏｽ")));
  EXPECT_EQ(rig.display.pager().rowBreaks, 1);
  EXPECT_EQ(rig.display.pager().slotCount, 4u);
}

TEST(LcdShowText, ShortTextsAreShownAtOnceAndStay) {
  struct Case {
    const char* text;
    std::string row1, row2;
  };
  const std::string k16 = "0123456789ABCDEF";
  for (const Case& c : std::vector<Case>{
           {"POP3ｻｰﾊﾞｰｴﾗｰ", U8("POP3ｻｰﾊﾞｰｴﾗｰ"), ""},
           {"E-Mail ﾊ ﾄﾄﾞｲﾃｲﾏｾﾝ", U8("E-Mail ﾊ ﾄﾄﾞｲﾃｲﾏ"), U8("ｾﾝ")},
           {"", "", ""},
           {"0123456789ABCDEF", k16, ""},
           {"row 0\n", "row 0", ""},              // N = 1
           {"row 0\nrow 1\n", "row 0", "row 1"},  // N = 2
       }) {
    DisplayRig rig;
    ASSERT_TRUE(rig.Start());
    rig.display.LcdShowLines("previous", "screen");
    rig.display.LcdShowText(c.text);
    EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen(c.row1, c.row2)) << c.text;
    rig.hid.ClearReports();
    for (int tick = 0; tick < 3; ++tick) rig.display.LcdNextPage();
    EXPECT_TRUE(rig.hid.reports.empty()) << "ticks change nothing: " << c.text;
  }
}

TEST(LcdShowText, LongerTextsPageOneRowDownPerTick) {
  struct Case {
    const char* text;
    std::vector<std::string> pages;  // the screen after tick 1, 2, ...: "row1|row2"
  };
  for (const Case& c : std::vector<Case>{
           {"r0\nr1\nr2\n", {"r0|r1", "r1|r2", "r0|r1"}},                            // N = 3
           {"r0\nr1\nr2\nr3\n", {"r0|r1", "r1|r2", "r2|r3", "r0|r1"}},               // N = 4
           {"r0\nr1\nr2\nr3\nr4\n", {"r0|r1", "r1|r2", "r2|r3", "r3|r4", "r0|r1"}},  // N = 5
           {"0123456789ABCDEF\nX\n", {"0123456789ABCDEF|", "|X", "0123456789ABCDEF|"}},
           // A last row with no line end after two breaks is in no page.
           {"r0\nr1\nr2\ntail", {"r0|r1", "r1|r2", "r0|r1"}},
       }) {
    DisplayRig rig;
    ASSERT_TRUE(rig.Start());
    rig.display.LcdShowLines("previous", "screen");
    rig.hid.ClearReports();
    rig.display.LcdShowText(c.text);
    EXPECT_TRUE(rig.hid.reports.empty()) << "the first page waits for the tick: " << c.text;
    EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen("previous", "screen"));
    for (size_t tick = 0; tick < c.pages.size(); ++tick) {
      rig.display.LcdNextPage();
      size_t bar = c.pages[tick].find('|');
      EXPECT_EQ(rig.hid.lcd.ScreenUtf8(),
                Screen(c.pages[tick].substr(0, bar), c.pages[tick].substr(bar + 1)))
          << c.text << " tick " << tick + 1;
    }
  }
}

TEST(LcdShowText, OnRequestTheFirstPageComesAtOnceAndStaysAWholePageTime) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  rig.display.firstPageAtOnce = true;
  rig.display.LcdShowLines("previous", "screen");
  rig.window.timers.erase(TIMER_LCDPAGE);
  rig.display.LcdShowText("r0\nr1\nr2\nr3\n");
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen("r0", "r1"));
  EXPECT_EQ(rig.window.timers[TIMER_LCDPAGE], 5000u);  // started again with this page
  rig.display.LcdNextPage();
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen("r1", "r2"));
  rig.display.LcdNextPage();
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen("r2", "r3"));
  rig.display.LcdNextPage();
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen("r0", "r1"));
}

TEST(LcdShowText, AThreeMessageReportPagesEveryTick) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  SenderTable senders;
  std::strcpy(senders.slot[0], "alpha@example.jp");
  std::strcpy(senders.slot[1], "beta");
  std::strcpy(senders.slot[2], "gamma");
  char report[kReportBufferSize];
  ComposeReport(report, 3, LocalTime{2026, 11, 7, 6, 26, 9, 1}, true, senders);
  rig.display.LcdShowText(report);
  // Rows: "E-Mail ｶﾞ 3ｹﾝ ﾄﾄ", "ﾞｲﾃｲﾏｽ(Mon Dec 0", "7 06:26:09 2026", ")", "1 : alpha@exampl",
  // "e.jp", "2 : beta", "3 : gamma", "": eight breaks, seven pages.
  EXPECT_EQ(rig.display.pager().rowBreaks, 8);
  const std::vector<std::string> pages = {
      Screen(U8("E-Mail ｶﾞ 3ｹﾝ ﾄﾄ"), U8("ﾞｲﾃｲﾏｽ(Mon Dec 0")),
      Screen(U8("ﾞｲﾃｲﾏｽ(Mon Dec 0"), "7 06:26:09 2026"),
      Screen("7 06:26:09 2026", ")"),
      Screen(")", "1 : alpha@exampl"),
      Screen("1 : alpha@exampl", "e.jp"),
      Screen("e.jp", "2 : beta"),
      Screen("2 : beta", "3 : gamma"),
      Screen(U8("E-Mail ｶﾞ 3ｹﾝ ﾄﾄ"), U8("ﾞｲﾃｲﾏｽ(Mon Dec 0")),
  };
  for (size_t tick = 0; tick < pages.size(); ++tick) {
    rig.display.LcdNextPage();
    EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), pages[tick]) << "tick " << tick + 1;
  }
}

TEST(LcdShowText, ANewTextStartsAgainAtTheTop) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  rig.display.LcdShowText("r0\nr1\nr2\nr3\n");
  rig.display.LcdNextPage();
  rig.display.LcdNextPage();
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen("r1", "r2"));
  rig.display.LcdShowText("s0\ns1\ns2\n");
  EXPECT_EQ(rig.display.pager().pageIndex, 0);
  rig.display.LcdNextPage();
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen("s0", "s1"));
  // A short text is shown at once and ends the paging.
  rig.display.LcdShowText("POP3ｻｰﾊﾞｰｴﾗｰ");
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen(U8("POP3ｻｰﾊﾞｰｴﾗｰ"), ""));
  rig.display.LcdNextPage();
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen(U8("POP3ｻｰﾊﾞｰｴﾗｰ"), ""));
  EXPECT_EQ(rig.heap.live.size(), 3u) << "two report buffers and one rows block";
}

TEST(LcdShowText, NoMemoryForTheRowsLeavesTheScreenAsItWas) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  rig.display.LcdShowText("r0\nr1\nr2\n");
  rig.display.LcdNextPage();
  rig.hid.ClearReports();
  rig.heap.failAt = rig.heap.allocations + 1;
  rig.display.LcdShowText("E-Mail ｦ ﾁｪｯｸｼﾃｲﾏｽ");
  EXPECT_EQ(rig.display.pager().rows, nullptr);
  EXPECT_EQ(rig.trace.lines.back(), "LCD rows could not be allocated; text not shown\r\n");
  rig.display.LcdNextPage();
  EXPECT_TRUE(rig.hid.reports.empty());
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen("r0", "r1"));
  // The next text is shown again.
  rig.display.LcdShowText("POP3ｻｰﾊﾞｰｴﾗｰ");
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen(U8("POP3ｻｰﾊﾞｰｴﾗｰ"), ""));
}

TEST(LcdShowText, ADisplayPulledOutWhilePagingFailsQuietly) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  rig.display.LcdShowText("r0\nr1\nr2\nr3\n");
  rig.display.LcdNextPage();
  rig.hid.failWriteAt = rig.hid.writeAttempts + 4;  // in the middle of the next page
  rig.hid.unplugAtFail = true;
  for (int tick = 0; tick < 6; ++tick) rig.display.LcdNextPage();
  EXPECT_EQ(rig.display.pager().pageIndex, 1) << "the pages go on stepping";
  rig.display.LcdShowText("E-Mail ﾊ ﾄﾄﾞｲﾃｲﾏｾﾝ");
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen("r0", "r1")) << "the last screen that got through";
  EXPECT_TRUE(rig.display.LcdShutdown(DisplayRig::kWindow));
  EXPECT_TRUE(rig.display.FreeReportBuffers());
  EXPECT_TRUE(rig.display.CloseLcdDevice());
  EXPECT_TRUE(rig.heap.live.empty());
}

TEST(LcdShutdown, StopsThePageTimerAndReleasesTheRows) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  rig.display.LcdShowText("r0\nr1\nr2\n");
  rig.display.LcdNextPage();
  rig.hid.ClearReports();
  EXPECT_TRUE(rig.display.LcdShutdown(DisplayRig::kWindow));
  EXPECT_EQ(rig.window.timers.count(TIMER_LCDPAGE), 0u);
  EXPECT_EQ(rig.display.pager().rows, nullptr);
  EXPECT_EQ(rig.display.pager().pageIndex, 0);
  EXPECT_EQ(rig.display.pager().rowBreaks, 0);
  EXPECT_EQ(rig.heap.live.size(), 2u) << "only the report buffers remain";
  rig.display.LcdNextPage();
  EXPECT_TRUE(rig.hid.reports.empty()) << "nothing is sent, the display keeps its rows";
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen("r0", "r1"));
}

TEST(LcdShowText, RowsBlockSizes) {
  struct Case {
    const char* text;  // rows 1 to 5
    size_t bytes;
  };
  for (const Case& c : std::vector<Case>{
           {"", 68}, {"a\nb", 68}, {"a\nb\nc", 102}, {"a\nb\nc\nd", 102}, {"a\nb\nc\nd\ne", 136}}) {
    DisplayRig rig;
    ASSERT_TRUE(rig.Start());
    rig.display.LcdShowText(c.text);
    EXPECT_EQ(rig.heap.sizes.back(), c.bytes) << c.text;
  }
}

}  // namespace
}  // namespace kc
