// The display coming and going: taken up when a HID device arrives, given back without a box
// when it goes away, and the current text shown again at once.
#include <gtest/gtest.h>

#include <string>

#include "support/fake_hid.h"

namespace kc {
namespace {

using test::DisplayRig;
using test::LcdInterface;

#define U8(text) std::string(reinterpret_cast<const char*>(u8##text))

// Both rows between brackets, 16 cells each, in UTF-8 (one character a cell).
std::string Screen(const std::string& row1, const std::string& row2) {
  auto pad = [](const std::string& utf8) {
    size_t cells = 0;
    for (unsigned char c : utf8) cells += (c & 0xC0) != 0x80;
    return utf8 + std::string(cells < 16 ? 16 - cells : 0, ' ');
  };
  return "[" + pad(row1) + "][" + pad(row2) + "]";
}

// The display is pulled out: its writes fail from the next one on and it is listed no more.
void PullOut(DisplayRig& rig) {
  rig.hid.failWriteAt = rig.hid.writeAttempts + 1;
  rig.hid.unplugAtFail = true;
  rig.hid.interfaces[0].listed = HidEnumResult::kSkip;
}

// It comes back as a new interface (a new path, as the system names it again).
void PlugIn(DisplayRig& rig, const std::string& path) {
  rig.hid.failWriteAt = 0;
  rig.hid.unplugAtFail = false;
  rig.hid.interfaces.push_back(LcdInterface(path));
}

TEST(LcdHotPlug, ADisplayPluggedInAfterStartUpIsUsedAtOnce) {
  DisplayRig rig;
  ASSERT_FALSE(rig.display.OpenLcdDevice());  // nothing at start-up
  EXPECT_FALSE(rig.display.LcdInit(DisplayRig::kWindow));
  rig.display.LcdShowText("E-Mail ﾊ ﾄﾄﾞｲﾃｲﾏｾﾝ");
  EXPECT_FALSE(rig.display.RediscoverLcdDevice(DisplayRig::kWindow)) << "still nothing there";
  rig.hid.interfaces = {LcdInterface("lcd")};
  EXPECT_TRUE(rig.display.RediscoverLcdDevice(DisplayRig::kWindow));
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen(U8("E-Mail ﾊ ﾄﾄﾞｲﾃｲﾏ"), U8("ｾﾝ")));
  EXPECT_EQ(rig.window.timers[TIMER_LCDPAGE], kLcdPageMs) << "paging runs from now on";
  EXPECT_TRUE(rig.box.shown.empty());
  EXPECT_FALSE(rig.display.RediscoverLcdDevice(DisplayRig::kWindow)) << "one display is enough";
  EXPECT_EQ(rig.hid.OpenPaths().size(), 1u);
}

TEST(LcdHotPlug, PulledOutAndPluggedInAgainShowsTheCurrentPage) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  rig.display.LcdShowText("r0\nr1\nr2\nr3\n");
  rig.display.LcdNextPage();
  PullOut(rig);
  rig.display.LcdNextPage();  // fails: nothing is there to take it
  EXPECT_TRUE(rig.display.DropDeviceIfGone());
  EXPECT_EQ(rig.display.link().device, 0u);
  EXPECT_EQ(rig.display.link().outputReport, nullptr);
  EXPECT_EQ(rig.display.link().inputReport, nullptr);
  EXPECT_TRUE(rig.hid.OpenPaths().empty()) << "the handle is closed";
  EXPECT_TRUE(rig.box.shown.empty()) << "no error box";
  EXPECT_NE(rig.trace.all.find("LCD device removed"), std::string::npos);

  rig.display.LcdShowText("E-Mail ｶﾞ 2ｹﾝ\n1 : a@ex.org\n");  // a check while it was out
  PlugIn(rig, "lcd-again");
  EXPECT_TRUE(rig.display.RediscoverLcdDevice(DisplayRig::kWindow));
  EXPECT_EQ(rig.hid.OpenPaths(), std::multiset<std::string>{"lcd-again"});
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen(U8("E-Mail ｶﾞ 2ｹﾝ"), "1 : a@ex.org"));
  EXPECT_TRUE(rig.box.shown.empty());
}

TEST(LcdHotPlug, AWriteThatFailsOnceKeepsTheDisplayThatIsStillThere) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  rig.hid.failWriteAt = rig.hid.writeAttempts + 1;  // one report lost, the display stays
  rig.display.LcdShowText("abc");
  EXPECT_FALSE(rig.display.DropDeviceIfGone()) << "still listed: kept";
  EXPECT_FALSE(rig.display.RediscoverLcdDevice(DisplayRig::kWindow));
  EXPECT_NE(rig.display.link().device, 0u);
  rig.display.LcdShowText("abc");
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen("abc", ""));
}

TEST(LcdHotPlug, ARemovalMissedIsFoundAtTheNextArrival) {
  DisplayRig rig;
  ASSERT_TRUE(rig.Start());
  rig.display.LcdShowText("abc");
  PullOut(rig);
  rig.display.LcdShowText("xyz");  // fails; no removal was announced
  PlugIn(rig, "lcd-again");
  EXPECT_TRUE(rig.display.RediscoverLcdDevice(DisplayRig::kWindow));
  EXPECT_EQ(rig.hid.OpenPaths(), std::multiset<std::string>{"lcd-again"});
  EXPECT_EQ(rig.hid.lcd.ScreenUtf8(), Screen("xyz", ""));
  EXPECT_TRUE(rig.heap.live.size() == 3u) << "two report buffers and the rows, no more";
}

}  // namespace
}  // namespace kc
