// Row breaks, row slots and page stepping of the two-row display, as pure functions.
#include "lcd/lcd_rows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kc {
namespace {

const std::string k16 = "0123456789ABCDEF";

struct RowCase {
  const char* name;
  std::string text;
  int32_t breaks;
  size_t slots;                   // 17-byte slots of the rows block
  std::vector<std::string> rows;  // the first slots, in order; the rest are empty
};

std::vector<RowCase> RowCases() {
  return {
      {"Empty", "", 0, 4, {""}},
      {"ServerError", "POP3ｻｰﾊﾞｰｴﾗｰ", 0, 4, {"POP3ｻｰﾊﾞｰｴﾗｰ"}},
      // 18 bytes: the row ends by itself after the 16th.
      {"Checking", "E-Mail ｦ ﾁｪｯｸｼﾃｲﾏｽ", 1, 4, {"E-Mail ｦ ﾁｪｯｸｼﾃｲ", "ﾏｽ"}},
      {"Exactly16", k16, 1, 4, {k16, ""}},
      // A full row followed by a line end is followed by an empty row.
      {"FullRowThenLineEnd", k16 + "\nX\n", 3, 6, {k16, "", "X", ""}},
      {"OneRow", "row 0\n", 1, 4, {"row 0", ""}},
      {"TwoRows", "row 0\nrow 1\n", 2, 6, {"row 0", "row 1", ""}},
      {"ThreeRows", "row 0\nrow 1\nrow 2\n", 3, 6, {"row 0", "row 1", "row 2", ""}},
      {"FourRows", "r0\nr1\nr2\nr3\n", 4, 8, {"r0", "r1", "r2", "r3", ""}},
      {"FiveRows", "r0\nr1\nr2\nr3\nr4\n", 5, 8, {"r0", "r1", "r2", "r3", "r4", ""}},
      {"LastRowWithoutLineEnd", "r0\nr1\ntail", 2, 6, {"r0", "r1", "tail"}},
      {"OnlyLineEnds", "\n\n\n", 3, 6, {"", "", "", ""}},
      {"FifteenBytesAndLineEnd", k16.substr(0, 15) + "\n", 1, 4, {k16.substr(0, 15), ""}},
  };
}

void PrintTo(const RowCase& c, std::ostream* os) { *os << c.name; }

class RowBreaks : public ::testing::TestWithParam<RowCase> {};

TEST_P(RowBreaks, CountsBreaksSizesTheBlockAndFillsTheSlots) {
  const RowCase& c = GetParam();
  EXPECT_EQ(CountRowBreaks(c.text.c_str()), c.breaks);
  size_t slots = RowSlotCount(c.breaks + 1);
  EXPECT_EQ(slots, c.slots);

  std::vector<char> block(slots * kRowSlotSize, '\0');
  FillRowSlots(c.text.c_str(), block.data(), slots);
  for (size_t k = 0; k < slots; ++k) {
    const char* slot = block.data() + k * kRowSlotSize;
    EXPECT_EQ(slot[16], '\0') << "slot " << k;
    std::string expected = k < c.rows.size() ? c.rows[k] : "";
    EXPECT_EQ(std::string(slot), expected) << "slot " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, RowBreaks, ::testing::ValuesIn(RowCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RowSlots, BlockSizesFollowTheRowCount) {
  // Rows 1 to 6: 4, 4, 6, 6, 8, 8 slots of 17 bytes.
  EXPECT_EQ(RowSlotCount(1) * kRowSlotSize, 68u);
  EXPECT_EQ(RowSlotCount(2) * kRowSlotSize, 68u);
  EXPECT_EQ(RowSlotCount(3) * kRowSlotSize, 102u);
  EXPECT_EQ(RowSlotCount(4) * kRowSlotSize, 102u);
  EXPECT_EQ(RowSlotCount(5) * kRowSlotSize, 136u);
  EXPECT_EQ(RowSlotCount(6) * kRowSlotSize, 136u);
}

TEST(RowSlots, NeverWritesPastTheSlotsItIsGiven) {
  std::vector<char> block(2 * kRowSlotSize + 1, '\0');
  block.back() = 'Z';
  FillRowSlots("a\nb\nc\nd\n", block.data(), 2);
  EXPECT_STREQ(block.data(), "a");
  EXPECT_STREQ(block.data() + kRowSlotSize, "b");
  EXPECT_EQ(block.back(), 'Z');
}

TEST(Pages, StepDownOneRowAndStartAgainAfterTheLast) {
  // B breaks give the pages 0 .. B-2, one row further down each time.
  struct PageCase {
    int32_t breaks;
    std::vector<int32_t> sequence;  // page index from 0, one step per tick
  };
  for (const PageCase& c : std::vector<PageCase>{{3, {0, 1, 0, 1}},
                                                 {4, {0, 1, 2, 0, 1}},
                                                 {5, {0, 1, 2, 3, 0}},
                                                 {8, {0, 1, 2, 3, 4, 5, 6, 0}}}) {
    std::vector<int32_t> seen{0};
    while (seen.size() < c.sequence.size()) seen.push_back(NextPageIndex(seen.back(), c.breaks));
    EXPECT_EQ(seen, c.sequence) << "breaks " << c.breaks;
  }
  EXPECT_FALSE(IsPaged(2));
  EXPECT_TRUE(IsPaged(3));
}

}  // namespace
}  // namespace kc
