// Accounts 2 to 8 in the settings key's subkeys: written and read back through the fake registry
// and the Linux settings file, the key of one account as it always was.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "posix/backends.h"
#include "posix/regedit_file.h"
#include "settings/account_keys.h"
#include "settings/settings.h"
#include "support/fake_oauth_ports.h"
#include "support/fakes.h"

namespace kc {
namespace {

using test::FakeRegistry;

// The main key's section and the subkeys' sections as the file names them.
const std::string kMain = kRegeditSettingsKey;
std::string Sub(const char* n) { return kMain + "\\" + n; }

class CollectTrace final : public TracePort {
 public:
  std::string text;
  void Trace(const char* t) override { text += t; }
};

// Three accounts that differ in every per-account value; the main key's NAME set too.
Settings ThreeAccounts() {
  Settings s;
  std::strcpy(s.server, "pop.example.jp");
  std::strcpy(s.user, "taro@example.jp");
  std::strcpy(s.password, "secret1");
  std::strcpy(s.name, "WORK");
  s.interval = 10;
  s.notify = 1;
  s.moreCount = 2;
  AccountSettings& b = s.more[0];
  std::strcpy(b.server, "mail.home.example");
  std::strcpy(b.user, "hanako");
  std::strcpy(b.password, "pw2");
  b.ssl = kSslStartTls;
  b.port = 110;
  std::strcpy(b.certPin, "AA:BB");
  b.newOnly = 1;
  std::strcpy(b.name, "\xCE\xD1");  // ﾎﾑ
  AccountSettings& c = s.more[1];
  std::strcpy(c.server, "outlook.office365.com");
  std::strcpy(c.user, "jiro@example.com");
  c.auth = kAuthOAuth;
  std::strcpy(c.oauth, "microsoft");
  std::strcpy(c.clientId, "0c1d2e3f");
  return s;
}

void ExpectSameAccount(const AccountSettings& a, const AccountSettings& b, int number) {
  SCOPED_TRACE("account " + std::to_string(number));
  EXPECT_STREQ(a.server, b.server);
  EXPECT_STREQ(a.user, b.user);
  EXPECT_STREQ(a.password, b.password);
  EXPECT_EQ(a.ssl, b.ssl);
  EXPECT_EQ(a.port, b.port);
  EXPECT_STREQ(a.certPin, b.certPin);
  EXPECT_EQ(a.newOnly, b.newOnly);
  EXPECT_EQ(a.auth, b.auth);
  EXPECT_STREQ(a.oauth, b.oauth);
  EXPECT_STREQ(a.clientId, b.clientId);
  EXPECT_STREQ(a.clientSecret, b.clientSecret);
  EXPECT_STREQ(a.tenant, b.tenant);
  EXPECT_STREQ(a.scope, b.scope);
  EXPECT_STREQ(a.name, b.name);
}

void ExpectSameAccounts(const Settings& a, const Settings& b) {
  ASSERT_EQ(AccountCount(a), AccountCount(b));
  for (int n = 1; n <= AccountCount(a); ++n) ExpectSameAccount(AccountAt(a, n), AccountAt(b, n), n);
  EXPECT_EQ(a.interval, b.interval);
  EXPECT_EQ(a.notify, b.notify);
}

FakeRegistry::Value Dword(uint32_t v) {
  return {kRegDword, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}};
}
FakeRegistry::Value Sz(const std::string& s) {
  std::vector<uint8_t> bytes(s.begin(), s.end());
  bytes.push_back(0);
  return {kRegSz, bytes};
}

// ---- The fake registry ----

TEST(AccountStore, AccountsGoToTheirSubkeysAndComeBack) {
  FakeRegistry registry;
  Settings saved = ThreeAccounts();
  SaveSettings(saved, registry);

  // The main key: the values of old in their order, NOTIFY, and NAME last.
  EXPECT_EQ(registry.order, (std::vector<std::string>{"SERVER", "USER", "PASS", "TIME", "LIST",
                                                      "LED", "MAILLER", "NOTIFY", "NAME"}));
  ASSERT_EQ(registry.subkeys.size(), 2u);
  // A subkey holds the per-account values only, with the main key's names and types.
  EXPECT_EQ(registry.subkeys["2"].order,
            (std::vector<std::string>{"SERVER", "USER", "PASS", "SSL", "PORT", "CERTPIN", "NEWONLY",
                                      "NAME"}));
  EXPECT_EQ(registry.subkeys["3"].order,
            (std::vector<std::string>{"SERVER", "USER", "PASS", "AUTH", "OAUTH", "CLIENTID"}));
  const auto& two = registry.subkeys["2"].values;
  EXPECT_EQ(two.at("SERVER").type, kRegSz);
  EXPECT_EQ(two.at("SERVER").bytes.size(), size_t{kServerSize});
  EXPECT_EQ(two.at("PASS").type, kRegBinary);
  ASSERT_EQ(two.at("PASS").bytes.size(), size_t{kPasswordSize});
  EXPECT_EQ(two.at("PASS").bytes[0], uint8_t(~'p'));  // complemented, as account 1's
  EXPECT_EQ(two.at("PASS").bytes[3], 0xFF);
  EXPECT_EQ(two.at("NAME").type, kRegSz);
  EXPECT_EQ(two.at("NAME").bytes.size(), size_t{kAccountNameSize});
  EXPECT_EQ(two.at("SSL").bytes, Dword(kSslStartTls).bytes);

  Settings loaded;
  LoadSettings(loaded, registry);
  ExpectSameAccounts(loaded, saved);
  EXPECT_TRUE(loaded.nameStored);
  EXPECT_TRUE(loaded.more[0].nameStored);
  EXPECT_FALSE(loaded.more[1].nameStored);
  EXPECT_EQ(loaded.ignoredCount, 0);
}

TEST(AccountStore, OneAccountLeavesTheKeyAsItWas) {
  FakeRegistry registry;
  Settings s;
  std::strcpy(s.server, "pop.example.jp");
  SaveSettings(s, registry);
  EXPECT_EQ(registry.order,
            (std::vector<std::string>{"SERVER", "USER", "PASS", "TIME", "LIST", "LED", "MAILLER"}));
  EXPECT_TRUE(registry.subkeys.empty());

  Settings loaded;
  LoadSettings(loaded, registry);
  EXPECT_EQ(AccountCount(loaded), 1);
  EXPECT_FALSE(loaded.nameStored);
  // Once the key held NAME, emptying it writes the empty text rather than leaving the old.
  registry.values["NAME"] = Sz("OLD");
  LoadSettings(loaded, registry);
  EXPECT_STREQ(loaded.name, "OLD");
  loaded.name[0] = '\0';
  SaveSettings(loaded, registry);
  EXPECT_EQ(registry.values.at("NAME").bytes[0], 0);
}

TEST(AccountStore, SubkeysAreReadInNumberOrderAndOthersPassedOver) {
  FakeRegistry registry;
  registry.exists = true;
  registry.values["SERVER"] = Sz("one");
  // Listed in the map's order: "02", "1", "10", "4", "9", "abc", "6".
  for (const char* n : {"4", "6", "9", "10", "02", "1", "abc"}) {
    registry.SubKeyValues(n)["SERVER"] = Sz(std::string("server-") + n);
  }
  registry.SubKeyValues("4")["USER"] = Sz("u4");
  registry.lockedKeys.insert("6");  // listed but not opened: passed over as a missing one

  Settings s;
  s.moreCount = 5;  // what an earlier load found is forgotten
  std::strcpy(s.more[4].server, "stale");
  LoadSettings(s, registry);
  ASSERT_EQ(s.moreCount, 1);
  EXPECT_STREQ(s.more[0].server, "server-4");
  EXPECT_STREQ(s.more[0].user, "u4");
  EXPECT_STREQ(s.more[4].server, "");
  ASSERT_EQ(s.ignoredCount, 2);
  EXPECT_STREQ(s.ignoredAccounts[0], "9");
  EXPECT_STREQ(s.ignoredAccounts[1], "10");

  CollectTrace trace;
  TraceIgnoredAccounts(s, trace);
  EXPECT_EQ(trace.text,
            "Account 9 ignored: at most 8 accounts\r\n"
            "Account 10 ignored: at most 8 accounts\r\n");
}

TEST(AccountStore, ManyHighSubkeysKeepTheLowestNumbersForTheTrace) {
  FakeRegistry registry;
  registry.exists = true;
  for (int n = 40; n >= 9; --n) registry.SubKeyValues(std::to_string(n));
  registry.SubKeyValues("123456789012345678901234567890");
  Settings s;
  LoadSettings(s, registry);
  ASSERT_EQ(s.ignoredCount, kMaxIgnoredAccounts);
  for (int i = 0; i < kMaxIgnoredAccounts; ++i) {
    EXPECT_EQ(std::string(s.ignoredAccounts[i]), std::to_string(9 + i));
  }
}

TEST(AccountStore, SaveRenumbersRemovesAndKeepsWhatItDoesNotKnow) {
  FakeRegistry registry;
  Settings s = ThreeAccounts();
  SaveSettings(s, registry);
  registry.SubKeyValues("2")["COLOR"] = Dword(0xFF0000);  // a value of a newer program
  registry.SubKeyValues("3")["COLOR"] = Dword(0x00FF00);
  registry.SubKeyValues("9")["SERVER"] = Sz("ninth");  // ignored: left as it is
  registry.SubKeyValues("other");

  LoadSettings(s, registry);
  ASSERT_EQ(s.moreCount, 2);
  // The second account removed: the third moves up into "2", subkey "3" goes.
  s.more[0] = s.more[1];
  s.moreCount = 1;
  SaveSettings(s, registry);
  EXPECT_EQ(registry.subkeys.count("3"), 0u);
  EXPECT_EQ(registry.subkeys.count("9"), 1u);
  EXPECT_EQ(registry.subkeys.count("other"), 1u);
  EXPECT_EQ(registry.SubKeyValues("9").at("SERVER").bytes, Sz("ninth").bytes);
  // Unknown values stay in the subkey they were in.
  EXPECT_EQ(registry.SubKeyValues("2").at("COLOR").bytes, Dword(0xFF0000).bytes);

  Settings loaded;
  LoadSettings(loaded, registry);
  ASSERT_EQ(loaded.moreCount, 1);
  EXPECT_STREQ(loaded.more[0].server, "outlook.office365.com");
  EXPECT_EQ(loaded.more[0].auth, kAuthOAuth);
  // Nothing of the removed account's own settings is taken for the one that moved up.
  EXPECT_EQ(loaded.more[0].ssl, kSslNone);
  EXPECT_EQ(loaded.more[0].port, 0);
  EXPECT_STREQ(loaded.more[0].certPin, "");
  EXPECT_EQ(loaded.more[0].newOnly, 0);
  EXPECT_STREQ(loaded.more[0].name, "");
  EXPECT_EQ(registry.subkeys["2"].values.count("SSL"), 0u);
  EXPECT_EQ(registry.subkeys["2"].values.count("NAME"), 0u);
  // Saved again where it now is, the account keeps what it holds.
  SaveSettings(loaded, registry);
  EXPECT_EQ(registry.SubKeyValues("2").at("AUTH").bytes, Dword(kAuthOAuth).bytes);

  // Down to one account: every account subkey goes, the others stay.
  loaded.moreCount = 0;
  SaveSettings(loaded, registry);
  EXPECT_EQ(registry.subkeys.count("2"), 0u);
  EXPECT_EQ(registry.subkeys.count("9"), 1u);
}

// Each per-account value follows in a subkey the rule it follows in the main key.
TEST(AccountStore, SubkeyValuesFollowTheMainKeysRules) {
  const struct {
    const char* what;
    std::map<std::string, FakeRegistry::Value> values;
    std::function<void(const AccountSettings&)> check;
  } cases[] = {
      {"no values: an incomplete account of defaults",
       {},
       [](const AccountSettings& a) {
         EXPECT_STREQ(a.server, "");
         EXPECT_STREQ(a.password, "");
         EXPECT_EQ(a.ssl, kSslNone);
         EXPECT_EQ(a.sslFound.state, ValueFound::kAbsent);
         EXPECT_FALSE(a.newOnlyStored);
         EXPECT_FALSE(a.nameStored);
       }},
      {"an SSL that is no DWORD secures the connection",
       {{"SSL", Sz("0")}},
       [](const AccountSettings& a) {
         EXPECT_EQ(a.ssl, kSslImplicit);
         EXPECT_EQ(a.sslFound.state, ValueFound::kUnreadable);
       }},
      {"a CERTPIN too long refuses every certificate",
       {{"CERTPIN", Sz(std::string(2000, 'A'))}},
       [](const AccountSettings& a) {
         EXPECT_STREQ(a.certPin, "");
         EXPECT_EQ(a.certPinFound.state, ValueFound::kTooLong);
       }},
      {"an AUTH that is no DWORD means OAuth",
       {{"AUTH", Sz("1")}},
       [](const AccountSettings& a) { EXPECT_EQ(a.auth, kAuthOAuth); }},
      {"a short PASS stands for the bytes given",
       {{"PASS", {kRegBinary, {uint8_t(~'a'), uint8_t(~'b')}}}},
       [](const AccountSettings& a) { EXPECT_STREQ(a.password, "ab"); }},
      {"a NAME that fills the field without its NUL is cut to 16 bytes",
       {{"NAME", {kRegSz, std::vector<uint8_t>(17, 'N')}}},
       [](const AccountSettings& a) {
         EXPECT_STREQ(a.name, "NNNNNNNNNNNNNNNN");
         EXPECT_TRUE(a.nameStored);
       }},
      {"a NAME larger than the field is not read",
       {{"NAME", Sz("ABCDEFGHIJKLMNOPQ")}},
       [](const AccountSettings& a) {
         EXPECT_STREQ(a.name, "");
         EXPECT_FALSE(a.nameStored);
       }},
      {"the shared values are the main key's alone",
       {{"TIME", Dword(3)}, {"NOTIFY", Dword(1)}, {"SERVER", Sz("s")}},
       [](const AccountSettings& a) { EXPECT_STREQ(a.server, "s"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeRegistry registry;
    registry.exists = true;
    registry.SubKeyValues("2") = c.values;
    Settings s;
    LoadSettings(s, registry);
    ASSERT_EQ(s.moreCount, 1);
    c.check(s.more[0]);
    EXPECT_EQ(s.interval, kDefaultInterval);
    EXPECT_EQ(s.notify, 0);
  }
}

TEST(AccountStore, SubkeyOfDefaultsIsWrittenWithTheLoginValuesOnly) {
  FakeRegistry registry;
  Settings s;
  s.moreCount = 1;
  std::strcpy(s.more[0].server, "pop.example.jp");
  SaveSettings(s, registry);
  EXPECT_EQ(registry.subkeys["2"].order, (std::vector<std::string>{"SERVER", "USER", "PASS"}));
  // An unreadable PORT in a subkey is left as it is, as in the main key.
  registry.SubKeyValues("2")["PORT"] = Sz("995");
  LoadSettings(s, registry);
  SaveSettings(s, registry);
  EXPECT_EQ(registry.SubKeyValues("2").at("PORT").type, kRegSz);
  // An account added in front takes subkey "2": that PORT was the other account's and goes.
  s.more[1] = s.more[0];
  s.more[0] = AccountSettings{};
  std::strcpy(s.more[0].server, "new.example.jp");
  s.moreCount = 2;
  SaveSettings(s, registry);
  EXPECT_EQ(registry.SubKeyValues("2").count("PORT"), 0u);
  EXPECT_EQ(registry.SubKeyValues("3").count("PORT"), 0u);  // what could not be read is not had
  Settings loaded;
  LoadSettings(loaded, registry);
  EXPECT_STREQ(loaded.more[0].server, "new.example.jp");
  EXPECT_STREQ(loaded.more[1].server, "pop.example.jp");
}

TEST(AccountStore, SubkeyNamesThatAreAccounts) {
  const struct {
    const char* name;
    int number;
  } cases[] = {{"2", 2},  {"8", 8}, {"9", 9},  {"10", 9}, {"99999999999999999999", 9},
               {"1", 0},  {"0", 0}, {"02", 0}, {"", 0},   {"2a", 0},
               {" 3", 0}, {"-3", 0}};
  for (const auto& c : cases) EXPECT_EQ(AccountKeyNumber(c.name), c.number) << c.name;
}

// ---- The Linux settings file ----

class AccountFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kc-accounts-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    path_ = root_ + "/settings.reg";
    setenv("KESTOVA_SETTINGS_FILE", path_.c_str(), 1);
    registry_ = posix::MakeRegistry();
  }
  void TearDown() override {
    unsetenv("KESTOVA_SETTINGS_FILE");
    std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  void Write(const std::string& text) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::vector<RegeditSection> Sections() const {
    std::vector<RegeditSection> sections;
    EXPECT_TRUE(ParseRegeditSections(Read(), &sections));
    return sections;
  }
  static std::vector<std::string> Keys(const std::vector<RegeditSection>& sections) {
    std::vector<std::string> keys;
    for (const RegeditSection& s : sections) keys.push_back(s.key);
    return keys;
  }

  std::string root_, path_;
  std::unique_ptr<RegistryPort> registry_;
};

TEST_F(AccountFile, AccountsAreFurtherSectionsAndComeBack) {
  Settings saved = ThreeAccounts();
  SaveSettings(saved, *registry_);
  const std::string text = Read();
  EXPECT_EQ(Keys(Sections()), (std::vector<std::string>{kMain, Sub("2"), Sub("3")}));
  EXPECT_NE(text.find("\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\2]\r\n\"SERVER\"=hex(1):"),
            std::string::npos);
  EXPECT_NE(text.find("\r\n\"NAME\"=hex(1):ce,d1,00,"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");

  Settings loaded;
  LoadSettings(loaded, *registry_);
  ExpectSameAccounts(loaded, saved);

  // Saved again unchanged: the same bytes.
  SaveSettings(loaded, *registry_);
  EXPECT_EQ(Read(), text);
}

TEST_F(AccountFile, OneAccountIsTheOneSectionFileOfOld) {
  Settings s;
  std::strcpy(s.server, "pop.example.jp");
  std::strcpy(s.user, "taro");
  std::strcpy(s.password, "pw");
  SaveSettings(s, *registry_);
  // The file is exactly the one key with its seven values, as it was written before accounts.
  const std::string text = Read();
  std::vector<RegeditValue> seven;
  RegeditKey key;
  ASSERT_TRUE(ParseRegeditFile(text, kMain, &key));
  EXPECT_EQ(text, FormatRegeditFile(kMain, key.values));
  ASSERT_EQ(key.values.size(), 7u);

  Settings loaded;
  LoadSettings(loaded, *registry_);
  SaveSettings(loaded, *registry_);
  EXPECT_EQ(Read(), text);
}

TEST_F(AccountFile, OtherKeysAndUnknownValuesAreKeptAndNewSubkeysGoInOrder) {
  Write(
      "REGEDIT4\r\n\r\n"
      "[HKEY_CURRENT_USER\\Software\\Other]\r\n\"X\"=dword:00000001\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n\"SERVER\"=\"one\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\3]\r\n\"SERVER\"=\"three\"\r\n"
      "\"COLOR\"=dword:00ff0000\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\9]\r\n\"SERVER\"=\"nine\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\5\\deeper]\r\n\r\n");
  Settings s;
  LoadSettings(s, *registry_);
  ASSERT_EQ(s.moreCount, 2);  // "3" and "5", which exists as the key above "deeper"
  EXPECT_STREQ(s.more[0].server, "three");
  EXPECT_STREQ(s.more[1].server, "");
  ASSERT_EQ(s.ignoredCount, 1);
  EXPECT_STREQ(s.ignoredAccounts[0], "9");

  // A new account in front: "2" is written after the main key, "3" gets the old "3"'s
  // place and keeps its unknown value; "4" comes after "3"; "5" cannot go (a key below it).
  AccountSettings added;
  std::strcpy(added.server, "two");
  s.more[2] = s.more[1];
  s.more[1] = s.more[0];
  s.more[0] = added;
  s.moreCount = 3;
  std::strcpy(s.more[1].server, "three again");
  SaveSettings(s, *registry_);
  std::vector<RegeditSection> sections = Sections();
  EXPECT_EQ(Keys(sections),
            (std::vector<std::string>{"HKEY_CURRENT_USER\\Software\\Other", kMain, Sub("2"),
                                      Sub("3"), Sub("4"), Sub("9"), Sub("5\\deeper")}));
  bool colorKept = false;
  for (const RegeditValue& v : sections[3].values) colorKept = colorKept || v.name == "COLOR";
  EXPECT_TRUE(colorKept);

  Settings loaded;
  LoadSettings(loaded, *registry_);
  ASSERT_EQ(loaded.moreCount, 4);  // "5" is still there
  EXPECT_STREQ(loaded.more[0].server, "two");
  EXPECT_STREQ(loaded.more[1].server, "three again");
  EXPECT_STREQ(loaded.more[2].server, "");

  // Removing accounts removes their sections; "9" and the other program's key stay.
  loaded.moreCount = 0;
  SaveSettings(loaded, *registry_);
  EXPECT_EQ(Keys(Sections()), (std::vector<std::string>{"HKEY_CURRENT_USER\\Software\\Other", kMain,
                                                        Sub("9"), Sub("5\\deeper")}));
}

// A settings export as regedit writes it (REGEDIT4, CRLF, strings in quotes, PASS folded) with
// two accounts' subkeys and a twelfth one: it loads as written.
TEST_F(AccountFile, WindowsExportImportsUnchanged) {
  std::ifstream in(std::string(KC_FIXTURES) + "/settings_export.reg", std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string exported = ss.str();
  ASSERT_NE(exported.find("\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\2]\r\n"), std::string::npos);
  Write(exported);

  Settings s;
  LoadSettings(s, *registry_);
  EXPECT_STREQ(s.server, "pop.example.jp");
  EXPECT_STREQ(s.user, "taro@example.jp");
  EXPECT_STREQ(s.password, "secret1");
  EXPECT_STREQ(s.mailer, "C:\\Program Files\\Mail\\mail.exe");
  EXPECT_EQ(s.interval, 10);
  EXPECT_EQ(s.ssl, kSslImplicit);
  EXPECT_STREQ(s.name, "WORK");
  ASSERT_EQ(s.moreCount, 2);
  EXPECT_STREQ(s.more[0].server, "mail.home.example");
  EXPECT_STREQ(s.more[0].password, "pw2");
  EXPECT_EQ(s.more[0].ssl, kSslStartTls);
  EXPECT_EQ(s.more[0].port, 110);
  EXPECT_EQ(s.more[0].newOnly, 1);
  EXPECT_STREQ(s.more[0].name, "\xCD\xD1");
  EXPECT_STREQ(s.more[1].user, "jiro@example.com");
  EXPECT_EQ(s.more[1].auth, kAuthOAuth);
  EXPECT_STREQ(s.more[1].oauth, "microsoft");
  EXPECT_STREQ(s.more[1].password, "");
  ASSERT_EQ(s.ignoredCount, 1);
  EXPECT_STREQ(s.ignoredAccounts[0], "12");

  // Saved back: the same accounts, the twelfth and the unknown COLOR still there.
  SaveSettings(s, *registry_);
  Settings again;
  LoadSettings(again, *registry_);
  ExpectSameAccounts(again, s);
  const std::string text = Read();
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\12]"), std::string::npos);
  EXPECT_NE(text.find("\"COLOR\"=dword:00ff0000"), std::string::npos);
}

// ---- Each account's seen list and token in its own file ----

class AccountStateFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kc-state-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    setenv("XDG_STATE_HOME", root_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_STATE_HOME");
    std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    DIR* d = opendir((root_ + "/kestova").c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string root_;
};

TEST_F(AccountStateFiles, SeenListOfEachAccountIsItsOwnFile) {
  auto store = posix::MakeSeenStore();
  char why[256] = "";
  const uint8_t first[] = {1, 2, 3}, other[] = {9};
  auto write = [&](const uint8_t* bytes, uint32_t n) {
    ASSERT_TRUE(store->BeginWrite(why, sizeof why)) << why;
    ASSERT_TRUE(store->Write(bytes, n, why, sizeof why)) << why;
    ASSERT_TRUE(store->Commit(why, sizeof why)) << why;
  };
  write(first, 3);
  store->UseAccount(0x0123456789ABCDEFull);
  EXPECT_EQ(std::string(store->Where()), root_ + "/kestova/seen-0123456789abcdef.dat");
  EXPECT_EQ(store->OpenRead(why, sizeof why), SeenStoreOpen::kMissing);
  write(other, 1);
  store->UseAccount(0);
  EXPECT_EQ(std::string(store->Where()), root_ + "/kestova/seen.dat");
  ASSERT_EQ(store->OpenRead(why, sizeof why), SeenStoreOpen::kOpened);
  uint8_t buf[8];
  EXPECT_EQ(store->Read(buf, sizeof buf, why, sizeof why), 3);
  store->CloseRead();
  // A write begun for one account and not committed is dropped when the account changes.
  ASSERT_TRUE(store->BeginWrite(why, sizeof why));
  store->UseAccount(5);
  EXPECT_FALSE(store->Commit(why, sizeof why));
  EXPECT_EQ(Entries(), (std::vector<std::string>{"seen-0123456789abcdef.dat", "seen.dat"}));
}

TEST_F(AccountStateFiles, TokenOfEachAccountIsItsOwnPrivateFile) {
  auto store = posix::MakeTokenStore();
  char why[256] = "";
  uint8_t buf[16];
  uint32_t length = 0;
  store->UseAccount(0xFEDCBA9876543210ull);
  const std::string path = root_ + "/kestova/token-fedcba9876543210.dat";
  EXPECT_EQ(std::string(store->Where()), path);
  ASSERT_TRUE(store->Save(reinterpret_cast<const uint8_t*>("two"), 3, why, sizeof why)) << why;
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  store->UseAccount(0);
  EXPECT_EQ(store->Load(buf, sizeof buf, &length, why, sizeof why), TokenLoad::kMissing);
  store->UseAccount(0xFEDCBA9876543210ull);
  ASSERT_EQ(store->Load(buf, sizeof buf, &length, why, sizeof why), TokenLoad::kLoaded);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), length), "two");
  EXPECT_TRUE(store->Erase(why, sizeof why));
  EXPECT_TRUE(Entries().empty());
}

// The fakes keep each account's list and record apart, as the files do.
TEST(AccountStateFakes, EachAccountHasItsOwnListAndRecord) {
  test::FakeSeenStore seen;
  seen.stored = {1};
  seen.exists = true;
  seen.UseAccount(7);
  EXPECT_FALSE(seen.exists);
  EXPECT_STREQ(seen.Where(), "/state/kestova/seen-0000000000000007.dat");
  seen.stored = {2};
  seen.exists = true;
  seen.UseAccount(0);
  EXPECT_EQ(seen.stored, std::vector<uint8_t>{1});
  EXPECT_EQ(seen.used, (std::vector<uint64_t>{7, 0}));

  test::FakeTokenStore token;
  token.UseAccount(7);
  EXPECT_STREQ(token.Where(), "/state/kestova/token-0000000000000007.dat");
  char why[64];
  ASSERT_TRUE(token.Save(reinterpret_cast<const uint8_t*>("r"), 1, why, sizeof why));
  token.UseAccount(0);
  EXPECT_FALSE(token.exists);
  token.UseAccount(7);
  EXPECT_TRUE(token.exists);
}

}  // namespace
}  // namespace kc
