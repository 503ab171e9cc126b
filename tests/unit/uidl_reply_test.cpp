// The UIDL listing: one line at a time by a table, then whole listings cut into pieces of every
// size, as the framing hands them on.
#include "pop3/uidl_reply.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "pop3/seen_ids.h"

namespace kc {
namespace {

struct LineCase {
  const char* line;
  bool ok;
  int32_t number;
  const char* id;
};

TEST(UidlLine, ReadsEntriesAndRefusesTheRest) {
  const std::string seventy(70, 'x');
  const std::string eighty(80, 'x');
  const std::string at70 = "3 " + seventy;
  const std::string at80 = "3 " + eighty;
  const LineCase cases[] = {
      {"1 whqtswO00WBw418f9t5JxYwZ", true, 1, "whqtswO00WBw418f9t5JxYwZ"},
      {"1 abc\r", true, 1, "abc"},                // the CR before the LF
      {"12  abc \t\r", true, 12, "abc"},          // more blanks around the ID
      {"2147483647 !~", true, 2147483647, "!~"},  // the extremes of number and characters
      {at70.c_str(), true, 3, seventy.c_str()},   // the longest ID RFC 1939 allows
      {at80.c_str(), true, 3, eighty.c_str()},    // longer ones are taken too
      {"2147483648 a", false, 0, nullptr},        // beyond 32 bits
      {"00000000001 a", false, 0, nullptr},       // eleven digits
      {"0 a", false, 0, nullptr},                 // no message 0
      {"-1 a", false, 0, nullptr},
      {"1", false, 0, nullptr},  // no ID
      {"1 ", false, 0, nullptr},
      {"1a b", false, 0, nullptr},            // no blank after the number
      {" 1 a", false, 0, nullptr},            // a blank before it
      {"1 a b", false, 0, nullptr},           // two words
      {"1 a\x7f", false, 0, nullptr},         // DEL is no ID character
      {"1 \xe3\x81\x82", false, 0, nullptr},  // nor beyond ASCII
      {"1 a\rb", false, 0, nullptr},          // a CR inside
      {"", false, 0, nullptr},
      {".", false, 0, nullptr},
  };
  for (const LineCase& c : cases) {
    UidlEntry e;
    std::string line = c.line;
    bool ok = ParseUidlLine(line.data(), line.size(), &e);
    EXPECT_EQ(ok, c.ok) << c.line;
    if (!ok || !c.ok) continue;
    EXPECT_EQ(e.number, c.number) << c.line;
    EXPECT_EQ(std::string(e.id, e.length), c.id) << c.line;
  }
}

// A NUL inside the line is not an ID character and does not end the line early.
TEST(UidlLine, NulIsRefused) {
  const char line[] = {'1', ' ', 'a', '\0', 'b'};
  UidlEntry e;
  EXPECT_FALSE(ParseUidlLine(line, sizeof line, &e));
}

struct Collect final : UidlListingSink {
  void OnEntry(const UidlEntry& e) override {
    // The hash taken while the line is read is the ID's FNV-1a, whichever way it was read.
    EXPECT_EQ(e.hash, Fnv1a64(e.id, e.length)) << std::string(e.id, e.length);
    entries.push_back(std::to_string(e.number) + "=" + std::string(e.id, e.length));
  }
  void OnMalformed(const char* line, size_t length, bool overlong) override {
    malformed.push_back(std::string(line, length) + (overlong ? "..." : ""));
  }
  std::vector<std::string> entries;
  std::vector<std::string> malformed;
};

Collect ReadInPieces(const std::string& reply, size_t piece) {
  UidlListingReader reader;
  reader.Reset();
  Collect sink;
  for (size_t at = 0; at < reply.size(); at += piece) {
    reader.Feed(reply.data() + at, std::min(piece, reply.size() - at), sink);
  }
  reader.Finish(sink);
  return sink;
}

// The reply as the framing hands it on: the status line first, the dot line taken away, so the
// last entry has no line end.
TEST(UidlListing, SameEntriesWhateverThePieces) {
  const std::string longLine = "9 " + std::string(300, 'z');
  // A line that just fits the line buffer, and one byte more.
  const std::string fits = "8 " + std::string(kUidlLineSize - 2, 'y');
  const std::string oneMore = "6 " + std::string(kUidlLineSize - 1, 'w');
  const std::string reply =
      "+OK 4 messages, a long status line that says nothing more\r\n"
      "1 aaa\r\n"
      "garbage\r\n" +
      longLine + "\r\n" + fits + "\n" + oneMore + "\n" +
      "\r\n"
      "2 bbb\r\n"
      "7 ccc";
  for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}, reply.size()}) {
    Collect got = ReadInPieces(reply, piece);
    EXPECT_EQ(got.entries,
              (std::vector<std::string>{"1=aaa", "8=" + fits.substr(2), "2=bbb", "7=ccc"}))
        << piece;
    ASSERT_EQ(got.malformed.size(), 4u) << piece;
    EXPECT_EQ(got.malformed[0], "garbage\r");
    // An overlong line is reported by its first bytes, never read past the line buffer.
    EXPECT_EQ(got.malformed[1], longLine.substr(0, kUidlLineSize) + "...");
    EXPECT_EQ(got.malformed[2], oneMore.substr(0, kUidlLineSize) + "...");
    EXPECT_EQ(got.malformed[3], "\r");
  }
}

