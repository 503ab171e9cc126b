// The LCD command link: the reports of one byte, the controller's start-up, and row updates
// that send only the cells that changed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_hid.h"

namespace kc {
namespace {

using test::DisplayRig;
using test::Hd44780;

// The controller's latches as text: "I02" for an instruction, "Dx" for a character x.
std::string Latches(const Hd44780& lcd) {
  std::string out;
  char buffer[8];
  for (const auto& l : lcd.latches()) {
    if (!out.empty()) out += " ";
    if (l.rs) {
      out += "D";
      out += static_cast<char>(l.value);
    } else {
      std::snprintf(buffer, sizeof buffer, "I%02X", l.value);
      out += buffer;
    }
  }
  return out;
}

std::string Shadow(const Display& d, int row) {
  return std::string(reinterpret_cast<const char*>(d.shadowLine(row)), 16);
}

const std::string kSpaces(16, ' ');

TEST(LcdWrite, ACharacterIsBusThenStrobeUpThenStrobeDown) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  EXPECT_TRUE(rig.display.LcdWrite(0x41, 1));
  ASSERT_EQ(rig.hid.reports.size(), 3u);
  EXPECT_EQ(rig.hid.ReportHead(0), "00 01 41 F0 F1 F2 F3 F4 F5");
  EXPECT_EQ(rig.hid.ReportHead(1), "00 02 05 F0 F1 F2 F3 F4 F5");
  EXPECT_EQ(rig.hid.ReportHead(2), "00 02 01 F0 F1 F2 F3 F4 F5");
  // Every write is the whole report; past byte 8 it stays zero.
  for (const auto& report : rig.hid.reports) {
    ASSERT_EQ(report.size(), 65u);
    EXPECT_EQ(std::vector<uint8_t>(report.begin() + 9, report.end()), std::vector<uint8_t>(56, 0));
  }
}

TEST(LcdWrite, AnInstructionKeepsRegisterSelectLow) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  EXPECT_TRUE(rig.display.LcdWrite(0x38, 0));
  ASSERT_EQ(rig.hid.reports.size(), 3u);
  EXPECT_EQ(rig.hid.ReportHead(0), "00 01 38 F0 F1 F2 F3 F4 F5");
  EXPECT_EQ(rig.hid.ReportHead(1), "00 02 04 F0 F1 F2 F3 F4 F5");
  EXPECT_EQ(rig.hid.ReportHead(2), "00 02 00 F0 F1 F2 F3 F4 F5");
  EXPECT_EQ(Latches(rig.hid.lcd), "I38");
}

TEST(LcdWrite, StopsAtTheFirstFailedReport) {
  for (int failing = 1; failing <= 3; ++failing) {
    DisplayRig rig;
    ASSERT_TRUE(rig.Start());
    rig.hid.failWriteAt = rig.hid.writeAttempts + failing;
    EXPECT_FALSE(rig.display.LcdWrite(0x41, 1));
    EXPECT_EQ(rig.hid.writeAttempts, 21 + failing) << "no report after the failed one";
  }
}

TEST(LcdWrite, WithoutADeviceSendsNothing) {
  DisplayRig rig;  // nothing opened
  EXPECT_FALSE(rig.display.LcdWrite(0x41, 1));
  EXPECT_EQ(rig.hid.writeAttempts, 0);
}

TEST(LcdInit, SendsSevenInstructionsThenStartsThePageTimer) {
  DisplayRig rig;
  rig.hid.interfaces = {test::LcdInterface()};
  ASSERT_TRUE(rig.display.OpenLcdDevice());
  EXPECT_EQ(Shadow(rig.display, 0), std::string(16, '\0'));
  EXPECT_TRUE(rig.display.LcdInit(DisplayRig::kWindow));
  EXPECT_EQ(rig.hid.reports.size(), 21u);
  EXPECT_EQ(Latches(rig.hid.lcd), "I01 I30 I08 I06 I38 I0C I06");
  EXPECT_EQ(rig.window.calls, std::vector<std::string>{"timer+ 2"});
  EXPECT_EQ(rig.window.timers[TIMER_LCDPAGE], 5000u);
  EXPECT_EQ(Shadow(rig.display, 0), kSpaces);
  EXPECT_EQ(Shadow(rig.display, 1), kSpaces);
  // The controller is cleared, two lines, display on, no cursor, increment.
  EXPECT_TRUE(rig.hid.lcd.displayOn());
  EXPECT_TRUE(rig.hid.lcd.twoLines());
  EXPECT_FALSE(rig.hid.lcd.cursorOn());
  EXPECT_TRUE(rig.hid.lcd.increment());
  EXPECT_EQ(rig.hid.lcd.Text(), "\n");
}

TEST(LcdInit, AFailedWriteStopsTheSequenceWithoutTimerOrShadow) {
  DisplayRig rig;
  rig.hid.interfaces = {test::LcdInterface()};
  ASSERT_TRUE(rig.display.OpenLcdDevice());
  rig.hid.failWriteAt = 5;  // strobe up of the second instruction
  EXPECT_FALSE(rig.display.LcdInit(DisplayRig::kWindow));
  EXPECT_EQ(rig.hid.writeAttempts, 5);
  EXPECT_TRUE(rig.window.timers.empty());
  EXPECT_EQ(Shadow(rig.display, 0), std::string(16, '\0'));
}

