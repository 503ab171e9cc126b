// Report lengths from HID report descriptors, counted as HidP_GetCaps counts them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "posix/report_descriptor.h"
#include "support/fake_hid.h"

namespace kc {
namespace {

std::vector<uint8_t> Fixture(const std::string& name) {
  return test::LoadHexDescriptor(std::string(KC_FIXTURES) + "/" + name);
}

struct FixtureCase {
  const char* file;
  size_t bytes;  // of the descriptor, so a damaged fixture is noticed
  ReportLengths lengths;
};

TEST(ReportDescriptor, FixturesGiveTheLengthsWindowsReports) {
  for (const FixtureCase& c : std::vector<FixtureCase>{
           {"hid_lcd_vendor64.hex", 34, {65, 65, 0}},
           {"hid_report_ids.hex", 63, {9, 33, 3}},
           {"hid_boot_keyboard.hex", 63, {9, 2, 0}},
           {"hid_keyboard_mouse.hex", 121, {9, 2, 0}},
           {"hid_short_output.hex", 27, {9, 8, 0}},
       }) {
    std::vector<uint8_t> d = Fixture(c.file);
    EXPECT_EQ(d.size(), c.bytes) << c.file;
    ReportLengths got{};
    ASSERT_TRUE(ParseReportDescriptor(d.data(), d.size(), &got)) << c.file;
    EXPECT_EQ(got.input, c.lengths.input) << c.file;
    EXPECT_EQ(got.output, c.lengths.output) << c.file;
    EXPECT_EQ(got.feature, c.lengths.feature) << c.file;
  }
}

TEST(ReportDescriptor, TheBuiltInDisplayDescriptorMatchesItsFixture) {
  EXPECT_EQ(test::Vendor64Descriptor(), Fixture("hid_lcd_vendor64.hex"));
}

TEST(ReportDescriptor, PushPopLongItemsAndFourByteData) {
  const std::vector<uint8_t> d = {
      0x06, 0x00, 0xFF,                    // Usage Page (vendor)
      0x09, 0x01, 0xA1, 0x01,              // Usage, Collection (Application)
      0x75, 0x08, 0x95, 0x04,              //   Report Size 8, Count 4
      0xA4,                                //   Push
      0x97, 0x10, 0x00, 0x00, 0x00,        //   Report Count 16, as four data bytes
      0x91, 0x02,                          //   Output: 16 bytes
      0xB4,                                //   Pop: back to a count of 4
      0xFE, 0x02, 0x10, 0xAA, 0xBB,        //   a long item, skipped
      0x81, 0x02,                          //   Input: 4 bytes
      0x75, 0x01, 0x95, 0x03, 0xB1, 0x02,  //   Feature: 3 bits, a whole byte
      0xC0,
  };
  ReportLengths got{};
  ASSERT_TRUE(ParseReportDescriptor(d.data(), d.size(), &got));
  EXPECT_EQ(got.input, 5);
  EXPECT_EQ(got.output, 17);
  EXPECT_EQ(got.feature, 2);
}

TEST(ReportDescriptor, ItemsOfOneReportIdAddUpAcrossCollections) {
  const std::vector<uint8_t> d = {
      0x85, 0x07, 0x75, 0x08, 0x95, 0x03,  // Report ID 7, 3 bytes
      0xA1, 0x01, 0x91, 0x02, 0xC0,        // Output in one collection
      0xA1, 0x01, 0x91, 0x02, 0xC0,        // and 3 more bytes in another
  };
  ReportLengths got{};
  ASSERT_TRUE(ParseReportDescriptor(d.data(), d.size(), &got));
  EXPECT_EQ(got.output, 7);
  EXPECT_EQ(got.input, 0);
}

TEST(ReportDescriptor, RefusesMalformedDescriptors) {
  const std::vector<std::vector<uint8_t>> bad = {
      {0x75},                                                  // item cut before its data
      {0x27, 0xFF, 0xFF},                                      // four-byte item cut short
      {0xFE, 0x05, 0x10, 0x00},                                // long item cut short
      {0xB4},                                                  // Pop without Push
      {0x85, 0x00},                                            // report ID 0
      {0x75, 0xFF, 0x97, 0xFF, 0xFF, 0x00, 0x00, 0x91, 0x02},  // an output beyond 64 KiB
  };
  for (const auto& d : bad) {
    ReportLengths got{1, 1, 1};
    EXPECT_FALSE(ParseReportDescriptor(d.data(), d.size(), &got));
    EXPECT_EQ(got.input + got.output + got.feature, 0);
  }
  std::vector<uint8_t> deep(17, 0xA4);  // Push 17 times
  ReportLengths got{};
  EXPECT_FALSE(ParseReportDescriptor(deep.data(), deep.size(), &got));
  EXPECT_TRUE(ParseReportDescriptor(deep.data(), 16, &got));
}

TEST(ReportDescriptor, AnEmptyDescriptorHasNoReports) {
  ReportLengths got{1, 1, 1};
  EXPECT_TRUE(ParseReportDescriptor(nullptr, 0, &got));
  EXPECT_EQ(got.input + got.output + got.feature, 0);
}

}  // namespace
}  // namespace kc
