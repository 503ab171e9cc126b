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
  size_t length = ExtractFromText(c.response.c_str(), text, sizeof text);
  EXPECT_EQ(std::string(text), c.fromText);
  EXPECT_EQ(length, c.fromText.size());
  char slot[kSenderSlotSize];
  std::memset(slot, 'Z', sizeof slot);  // whatever an earlier check left
  SenderFromText(text, slot, sizeof slot);
  EXPECT_EQ(std::string(slot), c.sender);
  // Every byte after the text is cleared.
  for (size_t i = c.sender.size(); i < sizeof slot; ++i) ASSERT_EQ(slot[i], '\0') << i;
}

const std::string kLong(300, 'x');

INSTANTIATE_TEST_SUITE_P(
    Pop3, Sender,
    ::testing::Values(
        SenderCase{"NameAndAddress",
                   "+OK\r\nTo: b@x\r\nFrom: Alice <alice@example.org>\r\nSubject: hi\r\n",
                   "Alice <alice@example.org>\r\n", "alice@example.org"},
        SenderCase{"FoldedNameAndAddress",
                   "+OK\r\nFrom: \"Alice Long\"\r\n <alice@example.org>\r\nSubject: hi\r\n",
                   "\"Alice Long\"\r\n <alice@example.org>\r\n", "alice@example.org"},
        SenderCase{"FoldedTabContinuation", "+OK\r\nFrom: Alice\r\n\t<a@x>\r\n",
                   "Alice\r\n\t<a@x>\r\n", "a@x"},
        SenderCase{"BareAddressKeepsItsBlanks", "+OK\r\nFrom:  bob@example.org  \r\nTo: x\r\n",
                   " bob@example.org  \r\n", " bob@example.org  "},
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
        SenderCase{"BareLineFeeds", "+OK\nFrom: lf@x\nTo: y\n", "lf@x\n", "lf@x"},
        SenderCase{"OnlyTheFirstFromCounts", "+OK\r\nFrom: one@x\r\nFrom: two@x\r\n", "one@x\r\n",
                   "one@x"},
        SenderCase{"CaseMatters", "+OK\r\nFROM: a@x\r\nfrom: b@x\r\n", "", ""},
        SenderCase{"BlankAfterColonNeeded", "+OK\r\nFrom:a@x\r\n", "", ""},
        SenderCase{"OtherHeaderEndingInFrom", "+OK\r\nX-Resent-From: a@x\r\n", "", ""},
        SenderCase{"NoHeaders", "+OK", "", ""},
        SenderCase{"LongAddressIsCutAt254", "+OK\r\nFrom: <" + kLong + ">\r\n",
                   "<" + kLong + ">\r\n", std::string(254, 'x')},
        SenderCase{"LongLineIsCutAt254", "+OK\r\nFrom: " + kLong + "\r\n", kLong + "\r\n",
                   std::string(254, 'x')}),
    [](const ::testing::TestParamInfo<SenderCase>& info) { return info.param.name; });

TEST(Sender, FromTextIsCutToItsBuffer) {
  std::string response = "+OK\r\nFrom: " + std::string(100, 'v') + "\r\n";
  char text[16];
  EXPECT_EQ(ExtractFromText(response.c_str(), text, sizeof text), 15u);
  EXPECT_EQ(std::string(text), std::string(15, 'v'));
}

}  // namespace
}  // namespace kc
