#include "posix/regedit_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kc {
namespace {

const std::string kKey = kRegeditSettingsKey;

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

const RegeditValue* FindValue(const RegeditKey& key, const std::string& name) {
  for (const RegeditValue& v : key.values) {
    if (v.name == name) return &v;
  }
  return nullptr;
}

TEST(RegeditFormat, WritesTheExportFormWithRegeditFolding) {
  std::vector<uint8_t> pass(80, 0xFF);
  pass[0] = 0x9E;
  pass[1] = 0x9D;
  pass[2] = 0x9C;
  std::string text = FormatRegeditFile(kKey, {{"SERVER", 1, Bytes({'p', 'o', 'p', 0, 0})},
                                              {"PASS", 3, pass},
                                              {"TIME", 4, Bytes({0x1E, 0, 0, 0})},
                                              {"ODD", 4, Bytes({1, 2})}});

  std::string ff25;
  for (int i = 0; i < 25; ++i) ff25 += i == 0 ? "ff" : ",ff";
  std::string expected =
      "REGEDIT4\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n"
      "\"SERVER\"=hex(1):70,6f,70,00,00\r\n"
      // 11 columns of name and prefix and 22 bytes make 77 columns: the first fold.
      "\"PASS\"=hex:9e,9d,9c,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,\\\r\n"
      "  " +
      ff25 +
      ",\\\r\n"
      "  " +
      ff25 +
      ",\\\r\n"
      "  ff,ff,ff,ff,ff,ff,ff,ff\r\n"
      "\"TIME\"=dword:0000001e\r\n"
      "\"ODD\"=hex(4):01,02\r\n"
      "\r\n";
  EXPECT_EQ(text, expected);
}

TEST(RegeditFormat, RoundTripsEveryTypeAndEveryByte) {
  std::vector<uint8_t> all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
  std::vector<RegeditValue> values = {
      {"SERVER", 1, std::vector<uint8_t>(255, 0)},
      {"BIN", 3, all},
      {"EMPTY", 3, {}},
      {"NEG", 4, Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
      {"MULTI", 7, Bytes({'a', 0, 'b', 0, 0})},
      {"QUO\"TE\\D", 11, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
      {"", 1, Bytes({'x', 0})},
  };
  values[0].data[0] = 0x95;  // a code page 932 lead byte and its trail byte, kept as they are
  values[0].data[1] = 0x5C;
  std::string text = FormatRegeditFile(kKey, values);

  RegeditKey key;
  ASSERT_TRUE(ParseRegeditFile(text, kKey, &key));
  EXPECT_TRUE(key.found);
  ASSERT_EQ(key.values.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(key.values[i].name, values[i].name);
    EXPECT_EQ(key.values[i].type, values[i].type) << values[i].name;
    EXPECT_EQ(key.values[i].data, values[i].data) << values[i].name;
  }
}

// A file as regedit exports it, with another key, comments and every value form.
TEST(RegeditParse, ReadsAFoldedExport) {
  const std::string text =
      "REGEDIT4\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
      "\"SERVER\"=\"not this one\"\r\n"
      "\r\n"
      "; the program's own key\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n"
      "\"SERVER\"=\"pop.example.jp\"\r\n"
      "\"PATH\"=\"C:\\\\Program Files\\\\Mail \\\"x\\\"\"\r\n"
      "\"PASS\"=hex:9e,9d,9c,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,\\\r\n"
      "  ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,\\\r\n"
      "  FF , ff,ff\r\n"
      "\"TIME\"=dword:0000001E\r\n"
      "\"LIST\" = dword:2 ; hand-edited\r\n"
      "\"EXP\"=hex(2):25,00\r\n"
      "@=\"default\"\r\n"
      "\r\n";
  RegeditKey key;
  ASSERT_TRUE(ParseRegeditFile(text, kKey, &key));
  ASSERT_TRUE(key.found);
  ASSERT_EQ(key.values.size(), 7u);

  const RegeditValue* server = FindValue(key, "SERVER");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->type, 1u);
  EXPECT_EQ(std::string(server->data.begin(), server->data.end()),
            std::string("pop.example.jp", 15));
  const RegeditValue* path = FindValue(key, "PATH");
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(path->data.data())),
            "C:\\Program Files\\Mail \"x\"");

