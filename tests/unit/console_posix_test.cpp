// The console front end's own logic: command-line splitting, the status line, key decoding,
// the edit control and the settings form, the settings-file help, and the process port.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "posix/backends.h"
#include "posix/command_line.h"
#include "posix/console.h"
#include "posix/regedit_file.h"
#include "posix/settings_dialog.h"
#include "support/fakes.h"
#include "text/cp932.h"

namespace kc::posix {
namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLine, ParsesAsAWindowsProgramParsesItsOwn) {
  struct Case {
    const char* line;
    Args argv;
  } cases[] = {
      // What the launcher composes: the quoted full path, then the arguments.
      {"\"C:\\Mail\\mail.exe\"", {"C:\\Mail\\mail.exe"}},
      {"\"C:\\Mail\\mail.exe\" -check", {"C:\\Mail\\mail.exe", "-check"}},
      {"\"/opt/my mail/run\" -a  \t-b ", {"/opt/my mail/run", "-a", "-b"}},
      // The program name takes no escapes: a backslash before its closing quote stays.
      {"\"C:\\dir\\\" x", {"C:\\dir\\", "x"}},
      {"prog", {"prog"}},
      {"", {""}},
      // Quotes group and disappear; "" inside quotes is a quote.
      {"p \"a b\" c\"d e\"f", {"p", "a b", "cd ef"}},
      {"p \"say \"\"hi\"\"\"", {"p", "say \"hi\""}},
      {"p \"\"", {"p", ""}},
      // Backslashes: literal unless they stand before a quote.
      {"p a\\b a\\\\b", {"p", "a\\b", "a\\\\b"}},
      {"p a\\\"b", {"p", "a\"b"}},
      {"p \"a\\\\\" b", {"p", "a\\", "b"}},
      {"p a\\\\\\\"b", {"p", "a\\\"b"}},
      // A double-byte character whose trail byte is 0x5C escapes nothing.
      {"p \"\x83\x5C\" x", {"p", "\x83\x5C", "x"}},
      {"\"C:\\\x83\x5C\\m.exe\" -x", {"C:\\\x83\x5C\\m.exe", "-x"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.line), c.argv) << c.line;
  }
}

TEST(StatusLine, NamesThePictureAndShowsTheTooltip) {
  struct Case {
    uint32_t icon;
    const char* name;
  } cases[] = {{IDI_IDLE, "no mail"},
               {IDI_MAIL, "mail"},
               {IDI_MANYMAIL, "much mail"},
               {IDI_BUSY, "checking"},
               {0, "none"}};
  for (const Case& c : cases) {
    TrayIconRecord record;
    record.icon = c.icon;
    std::snprintf(record.tip, sizeof record.tip, "OMBRIX コントロール NextCheck09:05");
    EXPECT_EQ(StatusLineText(record),
              std::string("[") + c.name + "] OMBRIX コントロール NextCheck09:05");
  }
  // A tooltip that fills its field without a NUL is read no further than the field.
  TrayIconRecord full;
  full.icon = IDI_IDLE;
  std::memset(full.tip, 'x', sizeof full.tip);
  EXPECT_EQ(StatusLineText(full), "[no mail] " + std::string(sizeof full.tip, 'x'));
  // The busy picture that a failed check leaves behind is not "checking" on the console.
  full.icon = IDI_BUSY;
  EXPECT_EQ(StatusLineText(full, true).substr(0, 15), "[check failed] ");
  full.icon = IDI_MAIL;
  EXPECT_EQ(StatusLineText(full, true).substr(0, 7), "[mail] ");
  // On the terminal it is UTF-8.
  TrayIconRecord start;
  start.icon = IDI_IDLE;
  std::snprintf(start.tip, sizeof start.tip, "OMBRIX コントロール");
  EXPECT_EQ(Cp932ToUtf8(StatusLineText(start).c_str()),
            "[no mail] OMBRIX \xE3\x82\xB3\xE3\x83\xB3\xE3\x83\x88\xE3\x83\xAD\xE3\x83\xBC"
            "\xE3\x83\xAB");
}

std::vector<KeyCode> Codes(const std::vector<Key>& keys) {
  std::vector<KeyCode> codes;
  for (const Key& k : keys) codes.push_back(k.code);
  return codes;
}

