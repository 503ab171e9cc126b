// Finding the display among the HID interfaces, its report buffers, and closing it.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/fake_hid.h"

namespace kc {
namespace {

using test::DisplayRig;
using test::FakeInterface;
using test::LcdInterface;

FakeInterface Other(const std::string& path, uint16_t vendor, uint16_t product) {
  FakeInterface i;
  i.path = path;
  i.vendorId = vendor;
  i.productId = product;
  i.versionNumber = 0x0111;
  return i;
}

std::string PathLine(const std::string& path) { return "DevicePath : " + path + " \n"; }

std::string AttributesLine(const char* vendor, const char* product, const char* version) {
  return std::string(" Structure size: 0c  Vendor ID: ") + vendor + "  Product ID: " + product +
         "  Version Number: " + version + " \n";
}

TEST(FindLcdDevice, TheFirstMatchingInterfaceWinsAndLaterOnesAreNotVisited) {
  DisplayRig rig;
  rig.hid.interfaces = {Other("kbd", 0x046D, 0xC31C), LcdInterface("lcd-a"), LcdInterface("lcd-b")};
  EXPECT_TRUE(rig.display.OpenLcdDevice());
  EXPECT_EQ(rig.trace.lines,
            (std::vector<std::string>{PathLine("kbd"), AttributesLine("046d", "c31c", "0111"),
                                      PathLine("lcd-a"), AttributesLine("5e1c", "2a07", "0100")}));
  EXPECT_EQ(rig.hid.OpenPaths(), std::multiset<std::string>{"lcd-a"});
  EXPECT_FALSE(rig.hid.enumerating());
  for (const std::string& call : rig.hid.calls) EXPECT_NE(call, "path 2");
  EXPECT_TRUE(rig.box.shown.empty());
}

TEST(FindLcdDevice, ADisplayFirstInTheListTracesExactlyTwoLines) {
  DisplayRig rig;
  rig.hid.interfaces = {LcdInterface(
      "\\\\?\\hid#vid_5e1c&pid_2a07#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}")};
  EXPECT_TRUE(rig.display.OpenLcdDevice());
  EXPECT_EQ(rig.trace.all,
            "DevicePath : \\\\?\\hid#vid_5e1c&pid_2a07#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-"
            "001111000030} \n Structure size: 0c  Vendor ID: 5e1c  Product ID: 2a07  Version "
            "Number: 0100 \n");
}

TEST(FindLcdDevice, NoInterfaceAtAll) {
  DisplayRig rig;
  EXPECT_FALSE(rig.display.OpenLcdDevice());
  EXPECT_TRUE(rig.trace.lines.empty());
  EXPECT_EQ(rig.heap.allocations, 0);
  EXPECT_EQ(rig.display.link().device, 0u);
  EXPECT_EQ(rig.display.link().outputReport, nullptr);
  EXPECT_FALSE(rig.hid.enumerating());
}

TEST(FindLcdDevice, OnlyBothIdentifiersTogetherMatch) {
  DisplayRig rig;
  rig.hid.interfaces = {Other("same-vendor", 0x5E1C, 0x2A08), Other("same-product", 0x5E1D, 0x2A07),
                        Other("swapped", 0x2A07, 0x5E1C)};
  EXPECT_FALSE(rig.display.OpenLcdDevice());
  EXPECT_EQ(rig.trace.lines.size(), 6u);
  EXPECT_TRUE(rig.hid.OpenPaths().empty()) << "every examined interface is closed";
  EXPECT_EQ(rig.hid.calls.back(), "end");
}

TEST(FindLcdDevice, UnreadableInterfacesAreSkipped) {
  DisplayRig rig;
  FakeInterface unlisted = LcdInterface("unlisted");
  unlisted.listed = HidEnumResult::kSkip;
  FakeInterface closedToUs = LcdInterface("no-access");
  closedToUs.openFails = true;
  FakeInterface mute = LcdInterface("no-attributes");
  mute.attributesFail = true;
  rig.hid.interfaces = {unlisted, closedToUs, mute, LcdInterface("lcd")};
  EXPECT_TRUE(rig.display.OpenLcdDevice());
  // The path is traced before the interface is opened; the attributes only once read.
  EXPECT_EQ(rig.trace.lines,
            (std::vector<std::string>{PathLine("no-access"), PathLine("no-attributes"),
                                      PathLine("lcd"), AttributesLine("5e1c", "2a07", "0100")}));
  EXPECT_EQ(rig.hid.OpenPaths(), std::multiset<std::string>{"lcd"});
}

TEST(FindLcdDevice, AListingThatNeverEndsIsGivenUp) {
  DisplayRig rig;
  FakeInterface broken;
  broken.listed = HidEnumResult::kSkip;
  rig.hid.interfaces.assign(1000, broken);
  rig.hid.interfaces.push_back(LcdInterface());
  EXPECT_FALSE(rig.display.OpenLcdDevice());
  EXPECT_EQ(rig.trace.all, "HID interface search stopped after 256 unreadable interfaces\r\n");
  EXPECT_FALSE(rig.hid.enumerating());
}

TEST(OpenLcdDevice, AMissingHidLibraryShowsTheBoxAndFindsNothing) {
  DisplayRig rig;
  rig.hid.loadFails = true;
  rig.hid.interfaces = {LcdInterface()};
  EXPECT_FALSE(rig.display.OpenLcdDevice());
  ASSERT_EQ(rig.box.shown.size(), 1u);
  EXPECT_EQ(rig.box.shown[0].owner, 0u);
  EXPECT_EQ(rig.box.shown[0].text, "ライブラリのロードに失敗しました。");
  EXPECT_EQ(rig.box.shown[0].caption, "KESTOVA");
  EXPECT_TRUE(rig.hid.OpenPaths().empty());
  EXPECT_TRUE(rig.trace.lines.empty());
  // The program goes on without a display.
  EXPECT_FALSE(rig.display.LcdInit(DisplayRig::kWindow));
  rig.display.LcdShowText("E-Mail ｦ ﾁｪｯｸｼﾃｲﾏｽ");
  EXPECT_EQ(rig.hid.writeAttempts, 0);
}

TEST(OpenLcdDevice, BuffersAreZeroFilledAndSizedFromTheReportLengths) {
  DisplayRig rig;
  FakeInterface lcd = LcdInterface();
  lcd.inputLength = 33;
  lcd.outputLength = 65;
  rig.hid.interfaces = {lcd};
  EXPECT_TRUE(rig.display.OpenLcdDevice());
  const LcdLink& link = rig.display.link();
  EXPECT_NE(link.device, 0u);
  EXPECT_EQ(link.outputReportLength, 65u);
  EXPECT_EQ(link.inputReportLength, 33u);
  EXPECT_EQ(std::vector<uint8_t>(link.outputReport, link.outputReport + 65),
            std::vector<uint8_t>(65));
  EXPECT_EQ(std::vector<uint8_t>(link.inputReport, link.inputReport + 33),
            std::vector<uint8_t>(33));
  EXPECT_EQ(rig.heap.sizes, (std::vector<size_t>{65, 33}));

  EXPECT_TRUE(rig.display.FreeReportBuffers());
  EXPECT_EQ(link.outputReport, nullptr);
  EXPECT_EQ(link.inputReport, nullptr);
  EXPECT_TRUE(rig.heap.live.empty());
  EXPECT_TRUE(rig.display.FreeReportBuffers()) << "nothing to free is fine";
  EXPECT_TRUE(rig.display.CloseLcdDevice());
  EXPECT_EQ(link.device, 0u);
  EXPECT_TRUE(rig.hid.OpenPaths().empty());
  EXPECT_FALSE(rig.display.CloseLcdDevice()) << "a second close closes nothing";
  EXPECT_EQ(rig.hid.calls.back(), "close " + lcd.path);
}

TEST(OpenLcdDevice, AnOutputReportShorterThanNineBytesIsNotUsed) {
  for (uint16_t length : {0, 1, 8}) {
    DisplayRig rig;
    FakeInterface lcd = LcdInterface();
    lcd.outputLength = length;
    rig.hid.interfaces = {lcd};
    EXPECT_FALSE(rig.display.OpenLcdDevice());
    EXPECT_EQ(rig.trace.lines.back(), "LCD device output report of " + std::to_string(length) +
                                          " bytes is shorter than 9; device not used\r\n");
    EXPECT_TRUE(rig.hid.OpenPaths().empty());
    EXPECT_EQ(rig.display.link().device, 0u);
    EXPECT_EQ(rig.heap.allocations, 0);
    EXPECT_FALSE(rig.display.LcdInit(DisplayRig::kWindow));
    EXPECT_EQ(rig.hid.writeAttempts, 0);
  }
  // Nine bytes carry the whole command.
  DisplayRig rig;
  EXPECT_TRUE(rig.Start(9));
  EXPECT_TRUE(rig.display.LcdWrite(0x41, 1));
  EXPECT_EQ(rig.hid.reports[0],
            (std::vector<uint8_t>{0, 1, 0x41, 0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5}));
}

TEST(OpenLcdDevice, UnreadableReportLengthsLeaveTheDeviceUnused) {
  DisplayRig rig;
  FakeInterface lcd = LcdInterface();
  lcd.capsFail = true;
  rig.hid.interfaces = {lcd};
  EXPECT_FALSE(rig.display.OpenLcdDevice());
  EXPECT_EQ(rig.trace.lines.back(),
            "LCD device report lengths could not be read; device not used\r\n");
  EXPECT_TRUE(rig.hid.OpenPaths().empty());
}

TEST(OpenLcdDevice, NoMemoryForTheReportBuffersMeansNoDisplay) {
  // Either allocation failing leaves nothing held: no buffer and no open device.
  for (int failAt : {1, 2}) {
    SCOPED_TRACE(failAt == 1 ? "output report buffer" : "input report buffer");
    DisplayRig rig;
    rig.hid.interfaces = {LcdInterface()};
    rig.heap.failAt = failAt;
    EXPECT_FALSE(rig.display.OpenLcdDevice());
    EXPECT_EQ(rig.trace.lines.back(),
              "LCD report buffers could not be allocated; running without the display\r\n");
    EXPECT_EQ(rig.display.link().outputReport, nullptr);
    EXPECT_EQ(rig.display.link().inputReport, nullptr);
    EXPECT_TRUE(rig.heap.live.empty());
    EXPECT_TRUE(rig.hid.OpenPaths().empty());
    EXPECT_FALSE(rig.display.LcdInit(DisplayRig::kWindow));
    rig.display.LcdShowText("POP3ｻｰﾊﾞｰｴﾗｰ");
    rig.display.LcdNextPage();
    EXPECT_EQ(rig.hid.writeAttempts, 0);
    EXPECT_TRUE(rig.display.LcdShutdown(DisplayRig::kWindow));
    EXPECT_TRUE(rig.display.FreeReportBuffers());
    EXPECT_FALSE(rig.display.CloseLcdDevice());  // closed already
  }
}

TEST(Display, ReleasesWhatIsStillHeldWhenItGoesAway) {
  test::FakeHeap heap;
  test::FakeHid hid;
  {
    test::FakeWindow window;
    test::FakeTrace trace;
    test::FakeMessageBox box;
    Display display({hid, window, trace, box}, heap);
    hid.interfaces = {LcdInterface()};
    ASSERT_TRUE(display.OpenLcdDevice());
    display.LcdShowText("a\nb\nc\nd\n");
    EXPECT_EQ(heap.live.size(), 3u);
  }
  EXPECT_TRUE(heap.live.empty());
  EXPECT_TRUE(hid.OpenPaths().empty());
}

}  // namespace
}  // namespace kc