  const RegeditValue* pass = FindValue(key, "PASS");
  ASSERT_NE(pass, nullptr);
  EXPECT_EQ(pass->type, 3u);
  std::vector<uint8_t> expected(50, 0xFF);
  expected[0] = 0x9E;
  expected[1] = 0x9D;
  expected[2] = 0x9C;
  EXPECT_EQ(pass->data, expected);

  EXPECT_EQ(FindValue(key, "TIME")->data, Bytes({0x1E, 0, 0, 0}));
  EXPECT_EQ(FindValue(key, "LIST")->type, 4u);
  EXPECT_EQ(FindValue(key, "LIST")->data, Bytes({2, 0, 0, 0}));
  EXPECT_EQ(FindValue(key, "EXP")->type, 2u);
  EXPECT_EQ(FindValue(key, "")->data, Bytes({'d', 'e', 'f', 'a', 'u', 'l', 't', 0}));
}

TEST(RegeditParse, FoldedAndUnfoldedLinesGiveTheSameBytes) {
  std::vector<uint8_t> data;
  for (int i = 0; i < 200; ++i) data.push_back(static_cast<uint8_t>(i * 7));
  std::string folded = FormatRegeditFile(kKey, {{"V", 3, data}});
  ASSERT_NE(folded.find(",\\\r\n  "), std::string::npos);

  std::string unfolded;
  for (size_t i = 0; i < folded.size(); ++i) {
    if (folded.compare(i, 5, "\\\r\n  ") == 0) {
      i += 4;
      continue;
    }
    if (folded[i] != '\r') unfolded += folded[i];  // LF line ends are read too
  }
  for (const std::string& text : {folded, unfolded}) {
    RegeditKey key;
    ASSERT_TRUE(ParseRegeditFile(text, kKey, &key)) << text;
    ASSERT_EQ(key.values.size(), 1u);
    EXPECT_EQ(key.values[0].data, data);
  }
}

