// The Linux HID layer over a simulated hidraw tree (sysfs files and device nodes in a
// temporary directory), driven by the unchanged display logic.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "posix/backends.h"
#include "support/fake_hid.h"

namespace kc {
namespace {

using test::SimHidTree;

std::vector<uint8_t> Fixture(const std::string& name) {
  return test::LoadHexDescriptor(std::string(KC_FIXTURES) + "/" + name);
}

class Hidraw : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tree.ok());
    tree.Export();
  }
  void TearDown() override {
    unsetenv("KESTOVA_SYSFS_ROOT");
    unsetenv("KESTOVA_DEV_ROOT");
  }

  // Each report written to node n, fed to an emulated controller.
  test::Hd44780 Screen(int n, size_t reportLength) {
    test::Hd44780 lcd;
    std::vector<uint8_t> bytes = tree.NodeBytes(n);
    EXPECT_EQ(bytes.size() % reportLength, 0u);
    for (size_t at = 0; at + reportLength <= bytes.size(); at += reportLength) {
      lcd.TakeReport(bytes.data() + at, reportLength);
    }
    return lcd;
  }

  SimHidTree tree;
  std::unique_ptr<HidPort> hid = posix::MakeHid();
  test::FakeWindow window;
  test::FakeTrace trace;
  test::FakeMessageBox box;
  Display display{DisplayPorts{*hid, window, trace, box}};
};

TEST_F(Hidraw, FindsTheDisplayAndWritesWholeReportsToItsNode) {
  ASSERT_TRUE(tree.Add(0, 0x046D, 0xC52B, Fixture("hid_keyboard_mouse.hex")));
  ASSERT_TRUE(tree.Add(1, 0x5E1C, 0x2A07, Fixture("hid_lcd_vendor64.hex")));
  EXPECT_TRUE(display.OpenLcdDevice());
  EXPECT_EQ(
      trace.lines,
      (std::vector<std::string>{
          "DevicePath : " + tree.NodePath(0) + " \n",
          " Structure size: 0c  Vendor ID: 046d  Product ID: c52b  Version Number: 0000 \n",
          "DevicePath : " + tree.NodePath(1) + " \n",
          " Structure size: 0c  Vendor ID: 5e1c  Product ID: 2a07  Version Number: 0000 \n"}));
  EXPECT_EQ(display.link().outputReportLength, 65u);
  EXPECT_EQ(display.link().inputReportLength, 65u);

  ASSERT_TRUE(display.LcdInit(0x10));
  display.LcdShowText("E-Mail ｦ ﾁｪｯｸｼﾃｲﾏｽ");
  std::vector<uint8_t> written = tree.NodeBytes(1);
  ASSERT_GE(written.size(), 65u * 3);
  EXPECT_EQ(std::vector<uint8_t>(written.begin(), written.begin() + 9),
            (std::vector<uint8_t>{0x00, 0x01, 0x01, 0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5}));
  EXPECT_EQ(Screen(1, 65).ScreenUtf8(),
            std::string(reinterpret_cast<const char*>(u8"[E-Mail ｦ ﾁｪｯｸｼﾃｲ][ﾏｽ              ]")));
  EXPECT_TRUE(tree.NodeBytes(0).empty()) << "nothing is written to other interfaces";
  EXPECT_TRUE(display.CloseLcdDevice());
}

TEST_F(Hidraw, NodesAreVisitedInNumericOrderAndTheFirstDisplayWins) {
  ASSERT_TRUE(tree.Add(10, 0x5E1C, 0x2A07, Fixture("hid_lcd_vendor64.hex")));
  ASSERT_TRUE(tree.Add(2, 0x5E1C, 0x2A07, Fixture("hid_lcd_vendor64.hex")));
  EXPECT_TRUE(display.OpenLcdDevice());
  ASSERT_EQ(trace.lines.size(), 2u);
  EXPECT_EQ(trace.lines[0], "DevicePath : " + tree.NodePath(2) + " \n");
  ASSERT_TRUE(display.LcdInit(0x10));
  EXPECT_EQ(tree.NodeBytes(2).size(), 21u * 65);
  EXPECT_TRUE(tree.NodeBytes(10).empty());
}

TEST_F(Hidraw, TheRightVendorWithAnotherProductIsNotUsed) {
  ASSERT_TRUE(tree.Add(0, 0x5E1C, 0x2A08, Fixture("hid_lcd_vendor64.hex")));
  EXPECT_FALSE(display.OpenLcdDevice());
  EXPECT_EQ(trace.lines.size(), 2u);
  EXPECT_EQ(display.link().device, 0u);
}