TEST(KeyDecoder, TurnsTerminalBytesIntoKeys) {
  using K = KeyCode;
  struct Case {
    std::string bytes;
    std::vector<K> codes;
  } cases[] = {
      {"\x1b[A\x1b[B\x1b[C\x1b[D", {K::kUp, K::kDown, K::kRight, K::kLeft}},
      {"\x1bOH\x1bOF\x1b[H\x1b[F", {K::kHome, K::kEnd, K::kHome, K::kEnd}},
      {"\x1b[1~\x1b[4~\x1b[3~\x1b[Z", {K::kHome, K::kEnd, K::kDelete, K::kBackTab}},
      {"\t\r\n\r\x7f\x08\x15",
       {K::kTab, K::kEnter, K::kEnter, K::kBackspace, K::kBackspace, K::kClearLine}},
      {"\x1b[15~", {}},  // a function key means nothing here
      {"\x01\x02", {}},  // nor do other control keys
      {"\x1bx", {K::kEscape, K::kChar}},
  };
  for (const Case& c : cases) {
    KeyDecoder decoder;
    std::vector<Key> keys;
    decoder.Feed(c.bytes.data(), c.bytes.size(), &keys);
    decoder.Flush(&keys);
    EXPECT_EQ(Codes(keys), c.codes) << c.bytes.size();
  }
}

