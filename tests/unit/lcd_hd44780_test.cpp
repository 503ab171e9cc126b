// The emulated display controller the LCD tests read the screen from.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/hd44780.h"

namespace kc {
namespace {

using test::Hd44780;

void Send(Hd44780& lcd, uint8_t value, bool data) {
  uint8_t rs = data ? 1 : 0;
  std::vector<uint8_t> bus = {0, 1, value, 0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5};
  std::vector<uint8_t> up = {0,    2,   static_cast<uint8_t>(rs | 4), 0xF0, 0xF1, 0xF2, 0xF3,
                             0xF4, 0xF5};
  std::vector<uint8_t> down = {0, 2, rs, 0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5};
  lcd.TakeReport(bus);
  lcd.TakeReport(up);
  lcd.TakeReport(down);
}

void Start(Hd44780& lcd) {
  for (uint8_t i : {0x01, 0x30, 0x08, 0x06, 0x38, 0x0C, 0x06}) Send(lcd, i, false);
}

TEST(Hd44780, LatchesTheBusOnlyOnTheFallingEdgeOfTheStrobe) {
  Hd44780 lcd;
  lcd.TakeReport({0, 1, 0x38});
  lcd.TakeReport({0, 2, 0x04});
  EXPECT_TRUE(lcd.latches().empty()) << "the rising edge latches nothing";
  lcd.TakeReport({0, 1, 0x99});  // the bus changes while E is high
  lcd.TakeReport({0, 2, 0x00});
  ASSERT_EQ(lcd.latches().size(), 1u);
  EXPECT_EQ(lcd.latches()[0].value, 0x99);
  EXPECT_FALSE(lcd.latches()[0].rs);
  lcd.TakeReport({0, 2, 0x00});  // low to low: no edge
  EXPECT_EQ(lcd.latches().size(), 1u);
}

TEST(Hd44780, WritesAtTheAddressAndSteps) {
  Hd44780 lcd;
  EXPECT_EQ(lcd.Row(0), std::string(16, ' ')) << "off at power-on";
  Start(lcd);
  Send(lcd, 0x8E, false);
  for (char c : std::string("AB")) Send(lcd, static_cast<uint8_t>(c), true);
  EXPECT_EQ(lcd.address(), 0x10);
  Send(lcd, 0xC0, false);
  Send(lcd, 'C', true);
  EXPECT_EQ(lcd.Text(), "              AB\nC");
  // Past the end of line 1 (0x27) the address goes on at line 2 (0x40).
  Send(lcd, 0xA7, false);
  Send(lcd, 'x', true);
  EXPECT_EQ(lcd.address(), 0x40);
  Send(lcd, 0x02, false);
  EXPECT_EQ(lcd.address(), 0x00);
  Send(lcd, 0x01, false);
  EXPECT_EQ(lcd.Text(), "\n");
  Send(lcd, 0x08, false);
  EXPECT_FALSE(lcd.displayOn());
}

TEST(Hd44780, ShowsTheFontInUtf8) {
  EXPECT_EQ(test::LcdBytesToUtf8("E-Mail ｦ ﾁｪｯｸｼﾃｲﾏｽ"),
            reinterpret_cast<const char*>(u8"E-Mail ｦ ﾁｪｯｸｼﾃｲﾏｽ"));
  EXPECT_EQ(test::LcdBytesToUtf8("\xA1\xDF"), reinterpret_cast<const char*>(u8"｡ﾟ"));
  EXPECT_EQ(test::LcdByteToUtf8(0x5C), reinterpret_cast<const char*>(u8"¥"));
  EXPECT_EQ(test::LcdByteToUtf8(0xFF), reinterpret_cast<const char*>(u8"\uFFFD"));
}

}  // namespace
}  // namespace kc
