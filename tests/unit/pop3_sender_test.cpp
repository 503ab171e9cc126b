// The sender of a message from its TOP reply: the From: value and the slot made from it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pop3/sender.h"
#include "pop3/sender_table.h"

namespace kc {
namespace {

struct SenderCase {
  const char* name;
  std::string response;
  std::string fromText;
  std::string sender;
};

void PrintTo(const SenderCase& c, std::ostream* os) { *os << c.name; }

class Sender : public ::testing::TestWithParam<SenderCase> {};

TEST_P(Sender, TakesTheFromValueAndItsAddress) {
  const SenderCase& c = GetParam();
  char text[4096];
  std::memset(text, 'Q', sizeof text);
  size_t length = ExtractFromText(c.response.data(), c.response.size(), text, sizeof text);
  EXPECT_EQ(std::string(text), c.fromText);
  EXPECT_EQ(length, c.fromText.size());
  char slot[kSenderSlotSize];
  std::memset(slot, 'Z', sizeof slot);  // whatever an earlier check left
  SenderFromText(text, slot, sizeof slot);
  EXPECT_EQ(std::string(slot), c.sender);
  // Every byte after the text is cleared.
  for (size_t i = c.sender.size(); i < sizeof slot; ++i) ASSERT_EQ(slot[i], '\0') << i;
}

TEST_P(Sender, GivesTheSameValueWhateverPiecesTheReplyComesIn) {
  // The reply cut in two at every point, and fed one byte at a time.
  const SenderCase& c = GetParam();
  const std::string& r = c.response;
  FromCollector collector;
  for (size_t cut = 0; cut <= r.size(); ++cut) {
    collector.Reset();
    collector.Feed(r.data(), cut);
    collector.Feed(r.data() + cut, r.size() - cut);
    collector.Finish();
    ASSERT_EQ(std::string(collector.text()), c.fromText) << "cut at " << cut;
  }
  collector.Reset();
  for (char b : r) collector.Feed(&b, 1);
  collector.Finish();
  EXPECT_EQ(std::string(collector.text()), c.fromText);
}

const std::string kLong(300, 'x');

// A literal with the NUL bytes inside it.
template <size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Pop3, Sender,
    ::testing::Values(
        // Ordinary headers, as every server sends them.
        SenderCase{"NameAndAddress",
                   "+OK\r\nTo: b@x\r\nFrom: Alice <alice@example.org>\r\nSubject: hi\r\n",
                   "Alice <alice@example.org>\r\n", "alice@example.org"},
        SenderCase{"FoldedNameAndAddress",
                   "+OK\r\nFrom: \"Alice Long\"\r\n <alice@example.org>\r\nSubject: hi\r\n",
                   "\"Alice Long\"\r\n <alice@example.org>\r\n", "alice@example.org"},
        SenderCase{"FoldedTabContinuation", "+OK\r\nFrom: Alice\r\n\t<a@x>\r\n",
                   "Alice\r\n\t<a@x>\r\n", "a@x"},
        SenderCase{"BareAddressKeepsItsTrailingBlanks",
                   "+OK\r\nFrom: bob@example.org  \r\nTo: x\r\n", "bob@example.org  \r\n",
                   "bob@example.org  "},
        SenderCase{"FoldedWithoutBracketsGivesTheFirstLine",
                   "+OK\r\nFrom: line one\r\n line two\r\nTo: x\r\n", "line one\r\n line two\r\n",
                   "line one"},
        SenderCase{"EmptyBrackets", "+OK\r\nFrom: Nobody <>\r\n", "Nobody <>\r\n", ""},
        SenderCase{"OpenWithoutClose", "+OK\r\nFrom: a <b@x\r\n", "a <b@x\r\n", "a <b@x"},
        SenderCase{"CloseBeforeOpen", "+OK\r\nFrom: a> b <c@d>\r\n", "a> b <c@d>\r\n", "c@d"},
        SenderCase{"CloseOnlyBeforeOpen", "+OK\r\nFrom: x>y<z\r\n", "x>y<z\r\n", "x>y<z"},
        SenderCase{"CloseWithoutOpen", "+OK\r\nFrom: a> b\r\n", "a> b\r\n", "a> b"},
        SenderCase{"FirstHeaderLine", "+OK 120 octets\r\nFrom: first@x\r\nTo: y\r\n", "first@x\r\n",
                   "first@x"},
        SenderCase{"LastTextWithoutLineFeed", "+OK\r\nTo: y\r\nFrom: last@x", "last@x", "last@x"},
        SenderCase{"ContinuationWithoutLineFeed", "+OK\r\nFrom: a@x\r\n b", "a@x\r\n b", "a@x"},
        SenderCase{"BareLineFeeds", "+OK\nFrom: lf@x\nTo: y\n", "lf@x\r\n", "lf@x"},
        SenderCase{"OnlyTheFirstFromCounts", "+OK\r\nFrom: one@x\r\nFrom: two@x\r\n", "one@x\r\n",
                   "one@x"},
        SenderCase{"OtherHeaderEndingInFrom", "+OK\r\nX-Resent-From: a@x\r\n", "", ""},
        SenderCase{"OtherHeaderStartingWithFrom", "+OK\r\nFromage: a@x\r\nFrom: b@x\r\n", "b@x\r\n",
                   "b@x"},
        SenderCase{"NoHeaders", "+OK", "", ""},
        SenderCase{"StatusLineIsNotAHeader", "From: x@y\r\nTo: z\r\n", "", ""},
        SenderCase{"LongAddressIsCutAt254", "+OK\r\nFrom: <" + kLong + ">\r\n",
                   "<" + kLong + ">\r\n", std::string(254, 'x')},
        SenderCase{"LongLineIsCutAt254", "+OK\r\nFrom: " + kLong + "\r\n", kLong + "\r\n",
                   std::string(254, 'x')},
        // The other forms the mail standard allows.
        SenderCase{"NameInCapitals", "+OK\r\nFROM: a@x\r\nfrom: b@x\r\n", "a@x\r\n", "a@x"},
        SenderCase{"NameInLowerCase", "+OK\r\nTo: y\r\nfrom: Bee <b@x>\r\n", "Bee <b@x>\r\n",
                   "b@x"},
        SenderCase{"NoBlankAfterTheColon", "+OK\r\nFrom:<a@b>\r\n", "<a@b>\r\n", "a@b"},
        SenderCase{"BareAddressWithoutBlank", "+OK\r\nFrom:a@b\r\n", "a@b\r\n", "a@b"},
        SenderCase{"BlanksAroundTheColon", "+OK\r\nFrom \t:\t a@b\r\n", "a@b\r\n", "a@b"},
        SenderCase{"HeaderWithoutBlankEndsTheValue", "+OK\r\nFrom: a@b\r\nMessage-ID:<x@y>\r\n",
                   "a@b\r\n", "a@b"},
        SenderCase{"LineWithoutColonEndsTheValue", "+OK\r\nFrom: a@b\r\nnot folded\r\n", "a@b\r\n",
                   "a@b"},
        SenderCase{"ValueOnTheNextLine", "+OK\r\nFrom:\r\n a@b\r\nTo: c\r\n", "\r\n a@b\r\n",
                   "a@b"},
        SenderCase{"CrCrLfLines", "+OK\r\r\nTo: c\r\r\nFrom: a@b\r\r\nSubject: s\r\r\n", "a@b\r\n",
                   "a@b"},
        SenderCase{"CrCrLfFolded", "+OK\r\r\nFrom: Al\r\r\n <a@b>\r\r\n\r\r\n", "Al\r\n <a@b>\r\n",
                   "a@b"},
        SenderCase{"StrayCrInsideTheValue", "+OK\r\nFrom: <a@\rb>\r\n", "<a@b>\r\n", "a@b"},
        SenderCase{"NulInAnotherHeader", Bytes("+OK\r\nX: a\0b\r\nFrom: c@d\r\n"), "c@d\r\n",
                   "c@d"},
        SenderCase{"NulInTheValue", Bytes("+OK\r\nFrom: <c@\0d>\r\n"), "<c@d>\r\n", "c@d"},
        SenderCase{"FromAfterTheHeaderBlockIsNotAHeader", "+OK\r\nTo: x\r\n\r\nFrom: body@x\r\n",
                   "", ""},
        SenderCase{"FromAfterCrCrLfBlankLineIsNotAHeader",
                   "+OK\r\r\nTo: x\r\r\n\r\r\nFrom: body@x\r\n", "", ""},
        // Bytes that would act on the terminal of the trace or on the display are made inert;
        // the breaks and tabs of folding stay in the value, and code page 932 text is untouched.
        SenderCase{"EscapeSequencesInTheName", "+OK\r\nFrom: \x1b]0;title\x07\x1b[2J <evil@x>\r\n",
                   "?]0;title??[2J <evil@x>\r\n", "evil@x"},
        SenderCase{"EscapeSequencesInTheAddress", "+OK\r\nFrom: <a\x1b[2J\x7f\x08@x>\r\n",
                   "<a?[2J??@x>\r\n", "a?[2J??@x"},
        SenderCase{"ControlBytesOnAFoldedLine", "+OK\r\nFrom: a@x\r\n\t\x1b[1mb\r\n",
                   "a@x\r\n\t?[1mb\r\n", "a@x"},
        SenderCase{"TabInsideABareAddress", "+OK\r\nFrom: a@x\t(me)\r\n", "a@x\t(me)\r\n",
                   "a@x?(me)"},
        SenderCase{"Cp932NameIsKept", "+OK\r\nFrom: \x83\x5c\x95\x5c\x81\x40 <k@x>\r\n",
                   "\x83\x5c\x95\x5c\x81\x40 <k@x>\r\n", "k@x"},
        SenderCase{"Cp932BareSenderIsKept", "+OK\r\nFrom: \x83\x7e\x83\x80\xe0\x40\r\n",
                   "\x83\x7e\x83\x80\xe0\x40\r\n", "\x83\x7e\x83\x80\xe0\x40"},
        // One-byte C1 controls (CSI 0x9B, OSC 0x9D, ...) act on an 8-bit terminal. Most of them
        // are code page 932 lead bytes too: only a byte that starts no valid pair is replaced.
        SenderCase{"C1SequencesInTheName",
                   "+OK\r\nFrom: \x9b"
                   "2J\x9d"
                   "0;t\x9c <e@x>\r\n",
                   "?2J?0;t? <e@x>\r\n", "e@x"},
        SenderCase{"C1BytesThatStartNoCharacter", "+OK\r\nFrom: <a\x80\x85\x1b\x9b\x7f@x>\r\n",
                   "<a?????@x>\r\n", "a?????@x"},
        SenderCase{"C1RangeAsTrailBytesIsKept", "+OK\r\nFrom: \x83\x9b\x81\x80\x88\x9f <k@x>\r\n",
                   "\x83\x9b\x81\x80\x88\x9f <k@x>\r\n", "k@x"},
        SenderCase{"LeadByteBeforeAFold",
                   "+OK\r\nFrom: a\x81\r\n\t\x40"
                   "b\r\n",
                   "a?\r\n\t\x40"
                   "b\r\n",
                   "a?"},
        SenderCase{"LeadByteAtTheEndOfACutReply", "+OK\r\nFrom: a\x9b", "a?", "a?"},
        SenderCase{"HalfWidthKatakanaIsKept", "+OK\r\nFrom: \xb6\xbd\xc4\xa0\xdf <k@x>\r\n",
                   "\xb6\xbd\xc4\xa0\xdf <k@x>\r\n", "k@x"}),
    [](const ::testing::TestParamInfo<SenderCase>& info) { return info.param.name; });

TEST(Sender, FromTextIsCutToItsBuffer) {
  std::string response = "+OK\r\nFrom: " + std::string(100, 'v') + "\r\n";
  char text[16];
  EXPECT_EQ(ExtractFromText(response.data(), response.size(), text, sizeof text), 15u);
  EXPECT_EQ(std::string(text), std::string(15, 'v'));
}

TEST(Sender, CollectorKeepsAtMostItsBufferOfAValue) {
  // A value of 10,000 bytes over folded lines: the first 4,095 bytes are kept, and the
  // header after it still ends the value.
  std::string response = "+OK\r\nFrom: <" + std::string(5000, 'a') + "\r\n " +
                         std::string(5000, 'b') + ">\r\nFrom: late@x\r\n";
  FromCollector collector;
  collector.Feed(response.data(), response.size());
  EXPECT_EQ(collector.length(), kFromTextSize - 1);
  EXPECT_EQ(std::string(collector.text()).substr(0, 6), "<aaaaa");
}

}  // namespace
}  // namespace kc