TEST(KeyDecoder, MarksPastedLineBreaks) {
  std::vector<bool> pasted;
  auto feed = [&pasted](KeyDecoder& decoder, const std::string& bytes) {
    std::vector<Key> keys;
    decoder.Feed(bytes.data(), bytes.size(), &keys);
    pasted.clear();
    for (const Key& k : keys) pasted.push_back(k.pasted);
    return Codes(keys);
  };
  using K = KeyCode;
  KeyDecoder decoder;
  // The terminal brackets the paste, here across two reads.
  EXPECT_EQ(feed(decoder, "\x1b[200~pw\r"), (std::vector<K>{K::kChar, K::kChar, K::kEnter}));
  EXPECT_EQ(pasted, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(feed(decoder, "\n\x1b[201~\r"), (std::vector<K>{K::kEnter, K::kEnter}));
  EXPECT_EQ(pasted, (std::vector<bool>{true, false}));
  // Without brackets: a line break or tab after text in the same read came with it.
  EXPECT_EQ(feed(decoder, "ab\r\tc"),
            (std::vector<K>{K::kChar, K::kChar, K::kEnter, K::kTab, K::kChar}));
  EXPECT_EQ(pasted, (std::vector<bool>{false, false, true, true, false}));
  // One key a read, as a person types, is never a paste.
  EXPECT_EQ(feed(decoder, "\r"), std::vector<K>{K::kEnter});
  EXPECT_EQ(pasted, std::vector<bool>{false});
  EXPECT_EQ(feed(decoder, "\x1b[Z\t"), (std::vector<K>{K::kBackTab, K::kTab}));
  EXPECT_EQ(pasted, (std::vector<bool>{false, false}));
}

TEST(KeyDecoder, KeepsWhatAReadCutForTheNext) {
  KeyDecoder decoder;
  std::vector<Key> keys;
  decoder.Feed("a\x1b[", 3, &keys);
  decoder.Flush(&keys);  // an unfinished sequence is not a lone Escape
  decoder.Feed("A", 1, &keys);
  // The UTF-8 of "あ" (E3 81 82) in two reads.
  decoder.Feed("\xE3\x81", 2, &keys);
  decoder.Feed("\x82", 1, &keys);
  // A lone ESC at the end of a read is Escape once flushed.
  decoder.Feed("\x1b", 1, &keys);
  ASSERT_EQ(keys.size(), 3u);
  decoder.Flush(&keys);
  ASSERT_EQ(keys.size(), 4u);
  EXPECT_EQ(keys[0].text, "a");
  EXPECT_EQ(keys[1].code, KeyCode::kUp);
  EXPECT_EQ(keys[2].code, KeyCode::kChar);
  EXPECT_EQ(keys[2].text, "\xE3\x81\x82");
  EXPECT_EQ(keys[3].code, KeyCode::kEscape);
  // Bytes that are no UTF-8 are dropped.
  std::vector<Key> none;
  decoder.Feed("\xC0\x80\xFF", 3, &none);
  EXPECT_TRUE(none.empty());
}

TEST(TrayKeys, AreTheMessagesOfTheTrayAndItsMenu) {
  struct Case {
    const char* text;
    uint32_t msg;
    WParam wp;
    LParam lp;
  } cases[] = {
      {"c", kWmCommand, IDM_CHECK, 0},
      {"C", kWmCommand, IDM_CHECK, 0},
      {"p", kWmCommand, IDM_PROPERTIES, 0},
      {"q", kWmCommand, IDM_EXIT, 0},
      {"m", SM_TRAY, kTrayIconId, kWmLButtonDblClk},
      {" ", SM_TRAY, kTrayIconId, kWmRButtonDown},
  };
  for (const Case& c : cases) {
    uint32_t msg = 0;
    WParam wp = 0;
    LParam lp = -1;
    ASSERT_TRUE(TrayKeyMessage(Key{KeyCode::kChar, c.text}, &msg, &wp, &lp)) << c.text;
    EXPECT_EQ(msg, c.msg);
    EXPECT_EQ(wp, c.wp);
    EXPECT_EQ(lp, c.lp);
  }
  uint32_t msg = 0;
  WParam wp = 0;
  LParam lp = 0;
  EXPECT_FALSE(TrayKeyMessage(Key{KeyCode::kChar, "x"}, &msg, &wp, &lp));
  EXPECT_FALSE(TrayKeyMessage(Key{KeyCode::kEnter, ""}, &msg, &wp, &lp));
}

TEST(Cp932Fit, NeverSplitsADoubleByteCharacter) {
  const std::string text =
      "ab\x83\x5C"
      "c";
  EXPECT_EQ(Cp932Fit(text.data(), text.size(), 2), 2u);
  EXPECT_EQ(Cp932Fit(text.data(), text.size(), 3), 2u);
  EXPECT_EQ(Cp932Fit(text.data(), text.size(), 4), 4u);
  EXPECT_EQ(Cp932Fit(text.data(), text.size(), 99), 5u);
  // A lead byte with nothing after it counts as one byte.
  EXPECT_EQ(Cp932Fit("a\x83", 2, 2), 2u);
}

TEST(FitColumns, CountsCharactersNotAttributes) {
  EXPECT_EQ(FitColumns("\x1b[7mabc\x1b[0mdef", 4), "\x1b[7mabc\x1b[0md");
  EXPECT_EQ(FitColumns("a\x83\x5C"
                       "b\x1b[0m",
                       2),
            "a\x1b[0m");  // attributes after the cut stay
  EXPECT_EQ(FitColumns("abc", 9), "abc");
}

TEST(EditField, EditsWholeCharactersAtTheCaret) {
  EditField e;
  e.SetText("ab");
  ASSERT_TRUE(e.Insert("\x83\x5C", 2));  // "ソ", trail byte 0x5C
  e.Left();
  e.Left();
  ASSERT_TRUE(e.Insert("x", 1));
  EXPECT_EQ(e.text(), "axb\x83\x5C");
  e.End();
  e.Backspace();  // both bytes go
  EXPECT_EQ(e.text(), "axb");
  e.Home();
  e.Delete();
  EXPECT_EQ(e.text(), "xb");
  e.Clear();
  EXPECT_EQ(e.text(), "");
  e.Backspace();
  e.Delete();
  EXPECT_EQ(e.caret(), 0u);
}

TEST(EditField, TypingReplacesAWholeSelectionAndNumbersTakeDigitsOnly) {
  EditField number(true, false);
  number.SetText("30");
  number.SelectAll();
  EXPECT_FALSE(number.Insert("a", 1));
  EXPECT_FALSE(number.Insert("\x82\x4F", 2));  // a full-width digit is no digit
  EXPECT_EQ(number.text(), "30");              // the refused key keeps the selection and the text
  EXPECT_TRUE(number.allSelected());
  EXPECT_TRUE(number.Insert("5", 1));
  EXPECT_EQ(number.text(), "5");
  number.SelectAll();
  number.Backspace();
  EXPECT_EQ(number.text(), "");

  EditField text;
  text.SetText("abc");
  text.SelectAll();
  text.Left();  // leaves the text, caret to the start
  text.Insert("x", 1);
  EXPECT_EQ(text.text(), "xabc");

  EditField full;
  full.SetText(std::string(EditField::kCapacity, 'a').c_str());
  EXPECT_FALSE(full.Insert("b", 1));
  EXPECT_EQ(full.text().size(), EditField::kCapacity);
}

TEST(EditField, ViewMasksAndScrollsToTheCaret) {
  EditField password(false, true);
  password.SetText("p\x83\x5Cw");
  std::string shown;
  size_t caret = 0;
  password.View(10, &shown, &caret);
  EXPECT_EQ(shown, "***");  // one mark per character
  EXPECT_EQ(caret, 3u);

  EditField e;
  e.SetText("abcdefghij");
  e.View(4, &shown, &caret);  // caret at the end: the tail shows
  EXPECT_EQ(shown, "hij");
  EXPECT_EQ(caret, 3u);
  e.Home();
  e.View(4, &shown, &caret);
  EXPECT_EQ(shown, "abcd");
  EXPECT_EQ(caret, 0u);
  // A double-byte character is shown whole or not at all.
  EditField wide;
  wide.SetText("a\x82\xA0\x82\xA2");
  wide.View(4, &shown, &caret);
  EXPECT_EQ(shown, "\x82\xA2");
  EXPECT_EQ(caret, 2u);
}

SettingsForm FilledForm() {
  SettingsForm form;
  std::snprintf(form.server, sizeof form.server, "pop.example.com");
  std::snprintf(form.user, sizeof form.user, "taro");
  std::snprintf(form.password, sizeof form.password, "abc");
  form.interval = 30;
  form.intervalOk = true;
  form.listChecked = true;
  form.ledChecked = true;
  return form;
}

// The first column of the row that holds the focus marker, and each control's row.
size_t FocusedRow(const SettingsFormModel& model) {
  std::vector<std::string> rows = model.Render(false, 100);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].rfind("> ", 0) == 0) return i;
  }
  return rows.size();
}