TEST_F(Hidraw, NoHidrawDevicesAtAll) {
  EXPECT_FALSE(display.OpenLcdDevice());
  EXPECT_TRUE(trace.lines.empty());
  EXPECT_TRUE(box.shown.empty());
}

TEST_F(Hidraw, NoHidrawClassInSysfs) {
  setenv("KESTOVA_SYSFS_ROOT", (tree.root() + "/nowhere").c_str(), 1);
  EXPECT_FALSE(display.OpenLcdDevice());
  EXPECT_TRUE(trace.lines.empty());
}

TEST_F(Hidraw, AnInterfaceWhoseNodeCannotBeOpenedIsSkipped) {
  ASSERT_TRUE(
      tree.Add(0, 0x5E1C, 0x2A07, Fixture("hid_lcd_vendor64.hex"), SimHidTree::Node::kNone));
  ASSERT_TRUE(tree.Add(1, 0x5E1C, 0x2A07, Fixture("hid_lcd_vendor64.hex")));
  EXPECT_TRUE(display.OpenLcdDevice());
  EXPECT_EQ(trace.lines.size(), 3u);  // the path of hidraw0, then both lines of hidraw1
}

TEST_F(Hidraw, ReportLengthsFollowTheDescriptorWithReportIds) {
  ASSERT_TRUE(tree.Add(0, 0x5E1C, 0x2A07, Fixture("hid_report_ids.hex")));
  EXPECT_TRUE(display.OpenLcdDevice());
  EXPECT_EQ(display.link().outputReportLength, 33u);
  EXPECT_EQ(display.link().inputReportLength, 9u);
  ASSERT_TRUE(display.LcdInit(0x10));
  EXPECT_EQ(tree.NodeBytes(0).size(), 21u * 33);
}

TEST_F(Hidraw, ADeviceWithTooShortAnOutputReportIsNotUsed) {
  ASSERT_TRUE(tree.Add(0, 0x5E1C, 0x2A07, Fixture("hid_short_output.hex")));
  EXPECT_FALSE(display.OpenLcdDevice());
  EXPECT_EQ(trace.lines.back(),
            "LCD device output report of 8 bytes is shorter than 9; device not used\r\n");
  EXPECT_FALSE(display.LcdInit(0x10));
  EXPECT_TRUE(tree.NodeBytes(0).empty());
}

TEST_F(Hidraw, AMalformedDescriptorLeavesTheDeviceUnused) {
  ASSERT_TRUE(tree.Add(0, 0x5E1C, 0x2A07, {0x06, 0x00}));
  EXPECT_FALSE(display.OpenLcdDevice());
  EXPECT_EQ(trace.lines.back(), "LCD device report lengths could not be read; device not used\r\n");
}

TEST_F(Hidraw, WritesThatFailLeaveTheProgramRunning) {
  // /dev/full opens for reading and writing, and refuses every write, as a display that was
  // pulled out after start does.
  ASSERT_TRUE(tree.Add(0, 0x5E1C, 0x2A07, Fixture("hid_lcd_vendor64.hex")));
  ASSERT_TRUE(tree.LinkNode(0, "/dev/full"));
  EXPECT_TRUE(display.OpenLcdDevice());
  EXPECT_FALSE(display.LcdInit(0x10));
  display.LcdShowText("E-Mail ｦ ﾁｪｯｸｼﾃｲﾏｽ");
  EXPECT_FALSE(display.LcdShowLines("a", "b"));
  EXPECT_TRUE(display.LcdShutdown(0x10));
  EXPECT_TRUE(display.FreeReportBuffers());
  EXPECT_TRUE(display.CloseLcdDevice());
}

TEST_F(Hidraw, AFifoNobodyReadsFailsWritesInsteadOfBlocking) {
  ASSERT_TRUE(
      tree.Add(0, 0x5E1C, 0x2A07, Fixture("hid_lcd_vendor64.hex"), SimHidTree::Node::kFifo));
  EXPECT_TRUE(display.OpenLcdDevice());
  ASSERT_TRUE(display.LcdInit(0x10));  // the pipe holds the first reports
  int failures = 0;
  for (int i = 0; i < 200 && failures == 0; ++i) failures += display.LcdShowLines("", "") ? 0 : 1;
  EXPECT_EQ(failures, 1) << "a full pipe refuses the write";
  EXPECT_TRUE(display.CloseLcdDevice());
}

}  // namespace
}  // namespace kc