// The least the rest of a listing can be is never more than what is left of it, at any point of
// the reading: the shortest lines there are (an ID of a byte, a line feed alone), numbers out of
// order, usual lines; and it counts the digits of the numbers to come.
TEST(UidlListing, LeastRestNeverExceedsWhatIsLeft) {
  EXPECT_EQ(UidlListingLeastRest(5, 0, 0), 4u * 4 + 2);
  EXPECT_EQ(UidlListingLeastRest(50000, 9999, 9999), (50000u - 9999 - 1) * 8 + 2);
  EXPECT_EQ(UidlListingLeastRest(100, 5, 50), 94u * 4 + 2);  // not 1 to 5 in order
  EXPECT_EQ(UidlListingLeastRest(10, 9, 9), 0u);
  EXPECT_EQ(UidlListingLeastRest(10, 12, 12), 0u);
  EXPECT_EQ(UidlListingLeastRest(0, 0, 0), 0u);

  auto listing = [](int count, bool descending, const char* end, const std::string& id) {
    std::string text = "+OK\r\n";
    for (int k = 1; k <= count; ++k) {
      text += std::to_string(descending ? count + 1 - k : k) + " " + id + end;
    }
    return text;
  };
  struct Case {
    std::string text;
    int32_t mailCount;
    const char* dot;
  };
  const Case cases[] = {
      {listing(2000, false, "\n", "x"), 2000, ".\n"},
      {listing(2000, true, "\n", "x"), 2000, ".\n"},
      {listing(1500, false, "\r\n", "0000000a6b1bd2db"), 1500, ".\r\n"},
  };
  for (const Case& c : cases) {
    UidlListingReader reader;
    reader.Reset();
    struct Lines final : UidlListingSink {
      void OnEntry(const UidlEntry&) override { ++count; }
      void OnMalformed(const char*, size_t, bool) override { ++count; }
      int32_t count = 0;
    } lines;
    const size_t total = c.text.size() + std::strlen(c.dot);
    for (size_t at = 0; at < c.text.size(); at += 7) {
      const size_t n = std::min<size_t>(7, c.text.size() - at);
      reader.Feed(c.text.data() + at, n, lines);
      const size_t least = UidlListingLeastRest(c.mailCount, lines.count, reader.last().number);
      ASSERT_LE(least, total - (at + n)) << c.mailCount << " at " << at;
    }
  }
}