TEST(RegeditParse, KeyAndValueNamesIgnoreCaseAndLaterLinesWin) {
  const std::string text =
      "REGEDIT4\n\n"
      "[hkey_local_machine\\software\\kestova]\n"
      "\"TIME\"=dword:00000001\n"
      "\"LED\"=dword:00000001\n"
      "\"time\"=dword:00000002\n"
      "\"LED\"=-\n";
  RegeditKey key;
  ASSERT_TRUE(ParseRegeditFile(text, kKey, &key));
  ASSERT_EQ(key.values.size(), 1u);
  EXPECT_EQ(key.values[0].name, "time");
  EXPECT_EQ(key.values[0].data, Bytes({2, 0, 0, 0}));

  ASSERT_TRUE(ParseRegeditFile(text + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\n", kKey, &key));
  EXPECT_FALSE(key.found);
  EXPECT_TRUE(key.values.empty());
}

// Every key's section is kept in the order the keys first come; a key given again adds to its
// section; "[-key]" takes the key and every key below it, and nothing else.
TEST(RegeditSections, KeepsEveryKeyInOrderAndRemovesWholeBranches) {
  const std::string text =
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n\"SERVER\"=\"one\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\2]\r\n\"SERVER\"=\"two\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\2\\x]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\20]\r\n\"SERVER\"=\"twenty\"\r\n\r\n"
      "[hkey_local_machine\\software\\kestova\\2]\r\n\"USER\"=\"u\"\r\n\r\n"
      "[HKEY_CURRENT_USER\\Other]\r\n\"A\"=dword:00000001\r\n\r\n";
  std::vector<RegeditSection> sections;
  ASSERT_TRUE(ParseRegeditSections(text, &sections));
  ASSERT_EQ(sections.size(), 5u);
  EXPECT_EQ(sections[1].key, kKey + "\\2");
  ASSERT_EQ(sections[1].values.size(), 2u);  // SERVER, then USER from its second section
  EXPECT_EQ(sections[1].values[1].name, "USER");
  EXPECT_EQ(sections[4].key, "HKEY_CURRENT_USER\\Other");

  // Written back, the text parses to the same sections; the one-key file is unchanged.
  std::vector<RegeditSection> again;
  ASSERT_TRUE(ParseRegeditSections(FormatRegeditSections(sections), &again));
  ASSERT_EQ(again.size(), sections.size());
  for (size_t i = 0; i < again.size(); ++i) {
    EXPECT_EQ(again[i].key, sections[i].key);
    EXPECT_EQ(again[i].values.size(), sections[i].values.size());
  }
  const std::vector<RegeditValue> one{{"TIME", 4, Bytes({1, 0, 0, 0})}};
  EXPECT_EQ(FormatRegeditSections({RegeditSection{kKey, one}}), FormatRegeditFile(kKey, one));

  ASSERT_TRUE(
      ParseRegeditSections(text + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\2]\r\n", &sections));
  std::vector<std::string> keys;
  for (const RegeditSection& section : sections) keys.push_back(section.key);
  EXPECT_EQ(keys, (std::vector<std::string>{kKey, kKey + "\\20", "HKEY_CURRENT_USER\\Other"}));

  // Removing a key above the settings takes them all; the plain parse then finds no key.
  RegeditKey key;
  ASSERT_TRUE(ParseRegeditFile(text + "[-HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n", kKey, &key));
  EXPECT_FALSE(key.found);
}

TEST(RegeditSections, KeyBelow) {
  EXPECT_TRUE(IsRegeditKeyOrBelow("A\\B", "a\\b"));
  EXPECT_TRUE(IsRegeditKeyOrBelow("A\\B\\C", "A\\B"));
  EXPECT_FALSE(IsRegeditKeyOrBelow("A\\BC", "A\\B"));
  EXPECT_FALSE(IsRegeditKeyOrBelow("A", "A\\B"));
}

TEST(RegeditParse, AFileWithoutTheKeyIsWellFormedButHasNoKey) {
  RegeditKey key;
  ASSERT_TRUE(
      ParseRegeditFile("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\X]\r\n\"A\"=dword:1\r\n", kKey, &key));
  EXPECT_FALSE(key.found);
  EXPECT_TRUE(key.values.empty());
}

TEST(RegeditParse, RejectsDamagedAndTruncatedText) {
  const std::string head = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n";
  const struct {
    const char* what;
    size_t line;  // the line the user is pointed to
    std::string text;
  } cases[] = {
      {"empty", 1, ""},
      {"other header", 1,
       "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n"},
      {"no header", 1, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n\"TIME\"=dword:1\r\n"},
      {"cut mid-line", 4, head + "\"TIME\"=dword:0000"},
      {"cut after a fold", 4, head + "\"PASS\"=hex:9e,9d,\\\r\n"},
      {"fold into a blank line", 5, head + "\"PASS\"=hex:9e,9d,\\\r\n\r\n"},
      {"trailing comma", 4, head + "\"PASS\"=hex:9e,9d,\r\n"},
      {"bad hex", 4, head + "\"PASS\"=hex:9e,zz\r\n"},
      {"three hex digits", 4, head + "\"PASS\"=hex:9e,123\r\n"},
      {"bad dword", 4, head + "\"TIME\"=dword:xyz\r\n"},
      {"long dword", 4, head + "\"TIME\"=dword:000000001\r\n"},
      {"unknown type", 4, head + "\"TIME\"=qword:1\r\n"},
      {"bad hex type", 4, head + "\"X\"=hex(z):00\r\n"},
      {"open quote", 4, head + "\"SERVER\"=\"pop\r\n"},
      {"text after value", 4, head + "\"SERVER\"=\"pop\" junk\r\n"},
      {"unquoted name", 4, head + "SERVER=\"pop\"\r\n"},
      {"no equals", 4, head + "\"SERVER\" \"pop\"\r\n"},
      {"open key line", 3, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\r\n"},
      {"value before any key", 3, "REGEDIT4\r\n\r\n\"TIME\"=dword:1\r\n"},
      {"NUL bytes", 4, head + std::string(64, '\0') + "\r\n"},
      {"garbage", 1, "\x89PNG\r\n\x1a\n"},
  };
  for (const auto& c : cases) {
    RegeditKey key;
    key.found = true;
    size_t line = 0;
    EXPECT_FALSE(ParseRegeditFile(c.text, kKey, &key, &line)) << c.what;
    EXPECT_EQ(line, c.line) << c.what;
    EXPECT_FALSE(key.found) << c.what;
    EXPECT_TRUE(key.values.empty()) << c.what;
  }
}

}  // namespace
}  // namespace kc