TEST(LcdInit, WithoutADeviceFailsAtTheFirstInstruction) {
  DisplayRig rig;
  EXPECT_FALSE(rig.display.OpenLcdDevice());
  EXPECT_FALSE(rig.display.LcdInit(DisplayRig::kWindow));
  EXPECT_EQ(rig.hid.writeAttempts, 0);
  EXPECT_TRUE(rig.window.timers.empty());
}

// Report counts of row updates right after LcdInit.
TEST(LcdShowLines, SendsOnlyTheCellsThatChanged) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());

  // Blank rows equal to the shadow: return home and the second row's address only.
  EXPECT_TRUE(rig.display.LcdShowLines(kSpaces.c_str(), kSpaces.c_str()));
  EXPECT_EQ(rig.hid.reports.size(), 6u);
  EXPECT_EQ(Latches(rig.hid.lcd), "I02 IC0");

  // Two full new rows: 66 bytes for the controller, 198 reports.
  rig.hid.ClearReports();
  EXPECT_TRUE(rig.display.LcdShowLines("ABCDEFGHIJKLMNOP", "abcdefghijklmnop"));
  EXPECT_EQ(rig.hid.reports.size(), 198u);
  EXPECT_EQ(rig.hid.lcd.Text(), "ABCDEFGHIJKLMNOP\nabcdefghijklmnop");
  EXPECT_EQ(Latches(rig.hid.lcd).substr(0, 23), "I02 I80 DA I81 DB I82 D");

  // The same rows again: 6 reports.
  rig.hid.ClearReports();
  EXPECT_TRUE(rig.display.LcdShowLines("ABCDEFGHIJKLMNOP", "abcdefghijklmnop"));
  EXPECT_EQ(rig.hid.reports.size(), 6u);

  // One changed cell in each row.
  rig.hid.ClearReports();
  EXPECT_TRUE(rig.display.LcdShowLines("ABCDEFGHIJKLMNOx", "Abcdefghijklmnop"));
  EXPECT_EQ(Latches(rig.hid.lcd), "I02 I8F Dx IC0 IC0 DA");
  EXPECT_EQ(rig.hid.lcd.Text(), "ABCDEFGHIJKLMNOx\nAbcdefghijklmnop");
}

TEST(LcdShowLines, EmptyRowsRewriteEveryCellWithSpaces) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  EXPECT_TRUE(rig.display.LcdShowLines("", ""));
  EXPECT_EQ(rig.hid.reports.size(), 198u);  // 0x02, 16 pairs, 0xC0, 16 pairs
  EXPECT_EQ(rig.hid.lcd.latches().size(), 66u);
  EXPECT_EQ(rig.hid.lcd.Text(), "\n");
}

TEST(LcdShowLines, AShortRowSkipsEqualCellsButAlwaysBlanksTheRest) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  const char* full = "BBBBBBBBBBBBBBBB";
  EXPECT_TRUE(rig.display.LcdShowLines("Hello", full));
  rig.hid.ClearReports();
  EXPECT_TRUE(rig.display.LcdShowLines("Hello", full));
  std::string expected = "I02";
  for (int cell = 5; cell < 16; ++cell) {
    char pair[12];
    std::snprintf(pair, sizeof pair, " I%02X D ", 0x80 + cell);
    expected += pair;  // the character is a space
  }
  expected += " IC0";
  EXPECT_EQ(Latches(rig.hid.lcd), expected);
  EXPECT_EQ(rig.hid.reports.size(), 72u);
  EXPECT_EQ(rig.hid.lcd.Text(), "Hello\nBBBBBBBBBBBBBBBB");
}

TEST(LcdShowLines, ARowLongerThanSixteenBytesIsCut) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  EXPECT_TRUE(rig.display.LcdShowLines("0123456789ABCDEFGHIJ", kSpaces.c_str()));
  EXPECT_EQ(rig.hid.lcd.Text(), "0123456789ABCDEF\n");
  // 0x02, 16 pairs, 0xC0: no trailing spaces after a full row.
  EXPECT_EQ(rig.hid.lcd.latches().size(), 34u);
}

TEST(LcdShowLines, AFailureInRowOneKeepsTheShadowInStepAndLeavesRowTwo) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  EXPECT_TRUE(rig.display.LcdShowLines("abcdefgh", "row two"));
  rig.hid.ClearReports();
  // New row 1 "abcXYZgh": cells 3 to 5 change. Fail on the character of cell 4:
  // 0x02 (3 reports), cell 3 (6), address of cell 4 (3), then the character's strobe up.
  rig.hid.failWriteAt = rig.hid.writeAttempts + 3 + 6 + 3 + 2;
  EXPECT_FALSE(rig.display.LcdShowLines("abcXYZgh", "other"));
  EXPECT_EQ(Latches(rig.hid.lcd), "I02 I83 DX I84");
  EXPECT_EQ(Shadow(rig.display, 0), "abcXefgh        ");
  EXPECT_EQ(Shadow(rig.display, 1), "row two         ");
  EXPECT_EQ(rig.hid.lcd.Text(), "abcXefgh\nrow two");

  // The next update finds the cells that still differ, and row 2.
  rig.hid.ClearReports();
  EXPECT_TRUE(rig.display.LcdShowLines("abcXYZgh", "other"));
  EXPECT_EQ(rig.hid.lcd.Text(), "abcXYZgh\nother");
}

}  // namespace
}  // namespace kc