// Usual lines are read in one pass where they stand; any other line by the line parser. Both
// must agree on every line, at the edges of the eight-byte steps of the one-pass read too.
TEST(UidlListing, OnePassReadAgreesWithTheLineParser) {
  const std::string fill(kUidlLineSize - 3, 'q');  // "1 " + fill + "\r": 128 bytes
  const std::string lines[] = {
      "1 abc\r",
      "2 abcdefg\r",  // IDs of 7, 8, 9, 16 and 17 characters
      "3 abcdefgh\r",
      "4 abcdefghi\r",
      "5 0123456789abcdef\r",
      "6 0123456789abcdefg\r",
      "7 !~!~!~!~!~\r",  // the ends of the ID characters
      "1234567 x\r",     // seven digits; eight and more take the long way
      "12345678 x\r",
      "00000009 leading\r",  // leading zeros
      "2147483647 max\r",
      "2147483648 over\r",
      "0 zero\r",
      "8 lf-alone",
      "9\tafter-tab\r",
      "10  two-blanks\r",
      "11 trailing \r",
      "12 abcdefg\x7fh\r",  // DEL in the first eight bytes of the ID, then in the second
      "13 abcdefghijk\x7f\r",
      "14 abcdefgh\x80\r",
      "15 abc\rdef\r",
      "16 a b\r",
      "17\r",
      "18 \r",
      " 19 lead\r",
      "1" + fill + "\r",
      "1 " + fill + "\r",   // 128 bytes: the longest line kept
      "1 " + fill + "q\r",  // 129: overlong
      "1 " + fill + "q",    // 128 without the CR
      "20 last-of-all",
  };
  std::string reply = "+OK\r\n";
  std::vector<std::string> expectEntries;
  size_t expectMalformed = 0;
  for (const std::string& line : lines) {
    reply += line + "\n";
    UidlEntry e;
    if (line.size() <= kUidlLineSize && ParseUidlLine(line.data(), line.size(), &e)) {
      expectEntries.push_back(std::to_string(e.number) + "=" + std::string(e.id, e.length));
    } else {
      ++expectMalformed;
    }
  }
  for (size_t piece : {size_t{1}, size_t{5}, size_t{8}, size_t{13}, reply.size()}) {
    Collect got = ReadInPieces(reply, piece);
    EXPECT_EQ(got.entries, expectEntries) << piece;
    EXPECT_EQ(got.malformed.size(), expectMalformed) << piece;
  }
}

// The first and the last entry stay readable after the bytes they came from are gone, also when
// the last one was put together in the line buffer and the next line's start then filled it.
TEST(UidlListing, KeepsTheFirstAndLastEntryWhateverThePieces) {
  const std::string reply = "+OK\r\n1 first-id\r\nbad line\r\n2 second\r\n3 x\r\n4 " +
                            std::string(40, 'f') + "\r\nbad\r\n5 fifth";
  for (size_t piece = 1; piece <= reply.size(); ++piece) {
    UidlListingReader reader;
    reader.Reset();
    Collect sink;
    std::string scratch;
    for (size_t at = 0; at < reply.size(); at += piece) {
      // The bytes change after each call, as a receive buffer's do.
      scratch.assign(reply, at, std::min(piece, reply.size() - at));
      reader.Feed(scratch.data(), scratch.size(), sink);
      scratch.assign(scratch.size(), '#');
      if (sink.entries.empty()) {
        EXPECT_EQ(reader.first().number, 0);
        EXPECT_EQ(reader.last().number, 0);
        continue;
      }
      const UidlEntry& first = reader.first();
      const UidlEntry& last = reader.last();
      EXPECT_EQ(std::to_string(first.number) + "=" + std::string(first.id, first.length),
                sink.entries.front())
          << piece;
      EXPECT_EQ(std::to_string(last.number) + "=" + std::string(last.id, last.length),
                sink.entries.back())
          << piece << " at " << at;
    }
    reader.Finish(sink);
    ASSERT_EQ(sink.entries.size(), 5u) << piece;
    EXPECT_EQ(std::string(reader.last().id, reader.last().length), "fifth") << piece;
    EXPECT_EQ(reader.last().hash, Fnv1a64("fifth", 5));
    reader.Reset();
    EXPECT_EQ(reader.first().number, 0);
    EXPECT_EQ(reader.last().number, 0);
  }
}

TEST(UidlListing, EmptyListingHasNoEntries) {
  Collect got = ReadInPieces("+OK", 1);
  EXPECT_TRUE(got.entries.empty());
  EXPECT_TRUE(got.malformed.empty());
}

// A reader used for one listing starts the next one afresh.
TEST(UidlListing, ResetForgetsAHalfReadLine) {
  UidlListingReader reader;
  Collect sink;
  reader.Feed("+OK\r\n1 half", 11, sink);
  reader.Reset();
  reader.Feed("+OK\r\n2 whole", 12, sink);
  reader.Finish(sink);
  EXPECT_EQ(sink.entries, (std::vector<std::string>{"2=whole"}));
}

}  // namespace
}  // namespace kc