TEST(SettingsForm, TabAndShiftTabFollowTheScreenPastTheDisabledBox) {
  SettingsFormModel model;
  model.Load(FilledForm());
  using M = SettingsFormModel;
  std::vector<M::Control> order;
  std::vector<size_t> rows;
  for (int i = 0; i < 10; ++i) {
    order.push_back(model.focus());
    rows.push_back(FocusedRow(model));
    model.OnKey(KeyCode::kTab);
  }
  EXPECT_EQ(order,
            (std::vector<M::Control>{M::kOk, M::kCancel, M::kServer, M::kUser, M::kPassword,
                                     M::kMailer, M::kInterval, M::kList, M::kAdvanced, M::kOk}));
  // From the server on, each Tab goes down the screen (the two buttons share a row).
  for (size_t i = 3; i + 1 < rows.size(); ++i) EXPECT_LT(rows[i - 1], rows[i]) << i;
  // Shift+Tab walks the same way back: from the check box to the interval, not the password.
  while (model.focus() != M::kList) model.OnKey(KeyCode::kTab);
  model.OnKey(KeyCode::kBackTab);
  EXPECT_EQ(model.focus(), M::kInterval);
  model.OnKey(KeyCode::kBackTab);
  EXPECT_EQ(model.focus(), M::kMailer);
  model.OnKey(KeyCode::kUp);
  EXPECT_EQ(model.focus(), M::kPassword);
  model.OnKey(KeyCode::kBackTab);
  model.OnKey(KeyCode::kBackTab);
  model.OnKey(KeyCode::kBackTab);
  EXPECT_EQ(model.focus(), M::kCancel);  // wraps round to the buttons
}

TEST(SettingsForm, APastedLineBreakIsNotEnterAndRefusedKeysAreSaid) {
  using M = SettingsFormModel;
  using O = M::Outcome;
  SettingsFormModel model;
  model.Load(FilledForm());
  while (model.focus() != M::kPassword) model.OnKey(KeyCode::kTab);
  for (char c : std::string("new")) model.OnChar(&c, 1);
  EXPECT_EQ(model.OnKey(KeyCode::kEnter, true), O::kNone);  // pasted: the form stays open
  EXPECT_EQ(model.OnKey(KeyCode::kTab, true), O::kNone);
  EXPECT_EQ(model.focus(), M::kPassword);
  EXPECT_NE(model.note().find("改行"), std::string::npos);
  EXPECT_EQ(model.edit(M::kPassword).text(), "new");
  EXPECT_EQ(model.OnKey(KeyCode::kEnter), O::kOk);  // a typed Enter still is OK
  EXPECT_TRUE(model.note().empty());

  // A letter in the interval is refused with a word in the form.
  while (model.focus() != M::kInterval) model.OnKey(KeyCode::kTab);
  model.OnChar("5", 1);
  model.OnChar("x", 1);
  EXPECT_EQ(model.edit(M::kInterval).text(), "5");
  EXPECT_NE(model.note().find("チェック間隔には数字だけ"), std::string::npos);
  std::string shown;
  for (const std::string& row : model.Render(false, 100)) shown += row + "\n";
  EXPECT_NE(shown.find(model.note()), std::string::npos);
  model.OnChar("0", 1);
  EXPECT_TRUE(model.note().empty());

  // A 300-character server keeps its first 254 bytes, and the form says so at the 255th.
  model.OnKey(KeyCode::kTab);
  while (model.focus() != M::kServer) model.OnKey(KeyCode::kTab);
  for (int i = 0; i < 254; ++i) model.OnChar("s", 1);
  EXPECT_TRUE(model.note().empty());
  model.OnChar("s", 1);
  EXPECT_NE(model.note().find("254"), std::string::npos);
  EXPECT_EQ(model.edit(M::kServer).text(), std::string(254, 's'));
}

