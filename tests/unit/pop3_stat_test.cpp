// The numbers of the reply to STAT.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "pop3/stat_reply.h"

namespace kc {
namespace {

struct StatCase {
  const char* reply;
  bool ok;
  int32_t count;
  int64_t size;
};

TEST(StatReply, TakesAValidCountWhateverTheSize) {
  const StatCase cases[] = {
      {"+OK 2 320\r", true, 2, 320},
      {"+OK 0 0\r", true, 0, 0},
      {"  +OK \t7  12 and more", true, 7, 12},
      {"+OK +4 +5", true, 4, 5},
      {"+OK 2147483647 1", true, 2147483647, 1},
      {"+OK 3 99999999999999999999999", true, 3, INT64_MAX},
      {"+OK 1 5000000000", true, 1, 5000000000LL},
      {"+OK\r", false, 0, 0},
      {"+OK 5\r", true, 5, 0},
      {"+OK 5", true, 5, 0},
      {"+OK 2 -", true, 2, 0},
      {"+OK 2 many", true, 2, 0},
      {"+OK five 5", false, 0, 0},
      {"+OK 3abc 4", false, 0, 0},
      {"+OK3 4", true, 4, 0},  // the status word is whatever comes before the first blank
      {"+OK -1 10", false, 0, 0},
      {"+OK 2147483648 1", false, 0, 0},
      {"+OK 2 -1", true, 2, -1},
      {"+OK -0 3", true, 0, 3},
      {"+OK 99999999999 3", false, 0, 0},
      {"", false, 0, 0},
  };
  for (const StatCase& c : cases) {
    int32_t count = -7;
    int64_t size = -7;
    EXPECT_EQ(ParseStatReply(c.reply, &count, &size), c.ok) << c.reply;
    EXPECT_EQ(count, c.count) << c.reply;
    EXPECT_EQ(size, c.size) << c.reply;
  }
}

TEST(StatReply, FormatsSizesInDecimal) {
  char text[21];
  FormatDecimal(0, text);
  EXPECT_STREQ(text, "0");
  FormatDecimal(320, text);
  EXPECT_STREQ(text, "320");
  FormatDecimal(INT64_MAX, text);
  EXPECT_STREQ(text, "9223372036854775807");
  FormatDecimal(-1, text);
  EXPECT_STREQ(text, "-1");
  FormatDecimal(INT64_MIN, text);
  EXPECT_STREQ(text, "-9223372036854775808");
}

}  // namespace
}  // namespace kc
