// Reassembly of server bytes into responses: split and merged receives, both modes, the
// 4,096-byte bound and NUL bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pop3/framing.h"

namespace kc {
namespace {

// Appends each receive and frames what is complete after it, in a fixed mode. The result
// lists the responses found after each receive, the receives separated by '|'.
std::string FrameAll(int32_t mode, const std::vector<std::string>& receives, FramingState& s) {
  std::string out;
  s.singleLineMode = mode;
  for (size_t i = 0; i < receives.size(); ++i) {
    if (i != 0) out += "|";
    EXPECT_TRUE(AppendReceived(s, receives[i].data(), receives[i].size()));
    Frame f{};
    bool first = true;
    while (FindResponse(s, &f)) {
      if (!first) out += ",";
      first = false;
      out += CutResponse(s, f);
      ConsumeResponse(s, f);
    }
  }
  return out;
}

struct FrameCase {
  const char* name;
  int32_t mode;
  std::vector<std::string> receives;
  std::string responses;
  std::string leftover;
};

void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

class Framing : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Framing, FindsEachResponseWhenItIsComplete) {
  const FrameCase& c = GetParam();
  FramingState s;
  EXPECT_EQ(FrameAll(c.mode, c.receives, s), c.responses);
  EXPECT_EQ(std::string(s.responseBuffer), c.leftover);
  EXPECT_EQ(s.responseLength, c.leftover.size());
}

INSTANTIATE_TEST_SUITE_P(
    Pop3, Framing,
    ::testing::Values(
        FrameCase{
            "GreetingSplitOverTwoReceives", 1, {"+OK PO", "P3 ready\r\n"}, "|+OK POP3 ready\r", ""},
        FrameCase{"TwoLinesInOneReceive", 1, {"+OK a\r\n+OK b\r\n"}, "+OK a\r,+OK b\r", ""},
        FrameCase{"LineAndAHalf", 1, {"+OK a\r\n+OK", " b\r\n"}, "+OK a\r|+OK b\r", ""},
        FrameCase{"EmptyLineIsAResponse", 1, {"\r\n"}, "\r", ""},
        FrameCase{"BareLineFeedEndsALine", 1, {"+OK\n-ERR\n"}, "+OK,-ERR", ""},
        FrameCase{"LineWithoutLineFeedWaits", 1, {"+OK 2 320\r"}, "", "+OK 2 320\r"},
        FrameCase{"HeaderBlockEndsAtDotLine",
                  0,
                  {"+OK\r\nFrom: a@b\r\n\r\n.\r\n"},
                  "+OK\r\nFrom: a@b\r\n",
                  ""},
        FrameCase{"TerminatorSplitThreeWays",
                  0,
                  {"+OK\r\nX: y\r\n\r", "\n.\r", "\n"},
                  "||+OK\r\nX: y\r\n",
                  ""},
        FrameCase{"LineFeedsInsideTheBlockDoNotEndIt",
                  0,
                  {"+OK\r\nA: 1\r\n", "B: 2\r\n"},
                  "|",
                  "+OK\r\nA: 1\r\nB: 2\r\n"},
        FrameCase{"BytesAfterTheTerminatorStay",
                  0,
                  {"+OK\r\nX: y\r\n\r\n.\r\n+OK\r\nZ"},
                  "+OK\r\nX: y\r\n",
                  "+OK\r\nZ"},
        FrameCase{"EmptyBlock", 0, {"+OK\r\n.\r\n"}, "+OK", ""},
        FrameCase{"NegativeReplyIsOneLineInMultiLineMode",
                  0,
                  {"-ERR no such message\r\n"},
                  "-ERR no such message\r",
                  ""},
        FrameCase{"NegativeReplyWaitsForItsLineFeed",
                  0,
                  {"-ERR no", " such message\r\n"},
                  "|-ERR no such message\r",
                  ""},
        FrameCase{
            "NegativeReplyLeavesTheRest", 0, {"-ERR x\r\n+OK bye\r\n"}, "-ERR x\r", "+OK bye\r\n"}),
    [](const ::testing::TestParamInfo<FrameCase>& info) { return info.param.name; });

TEST(Framing, ModeChangedWhileHandlingGovernsTheRestOfTheBuffer) {
  // The STAT reply and the first TOP reply arrive in one receive; the mode switches after the
  // first response, as the session does when it sends TOP.
  FramingState s;
  std::string bytes = "+OK 1 99\r\n+OK\r\nFrom: a@b\r\n\r\n.\r\n";
  ASSERT_TRUE(AppendReceived(s, bytes.data(), bytes.size()));
  std::vector<std::string> got;
  Frame f{};
  while (FindResponse(s, &f)) {
    got.emplace_back(CutResponse(s, f));
    ConsumeResponse(s, f);
    s.singleLineMode = 0;
  }
  EXPECT_EQ(got, (std::vector<std::string>{"+OK 1 99\r", "+OK\r\nFrom: a@b\r\n"}));
  EXPECT_EQ(s.responseLength, 0u);
}

TEST(Framing, AcceptsExactly4096Bytes) {
  FramingState s;
  std::string gathered(4000, 'a');
  ASSERT_TRUE(AppendReceived(s, gathered.data(), gathered.size()));
  std::string more(96, 'b');
  ASSERT_TRUE(AppendReceived(s, more.data(), more.size()));
  EXPECT_EQ(s.responseLength, 4096u);
  EXPECT_EQ(s.responseBuffer[4096], '\0');
  EXPECT_EQ(std::string(s.responseBuffer), gathered + more);
}

TEST(Framing, DiscardsEverythingOneByteBeyond) {
  FramingState s;
  std::string gathered(4000, 'a');
  ASSERT_TRUE(AppendReceived(s, gathered.data(), gathered.size()));
  std::string more(97, 'b');
  EXPECT_FALSE(AppendReceived(s, more.data(), more.size()));
  EXPECT_EQ(s.responseLength, 0u);
  EXPECT_EQ(s.responseBuffer[0], '\0');
  // Framing starts afresh with the next bytes.
  std::string next = "+OK\r\n";
  ASSERT_TRUE(AppendReceived(s, next.data(), next.size()));
  Frame f{};
  ASSERT_TRUE(FindResponse(s, &f));
  EXPECT_STREQ(CutResponse(s, f), "+OK\r");
}

TEST(Framing, OverrunIsJudgedByTheBytesReceivedNotTheTextKept) {
  // A NUL cuts the text, yet the bound counts every byte of the receive, as received.
  FramingState s;
  std::string gathered(4000, 'a');
  ASSERT_TRUE(AppendReceived(s, gathered.data(), gathered.size()));
  std::string more = "x" + std::string(1, '\0') + std::string(95, 'y');
  EXPECT_FALSE(AppendReceived(s, more.data(), more.size()));
}

TEST(Framing, NulCutsTheRestOfThatReceive) {
  FramingState s;
  std::string bytes = std::string("+OK a") + '\0' + "junk\r\n";
  ASSERT_TRUE(AppendReceived(s, bytes.data(), bytes.size()));
  EXPECT_EQ(s.responseLength, 5u);
  Frame f{};
  EXPECT_FALSE(FindResponse(s, &f));
  std::string rest = " b\r\n";
  ASSERT_TRUE(AppendReceived(s, rest.data(), rest.size()));
  ASSERT_TRUE(FindResponse(s, &f));
  EXPECT_STREQ(CutResponse(s, f), "+OK a b\r");
}

TEST(Framing, ResetGivesSingleLineAndAnEmptyBuffer) {
  FramingState s;
  std::string bytes = "+OK\r\npartial";
  AppendReceived(s, bytes.data(), bytes.size());
  s.singleLineMode = 0;
  s.Reset();
  EXPECT_EQ(s.singleLineMode, 1);
  EXPECT_EQ(s.responseLength, 0u);
  EXPECT_EQ(s.responseBuffer[0], '\0');
}

}  // namespace
}  // namespace kc