TEST(SettingsForm, EnterSpaceAndEscapeActAsTheDialogsButtons) {
  using M = SettingsFormModel;
  using O = M::Outcome;
  SettingsFormModel model;
  model.Load(FilledForm());
  EXPECT_EQ(model.OnChar(" ", 1), O::kOk);  // focus on OK at opening
  EXPECT_EQ(model.OnKey(KeyCode::kEnter), O::kOk);
  model.OnKey(KeyCode::kTab);
  EXPECT_EQ(model.OnKey(KeyCode::kEnter), O::kCancel);  // the focused button
  EXPECT_EQ(model.OnChar(" ", 1), O::kCancel);
  model.OnKey(KeyCode::kTab);
  EXPECT_EQ(model.OnKey(KeyCode::kEnter), O::kOk);  // from an edit: the default button
  EXPECT_EQ(model.OnKey(KeyCode::kEscape), O::kCancel);
  // Space toggles the list box; the LED box is out of reach.
  while (model.focus() != M::kList) model.OnKey(KeyCode::kTab);
  EXPECT_EQ(model.OnChar(" ", 1), O::kNone);
  SettingsForm read;
  model.Read(&read);
  EXPECT_FALSE(read.listChecked);
  EXPECT_TRUE(read.ledChecked);
}

TEST(SettingsForm, ReadsTheControlsBackAsTheDialogDoes) {
  SettingsForm loaded = FilledForm();
  loaded.interval = 4294967291u;  // -5 in the settings
  loaded.ledChecked = false;
  SettingsFormModel model;
  model.Load(loaded);
  EXPECT_EQ(model.edit(SettingsFormModel::kInterval).text(), "4294967291");

  // Tab into the server field selects it: typing replaces it, here with 300 characters of
  // which the field takes 254 bytes; a double-byte character across the limit is left out.
  model.OnKey(KeyCode::kTab);
  model.OnKey(KeyCode::kTab);
  for (int i = 0; i < 253; ++i) model.OnChar("s", 1);
  for (int i = 0; i < 47; ++i) model.OnChar("\x83\x5C", 2);
  model.OnKey(KeyCode::kTab);
  model.OnKey(KeyCode::kTab);
  model.OnKey(KeyCode::kBackspace);  // the password, selected, is removed
  SettingsForm read;
  model.Read(&read);
  EXPECT_EQ(std::string(read.server), std::string(253, 's'));
  EXPECT_EQ(std::string(read.user), "taro");
  EXPECT_EQ(std::string(read.password), "");
  EXPECT_TRUE(read.intervalOk);
  EXPECT_EQ(read.interval, 4294967291u);
  EXPECT_FALSE(read.ledChecked);

  // An emptied interval reads as a failure.
  while (model.focus() != SettingsFormModel::kInterval) model.OnKey(KeyCode::kTab);
  model.OnKey(KeyCode::kClearLine);
  model.Read(&read);
  EXPECT_FALSE(read.intervalOk);
}

TEST(SettingsForm, ShowsTheDialogsTextsInItsRowsAndMasksThePassword) {
  SettingsFormModel model;
  model.Load(FilledForm());
  std::vector<std::string> rows = model.Render(false, 80);
  std::string all;
  for (const std::string& row : rows) all += row + "\n";
  const char* texts[] = {"KESTOVA の 設定",
                         "POP3サーバーネーム",
                         "アカウント",
                         "パスワード",
                         "メーラー",
                         "チェック間隔",
                         "分おきにチェックする",
                         "送信先リストを表示する",
                         "LED自動点灯",
                         "OK",
                         "ｷｬﾝｾﾙ"};
  size_t at = 0;
  for (const char* text : texts) {
    size_t found = all.find(text, at);
    ASSERT_NE(found, std::string::npos) << text;
    at = found;
  }
  EXPECT_NE(all.find("[***  "), std::string::npos);
  EXPECT_EQ(all.find("abc"), std::string::npos);
  EXPECT_NE(all.find("[x] 送信先リストを表示する"), std::string::npos);
  // The focus is marked in the first column: the buttons' row at opening.
  for (const std::string& row : rows) {
    EXPECT_EQ(row.rfind("> ", 0) == 0, row.find("[ OK ]") != std::string::npos) << row;
  }
  // No row is wider than the terminal; a code page 932 text is as wide as it is long.
  for (const std::string& row : model.Render(false, 40)) EXPECT_LE(row.size(), 40u) << row;
}

