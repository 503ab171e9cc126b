// Code page 932: one lead-byte test for the whole program, and the character steps built on it.
#include "text/cp932.h"

#include <gtest/gtest.h>

#include <cstring>

#include "shell/launcher.h"

namespace kc::test {
namespace {

TEST(Cp932, LeadBytesAre81To9FAndE0ToFC) {
  for (int b = 0; b < 256; ++b) {
    bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    EXPECT_EQ(IsCp932Lead(static_cast<unsigned char>(b)), lead) << std::hex << b;
  }
}

struct LengthCase {
  const char* text;
  size_t length;
  size_t at;
  size_t expected;
};

TEST(Cp932, CharacterLengthStepsOverDoubleBytesOnly) {
  for (LengthCase c : {
           LengthCase{"a", 1, 0, 1}, LengthCase{"\x82\xA0", 2, 0, 2},  // a kanji-range pair
           LengthCase{"\xFC\x40", 2, 0, 2},                            // the last lead byte
           LengthCase{"\xFD\x40", 2, 0, 1},                            // 0xFD-0xFF stand alone
           LengthCase{"\xFF\x40", 2, 0, 1},
           LengthCase{"\xA0\x40", 2, 0, 1},  // between the two ranges
           LengthCase{"\xB1", 1, 0, 1},      // half-width katakana
           LengthCase{"x\x83", 2, 1, 1},     // a lead byte cut by the end
           LengthCase{"ab", 2, 2, 0},        // past the end
       }) {
    EXPECT_EQ(Cp932CharLength(c.text, c.length, c.at), c.expected) << c.text;
  }
  // Cutting a text never keeps half of a character; single bytes 0xFD-0xFF fit one by one.
  EXPECT_EQ(Cp932Fit("\xFD\xFE\xFF", 3, 2), 2u);
  EXPECT_EQ(Cp932Fit("a\xFC\x40", 3, 2), 1u);
}

TEST(Cp932, ProgramPathSplitsAfterA0xFDByteAsAfterAnyOther) {
  // 0xFD is no lead byte: the blank after it separates the arguments.
  char fullPath[260] = {};
  char args[260] = {};
  SplitProgramPath("C:\\Mail\\m\xFD.exe -x", fullPath, args);
  EXPECT_STREQ(fullPath, "C:\\Mail\\m\xFD.exe");
  EXPECT_STREQ(args, " -x");
}

}  // namespace
}  // namespace kc::test
