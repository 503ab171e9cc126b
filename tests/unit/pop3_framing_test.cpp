// Reassembly of server bytes into responses: split and merged receives, both modes, the
// 4,096-byte bound of single lines, multi-line replies of any length and NUL bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pop3/framing.h"

namespace kc {
namespace {

// Records what the framing hands on.
struct RecordingSink final : FrameSink {
  std::vector<std::string> responses;
  std::vector<bool> continued;
  std::string settled;                       // bytes of the long reply under way
  std::vector<std::string> settledPerReply;  // what was settled before each response
  FramingState* singleLineAfter = nullptr;   // switched to single lines after a response
  bool OnResponse(char* text, const Frame& frame) override {
    if (singleLineAfter != nullptr) singleLineAfter->singleLineMode = 1;
    responses.emplace_back(text, frame.length);
    continued.push_back(frame.continued);
    settledPerReply.push_back(settled);
    settled.clear();
    return true;
  }
  void OnSettled(const char* bytes, size_t n) override { settled.append(bytes, n); }
};

// Feeds each receive and frames what is complete after it, in a fixed mode. The result
// lists the responses found after each receive, the receives separated by '|'.
std::string FrameAll(int32_t mode, const std::vector<std::string>& receives, FramingState& s) {
  std::string out;
  s.singleLineMode = mode;
  for (size_t i = 0; i < receives.size(); ++i) {
    if (i != 0) out += "|";
    RecordingSink sink;
    EXPECT_EQ(FeedReceived(s, receives[i].data(), receives[i].size(), sink), FeedResult::kOk);
    for (size_t k = 0; k < sink.responses.size(); ++k) {
      if (k != 0) out += ",";
      out += sink.responses[k];
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
        // Dots that are not the whole of a line, and a dot line whose line end comes later.
        FrameCase{"DotsInsideTheBlockDoNotEndIt",
                  0,
                  {"+OK\r\n.\r.\n..x\r\nA: a.b.\r\n.", "\r\n"},
                  "|+OK\r\n.\r.\n..x\r\nA: a.b.",
                  ""},
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
  ASSERT_EQ(AppendReceived(s, bytes.data(), bytes.size()), bytes.size());
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

TEST(Framing, SingleLineOf4096BytesFitsOneMoreIsAnOverrun) {
  FramingState s;
  RecordingSink sink;
  std::string gathered(4000, 'a');
  ASSERT_EQ(FeedReceived(s, gathered.data(), gathered.size(), sink), FeedResult::kOk);
  std::string more(96, 'b');
  ASSERT_EQ(FeedReceived(s, more.data(), more.size(), sink), FeedResult::kOk);
  EXPECT_EQ(s.responseLength, 4096u);
  EXPECT_EQ(s.responseBuffer[4096], '\0');
  EXPECT_EQ(std::string(s.responseBuffer), gathered + more);
  // One byte more without a line feed: the line cannot fit and everything is dropped.
  EXPECT_EQ(FeedReceived(s, "c", 1, sink), FeedResult::kOverrun);
  EXPECT_EQ(s.responseLength, 0u);
  EXPECT_EQ(s.responseBuffer[0], '\0');
  EXPECT_TRUE(sink.responses.empty());
  // Framing starts afresh with the next bytes.
  ASSERT_EQ(FeedReceived(s, "+OK\r\n", 5, sink), FeedResult::kOk);
  EXPECT_EQ(sink.responses, (std::vector<std::string>{"+OK\r"}));
}

TEST(Framing, ManyLinesInOneFullReceiveAreNoOverrun) {
  // Complete lines make room as they are handed on, whatever was gathered before them.
  FramingState s;
  RecordingSink sink;
  std::string partial(100, 'p');
  ASSERT_EQ(FeedReceived(s, partial.data(), partial.size(), sink), FeedResult::kOk);
  std::string lines = "\r\n";
  while (lines.size() < 4096) lines += "+OK line\r\n";
  lines.resize(4096);
  ASSERT_EQ(FeedReceived(s, lines.data(), lines.size(), sink), FeedResult::kOk);
  EXPECT_EQ(sink.responses.front(), partial + "\r");
}

TEST(Framing, NulBytesAreDataLikeAnyOther) {
  FramingState s;
  RecordingSink sink;
  std::string bytes = std::string("+OK a") + '\0' + "junk\r\n";
  ASSERT_EQ(FeedReceived(s, bytes.data(), bytes.size(), sink), FeedResult::kOk);
  ASSERT_EQ(sink.responses.size(), 1u);
  EXPECT_EQ(sink.responses[0], std::string("+OK a") + '\0' + "junk\r");
  // A terminator after a NUL in the same receive is found.
  s.singleLineMode = 0;
  std::string block = std::string("+OK\r\nX: ") + '\0' + "\r\nFrom: a@b\r\n\r\n.\r\n";
  ASSERT_EQ(FeedReceived(s, block.data(), block.size(), sink), FeedResult::kOk);
  ASSERT_EQ(sink.responses.size(), 2u);
  EXPECT_EQ(sink.responses[1], block.substr(0, block.size() - 5));
  EXPECT_EQ(s.responseLength, 0u);
}

// A reply to TOP of `size` bytes, terminator included, that ends with From: and a blank line.
std::string TopReply(size_t size) {
  std::string head = "+OK\r\n";
  std::string end = "From: a@b\r\n\r\n.\r\n";
  std::string filler;
  while (head.size() + filler.size() + end.size() < size) {
    filler += "Received: by mx.example.org with SMTP id 123456789abcdef\r\n";
  }
  size_t room = size - head.size() - end.size();
  filler.resize(room);
  if (room >= 2) filler.replace(room - 2, 2, "\r\n");
  return head + filler + end;
}

struct LongCase {
  size_t size;
  size_t receive;  // bytes per receive
};

class LongReply : public ::testing::TestWithParam<LongCase> {};

TEST_P(LongReply, IsReadToItsEndWithTheBytesAfterItKept) {
  const LongCase& c = GetParam();
  std::string reply = TopReply(c.size);
  ASSERT_EQ(reply.size(), c.size);
  std::string stream = reply + "+OK bye\r\n";
  FramingState s;
  s.singleLineMode = 0;
  RecordingSink sink;
  sink.singleLineAfter = &s;  // as the session does after the reply to the last TOP
  for (size_t at = 0; at < stream.size(); at += c.receive) {
    size_t n = std::min(c.receive, stream.size() - at);
    ASSERT_EQ(FeedReceived(s, stream.data() + at, n, sink), FeedResult::kOk) << at;
  }
  ASSERT_EQ(sink.responses.size(), 2u);
  // What was handed on early and the rest make up the whole reply, terminator excluded.
  EXPECT_EQ(sink.settledPerReply[0] + sink.responses[0], reply.substr(0, reply.size() - 5));
  EXPECT_EQ(sink.continued[0], c.size > kResponseBufferSize);
  EXPECT_EQ(sink.responses[1], "+OK bye\r");
  EXPECT_EQ(s.droppedLength, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Pop3, LongReply,
    ::testing::Values(LongCase{4095, 4096}, LongCase{4096, 4096}, LongCase{4097, 4096},
                      LongCase{9000, 4096}, LongCase{40000, 4096}, LongCase{1000000, 4096},
                      LongCase{9000, 1}, LongCase{9000, 1460}, LongCase{40000, 4095}),
    [](const ::testing::TestParamInfo<LongCase>& info) {
      return std::to_string(info.param.size) + "BytesIn" + std::to_string(info.param.receive);
    });

TEST(Framing, TerminatorIsFoundAcrossEveryBoundaryOfALongReply) {
  // The terminator straddles the point where the full buffer makes room, and the end of a
  // receive, at every offset.
  for (size_t size = 4090; size <= 4106; ++size) {
    for (size_t cut = size - 7; cut <= size; ++cut) {
      std::string reply = TopReply(size);
      FramingState s;
      s.singleLineMode = 0;
      RecordingSink sink;
      ASSERT_EQ(FeedReceived(s, reply.data(), cut, sink), FeedResult::kOk);
      ASSERT_EQ(FeedReceived(s, reply.data() + cut, size - cut, sink), FeedResult::kOk);
      ASSERT_EQ(sink.responses.size(), 1u) << size << " cut " << cut;
      EXPECT_EQ(sink.settledPerReply[0] + sink.responses[0], reply.substr(0, size - 5));
      EXPECT_EQ(s.responseLength, 0u);
    }
  }
}

TEST(Framing, RestOfALongReplyIsNeverTakenForANegativeReply) {
  std::string reply = "+OK\r\n" + std::string(4091, 'x') + "\r\n-----BEGIN x\r\n\r\n.\r\n";
  FramingState s;
  s.singleLineMode = 0;
  RecordingSink sink;
  ASSERT_EQ(FeedReceived(s, reply.data(), 4096, sink), FeedResult::kOk);
  ASSERT_EQ(FeedReceived(s, reply.data() + 4096, reply.size() - 4096, sink), FeedResult::kOk);
  ASSERT_EQ(sink.responses.size(), 1u);
  EXPECT_TRUE(sink.continued[0]);
  EXPECT_EQ(sink.settledPerReply[0] + sink.responses[0], reply.substr(0, reply.size() - 5));
}

TEST(Framing, NegativeReplyInMultiLineModeKeepsTheSingleLineBound) {
  std::string line = "-ERR " + std::string(5000, 'e') + "\r\n";
  FramingState s;
  s.singleLineMode = 0;
  RecordingSink sink;
  EXPECT_EQ(FeedReceived(s, line.data(), line.size(), sink), FeedResult::kOverrun);
  EXPECT_TRUE(sink.responses.empty());
  EXPECT_TRUE(sink.settled.empty());
}

TEST(Framing, ReplyThatNeverEndsIsGivenUpAtItsBound) {
  FramingState s;
  s.singleLineMode = 0;
  RecordingSink sink;
  std::string chunk = "+OK\r\n" + std::string(4091, 'h');
  FeedResult result = FeedResult::kOk;
  uint64_t fed = 0;
  while (result == FeedResult::kOk && fed <= kLongestMultiLineReply + 8192) {
    result = FeedReceived(s, chunk.data(), chunk.size(), sink);
    fed += chunk.size();
  }
  EXPECT_EQ(result, FeedResult::kReplyTooLong);
  EXPECT_GT(fed, kLongestMultiLineReply);
  EXPECT_EQ(s.responseLength, 0u);
  EXPECT_TRUE(sink.responses.empty());
}

TEST(Framing, ResetGivesSingleLineAndAnEmptyBuffer) {
  FramingState s;
  std::string bytes = "+OK\r\npartial";
  AppendReceived(s, bytes.data(), bytes.size());
  s.singleLineMode = 0;
  s.droppedLength = 9;
  s.Reset();
  EXPECT_EQ(s.singleLineMode, 1);
  EXPECT_EQ(s.responseLength, 0u);
  EXPECT_EQ(s.droppedLength, 0u);
  EXPECT_EQ(s.responseBuffer[0], '\0');
}

}  // namespace
}  // namespace kc