TEST(SettingsFileHelp, GivesLinesThatLoadAsTheSettings) {
  SettingsForm form = FilledForm();
  std::snprintf(form.mailer, sizeof form.mailer, "C:\\Mail\\\"m\".exe -x");
  std::string help = SettingsFileHelp("/home/u/.config/kestova/settings.reg", form);
  EXPECT_NE(help.find("/home/u/.config/kestova/settings.reg"), std::string::npos);
  size_t start = help.find("REGEDIT4\n");
  size_t end = help.find("\n\n", help.find("MAILLER"));
  ASSERT_NE(start, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  RegeditKey key;
  ASSERT_TRUE(ParseRegeditFile(help.substr(start, end + 1 - start), kRegeditSettingsKey, &key));

  test::FakeRegistry registry;
  registry.exists = true;
  for (const RegeditValue& v : key.values) {
    registry.values[v.name] = test::FakeRegistry::Value{v.type, v.data};
  }
  Settings settings;
  LoadSettings(settings, registry);
  EXPECT_STREQ(settings.server, "pop.example.com");
  EXPECT_STREQ(settings.user, "taro");
  EXPECT_STREQ(settings.password, "abc");  // the example's password
  EXPECT_EQ(settings.interval, 30);
  EXPECT_EQ(settings.listSenders, 1);
  EXPECT_EQ(settings.ledAuto, 1);
  EXPECT_STREQ(settings.mailer, "C:\\Mail\\\"m\".exe -x");
}

TEST(SettingsFilePath, FollowsTheVariables) {
  std::string saved = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("KESTOVA_SETTINGS_FILE", "/tmp/x.reg", 1);
  EXPECT_EQ(SettingsFilePath(), "/tmp/x.reg");
  unsetenv("KESTOVA_SETTINGS_FILE");
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(SettingsFilePath(), "/cfg/kestova/settings.reg");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // only an absolute one counts
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(SettingsFilePath(), "/home/u/.config/kestova/settings.reg");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", saved.c_str(), 1);
}

// The process port runs real programs: /bin/sh stands in for the mail program.
class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kc-process-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ + "/" + name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string dir_;
};

TEST_F(ProcessTest, StartsTheProgramWithItsArgumentsAndWaitsForIt) {
  auto process = MakeProcess();
  // Quotes for the shell, escaped for the command line.
  std::string script = "printf '%s|' \\\"$0\\\" \\\"$@\\\" > " + dir_ + "/argv; cat > " + dir_ +
                       "/stdin; pwd > " + dir_ + "/cwd";
  std::string line = "\"/bin/sh\" -c \"" + script + "\" \"a b\" c\\\"d";
  ProcessRef ref = process->Start("/bin/sh", line.c_str());
  ASSERT_NE(ref, 0u);
  process->Wait(ref, 60000);  // ends when the program has ended
  process->Close(ref);
  EXPECT_EQ(Read("argv"), "a b|c\"d|");
  EXPECT_EQ(Read("stdin"), "");  // no input from the notifier's terminal
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(Read("cwd"), std::string(cwd) + "\n");
}

TEST_F(ProcessTest, AWaitEndsAtItsBoundWhileTheProgramRunsOn) {
  auto process = MakeProcess();
  std::string line = "\"/bin/sh\" -c \"sleep 1; touch " + dir_ + "/done\"";
  ProcessRef ref = process->Start("/bin/sh", line.c_str());
  ASSERT_NE(ref, 0u);
  process->Wait(ref, 50);
  struct stat st;
  EXPECT_NE(stat((dir_ + "/done").c_str(), &st), 0);  // returned before the program ended
  process->Wait(ref, 60000);
  EXPECT_EQ(stat((dir_ + "/done").c_str(), &st), 0);
  process->Close(ref);
}

TEST_F(ProcessTest, AProgramThatCannotStartGivesNoProcess) {
  auto process = MakeProcess();
  EXPECT_EQ(process->Start("/nonexistent/mail", "\"/nonexistent/mail\""), 0u);
  // The launcher waits on and closes what it got, even nothing.
  process->Wait(0, 1000);
  process->Close(0);
}

}  // namespace
}  // namespace kc::posix

namespace kc::posix {
namespace {

std::string Shown(const SettingsFormModel& model) {
  std::string all;
  for (const std::string& row : model.Render(false, 80)) all += row + "\n";
  return all;
}

// The encryption list is the first row of the second page, 詳細設定; space and the arrow keys
// go through its three items.
TEST(SettingsForm, EncryptionListCyclesAndReadsBack) {
  SettingsForm loaded;
  loaded.encryption = kEncryptionStartTls;
  SettingsFormModel model;
  model.Load(loaded);
  EXPECT_EQ(Shown(model).find("暗号化"), std::string::npos);  // not on the first page
  model.OnKey(KeyCode::kBackTab);  // the button of the second page, above OK
  ASSERT_EQ(model.focus(), SettingsFormModel::kAdvanced);
  EXPECT_EQ(model.OnKey(KeyCode::kEnter), SettingsFormModel::Outcome::kNone);
  EXPECT_NE(Shown(model).find("暗号化 [STARTTLS ▼]"), std::string::npos) << Shown(model);
  ASSERT_EQ(model.focus(), SettingsFormModel::kEncryption);
  model.OnChar(" ", 1);
  EXPECT_EQ(model.encryption(), kEncryptionNone);
  model.OnKey(KeyCode::kLeft);
  EXPECT_EQ(model.encryption(), kEncryptionStartTls);
  model.OnKey(KeyCode::kRight);
  model.OnKey(KeyCode::kRight);
  SettingsForm read;
  model.Read(&read);
  EXPECT_EQ(read.encryption, kEncryptionTls);
  // A value the list does not know shows as TLS, the way it connects.
  loaded.encryption = 9;
  model.Load(loaded);
  model.Read(&read);
  EXPECT_EQ(read.encryption, kEncryptionTls);
}

// The second page: its groups in order, Tab within it only, and its two buttons: OK keeps
// what it holds for the first page's OK, Cancel (or Esc) puts back what it opened with.
TEST(SettingsForm, TheSecondPageKeepsOrDropsItsFields) {
  using M = SettingsFormModel;
  using O = M::Outcome;
  SettingsForm loaded = FilledForm();
  std::strcpy(loaded.port, "995");
  SettingsFormModel model;
  model.Load(loaded);
  model.OnKey(KeyCode::kBackTab);
  model.OnChar(" ", 1);
  ASSERT_EQ(model.page(), M::Page::kAdvanced);
  const std::string all = Shown(model);
  size_t at = 0;
  for (const char* text :
       {"詳細設定", "-- 接続 --", "暗号化", "ポート", "[995", "証明書ピン", "-- 認証 --",
        "認証方式 [パスワード ▼]", "プロバイダー", "クライアントID", "シークレット", "テナント",
        "[ サインイン ]", "-- 新着 --", "[ ] 新着のみ", "[ ] 通知", "[ OK ]", "[ ｷｬﾝｾﾙ ]"}) {
    size_t found = all.find(text, at);
    ASSERT_NE(found, std::string::npos) << text << "\n" << all;
    at = found;
  }
  EXPECT_EQ(all.find("POP3"), std::string::npos);

  std::vector<M::Control> order;
  for (int i = 0; i < 9; ++i) {
    order.push_back(model.focus());
    model.OnKey(KeyCode::kTab);
  }
  order.push_back(model.focus());
  // With the password login the sign-in's fields and button are passed over.
  EXPECT_EQ(order, (std::vector<M::Control>{M::kEncryption, M::kPort, M::kCertPin, M::kLogin,
                                            M::kNewOnly, M::kNotify, M::kAccounts, M::kAdvancedOk,
                                            M::kAdvancedCancel, M::kEncryption}));

  // Edits, then Esc: all as it was, back on the first page at the button.
  model.OnChar(" ", 1);  // encryption to the next item
  model.OnKey(KeyCode::kTab);
  model.OnChar("x", 1);  // the port takes digits only
  EXPECT_NE(model.note().find("ポートには数字だけ"), std::string::npos);
  model.OnChar("1", 1);
  model.OnKey(KeyCode::kTab);
  model.OnKey(KeyCode::kTab);
  model.OnKey(KeyCode::kTab);
  model.OnChar(" ", 1);  // 新着のみ on
  EXPECT_EQ(model.OnKey(KeyCode::kEscape), O::kNone);
  EXPECT_EQ(model.page(), M::Page::kMain);
  EXPECT_EQ(model.focus(), M::kAdvanced);
  SettingsForm read;
  model.Read(&read);
  EXPECT_EQ(read.encryption, loaded.encryption);
  EXPECT_STREQ(read.port, "995");
  EXPECT_FALSE(read.newOnlyChecked);

  // The same edits, then Enter in a field: the page's OK, which the caller confirms.
  model.OnChar(" ", 1);  // the button opens the page
  model.OnChar(" ", 1);
  model.OnKey(KeyCode::kTab);
  model.OnChar("1", 1);
  EXPECT_EQ(model.OnKey(KeyCode::kEnter), O::kAdvancedOk);
  EXPECT_EQ(model.page(), M::Page::kAdvanced);  // open until the judge agrees
  model.CloseAdvanced(true);
  model.Read(&read);
  EXPECT_EQ(read.encryption, kEncryptionTls);
  EXPECT_STREQ(read.port, "1");
  // Enter on the button opens the page again, showing what its OK kept.
  EXPECT_EQ(model.OnKey(KeyCode::kEnter), O::kNone);
  EXPECT_EQ(model.page(), M::Page::kAdvanced);
  EXPECT_NE(Shown(model).find("[1 "), std::string::npos);
}

// OAuth 2.0 on the second page: the password is passed over and dimmed on the first, the
// sign-in's fields take input, the button asks for a sign-in and says whether a token is kept.
TEST(SettingsForm, OAuthTakesThePasswordsPlaceAndOffersTheSignIn) {
  using M = SettingsFormModel;
  using O = M::Outcome;
  SettingsForm loaded = FilledForm();
  loaded.encryption = kEncryptionTls;
  loaded.signInAvailable = true;
  SettingsFormModel model;
  model.Load(loaded);
  model.OnKey(KeyCode::kBackTab);
  model.OnChar(" ", 1);
  while (model.focus() != M::kLogin) model.OnKey(KeyCode::kTab);
  model.OnKey(KeyCode::kRight);
  EXPECT_EQ(model.login(), kLoginOAuth);
  EXPECT_NE(Shown(model).find("認証方式 [OAuth 2.0 ▼]"), std::string::npos);
  EXPECT_NE(Shown(model).find("[ サインイン ] 未サインイン"), std::string::npos) << Shown(model);
  std::vector<M::Control> order;
  for (int i = 0; i < 6; ++i) {
    model.OnKey(KeyCode::kTab);
    order.push_back(model.focus());
  }
  EXPECT_EQ(order, (std::vector<M::Control>{M::kProvider, M::kClientId, M::kClientSecret,
                                            M::kTenant, M::kSignIn, M::kNewOnly}));
  while (model.focus() != M::kProvider) model.OnKey(KeyCode::kBackTab);
  for (char c : std::string("google")) model.OnChar(&c, 1);
  model.OnKey(KeyCode::kTab);
  model.OnKey(KeyCode::kTab);
  for (char c : std::string("s3cr3t")) model.OnChar(&c, 1);
  EXPECT_EQ(Shown(model).find("s3cr3t"), std::string::npos);  // masked like the password
  model.OnKey(KeyCode::kTab);
  model.OnKey(KeyCode::kTab);
  EXPECT_EQ(model.OnKey(KeyCode::kEnter), O::kSignIn);
  model.SetTokenStored(true);
  EXPECT_NE(Shown(model).find("[ サインイン ] サインイン済み"), std::string::npos);
  EXPECT_EQ(model.OnKey(KeyCode::kEscape), O::kNone);  // dropped again
  SettingsForm read;
  model.Read(&read);
  EXPECT_EQ(read.login, kLoginPassword);
  EXPECT_STREQ(read.provider, "");

  // Kept with the page's OK: the first page then passes the password over and dims it.
  model.OnChar(" ", 1);
  while (model.focus() != M::kLogin) model.OnKey(KeyCode::kTab);
  model.OnChar(" ", 1);
  model.OnKey(KeyCode::kTab);
  for (char c : std::string("microsoft")) model.OnChar(&c, 1);
  EXPECT_EQ(model.OnKey(KeyCode::kEnter), O::kAdvancedOk);
  model.CloseAdvanced(true);
  model.Read(&read);
  EXPECT_EQ(read.login, kLoginOAuth);
  EXPECT_STREQ(read.provider, "microsoft");
  EXPECT_STREQ(read.password, "abc");  // kept as it was, not used
  EXPECT_TRUE(model.Off(M::kPassword));
  for (int i = 0; i < 10; ++i) {
    model.OnKey(KeyCode::kTab);
    EXPECT_NE(model.focus(), M::kPassword);
  }
  // Without a way to sign in (a program built without it) the button takes no focus.
  loaded.signInAvailable = false;
  loaded.login = kLoginOAuth;
  model.Load(loaded);
  EXPECT_TRUE(model.Off(M::kSignIn));
}

}  // namespace
}  // namespace kc::posix
