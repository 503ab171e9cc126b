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
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "posix/backends.h"
#include "posix/regedit_file.h"
#include "settings/settings.h"
#include "support/fakes.h"

namespace kc {
namespace {

using test::FakeRegistry;

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

// A record with every field set, the strings in code page 932 and text left over after the NUL.
Settings FullRecord() {
  Settings s;
  std::strcpy(s.server, "pop.example.jp");
  std::strcpy(s.user, "ユーザー");
  std::strcpy(s.password, "secret-old-and-long");
  std::strcpy(s.password, "pw");  // the bytes after the NUL stay in the field
  s.interval = 7;
  s.listSenders = 0;
  s.ledAuto = 2;
  std::strcpy(s.mailer, "C:\\Program Files\\Mail\\mail.exe /check");
  s.ssl = kSslStartTls;
  s.port = 1995;
  std::strcpy(s.certPin, "3A:9F:00:11");
  return s;
}

// Saves a copy of the record, for a record the test does not look at afterwards.
void SaveCopy(Settings settings, RegistryPort& registry) { SaveSettings(settings, registry); }

// The record after a load found nothing but started from `before`.
void ExpectAbsentKeyRules(const Settings& s, const Settings& before) {
  EXPECT_EQ(std::string(s.server, kServerSize), std::string(kServerSize, '\0'));
  EXPECT_EQ(std::string(s.user, kUserSize), std::string(kUserSize, '\0'));
  EXPECT_EQ(std::string(s.password, kPasswordSize), std::string(kPasswordSize, '\0'));
  EXPECT_EQ(s.interval, 30);
  EXPECT_EQ(s.listSenders, before.listSenders);
  EXPECT_EQ(s.ledAuto, before.ledAuto);
  EXPECT_STREQ(s.mailer, before.mailer);
}

void ExpectSameRecord(const Settings& a, const Settings& b) {
  EXPECT_EQ(std::memcmp(a.server, b.server, kServerSize), 0);
  EXPECT_EQ(std::memcmp(a.user, b.user, kUserSize), 0);
  EXPECT_EQ(std::memcmp(a.password, b.password, kPasswordSize), 0);
  EXPECT_EQ(a.interval, b.interval);
  EXPECT_EQ(a.listSenders, b.listSenders);
  EXPECT_EQ(a.ledAuto, b.ledAuto);
  EXPECT_EQ(std::memcmp(a.mailer, b.mailer, kMailerSize), 0);
  EXPECT_EQ(a.ssl, b.ssl);
  EXPECT_EQ(a.port, b.port);
  EXPECT_EQ(std::memcmp(a.certPin, b.certPin, kCertPinSize), 0);
}

// ---- The store over the fake registry ----

TEST(SettingsStore, FirstStartWithoutKeyGivesTheStartValuesAndCreatesNothing) {
  FakeRegistry registry;
  Settings s;
  LoadSettings(s, registry);
  ExpectAbsentKeyRules(s, Settings{});
  EXPECT_EQ(s.listSenders, 1);
  EXPECT_EQ(s.ledAuto, 1);
  EXPECT_STREQ(s.mailer, "");
  EXPECT_FALSE(registry.exists);
  EXPECT_TRUE(registry.values.empty());
  EXPECT_FALSE(registry.open);
}

TEST(SettingsStore, AbsentKeyEmptiesTheAccountAndKeepsTheOptions) {
  FakeRegistry registry;
  Settings s = FullRecord();
  LoadSettings(s, registry);
  ExpectAbsentKeyRules(s, FullRecord());
}

TEST(SettingsStore, SavedRecordLoadsIdentically) {
  FakeRegistry registry;
  Settings saved = FullRecord();
  SaveSettings(saved, registry);
  EXPECT_FALSE(registry.open);
  Settings loaded;
  LoadSettings(loaded, registry);
  ExpectSameRecord(loaded, saved);
}

TEST(SettingsStore, WritesTheValuesInOrderWithTheirTypesAndFullWidths) {
  FakeRegistry registry;
  Settings s;
  std::strcpy(s.server, "mail.");
  std::strcpy(s.password, "abc");
  s.interval = 30;
  s.listSenders = 2;
  s.ledAuto = -1;
  // The connection values away from their defaults, so that all ten are written.
  s.ssl = kSslImplicit;
  s.port = 995;
  std::strcpy(s.certPin, "AB");
  SaveSettings(s, registry);

  EXPECT_EQ(registry.order, (std::vector<std::string>{"SERVER", "USER", "PASS", "TIME", "LIST",
                                                      "LED", "MAILLER", "SSL", "PORT", "CERTPIN"}));
  const struct {
    const char* name;
    uint32_t type;
    size_t size;
  } layout[] = {{"SERVER", 1, 255}, {"USER", 1, 80},    {"PASS", 3, 80},     {"TIME", 4, 4},
                {"LIST", 4, 4},     {"LED", 4, 4},      {"MAILLER", 1, 260}, {"SSL", 4, 4},
                {"PORT", 4, 4},     {"CERTPIN", 1, 128}};
  for (const auto& l : layout) {
    EXPECT_EQ(registry.values[l.name].type, l.type) << l.name;
    EXPECT_EQ(registry.values[l.name].bytes.size(), l.size) << l.name;
  }

  std::vector<uint8_t> server(255, 0);
  std::memcpy(server.data(), "mail.", 5);
  EXPECT_EQ(registry.values["SERVER"].bytes, server);
  std::vector<uint8_t> pass(80, 0xFF);
  pass[0] = 0x9E;
  pass[1] = 0x9D;
  pass[2] = 0x9C;
  EXPECT_EQ(registry.values["PASS"].bytes, pass);
  EXPECT_EQ(registry.values["TIME"].bytes, (std::vector<uint8_t>{0x1E, 0, 0, 0}));
  EXPECT_EQ(registry.values["LIST"].bytes, (std::vector<uint8_t>{2, 0, 0, 0}));
  EXPECT_EQ(registry.values["LED"].bytes, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
}

using Expect = std::function<void(const Settings& loaded)>;

// One value of a saved record replaced or removed, loaded over a record that held other values.
struct ValueCase {
  std::string what;
  const char* name;
  bool remove;
  std::vector<uint8_t> bytes;
  Expect expect;
  uint32_t type = 0;     // the registry type stored; 0: the one the save wrote
  bool failing = false;  // the platform's read fails although the value is there
};

ValueCase Absent(const char* name, Expect expect) {
  return {std::string(name) + " absent", name, true, {}, std::move(expect)};
}
ValueCase Stored(const char* what, const char* name, std::vector<uint8_t> bytes, Expect expect) {
  return {what, name, false, std::move(bytes), std::move(expect)};
}
ValueCase Typed(const char* what, const char* name, uint32_t type, std::vector<uint8_t> bytes,
                Expect expect) {
  ValueCase c{what, name, false, std::move(bytes), std::move(expect)};
  c.type = type;
  return c;
}
ValueCase Failing(const char* what, const char* name, Expect expect) {
  ValueCase c{what, name, false, Bytes("x"), std::move(expect)};
  c.failing = true;
  return c;
}
std::vector<uint8_t> Fill(size_t n, uint8_t byte) { return std::vector<uint8_t>(n, byte); }

constexpr uint32_t kRegQword = 11;
// A SHA-256 fingerprint in the form the trace and openssl print it.
const char kPin[] =
    "3A:9F:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:01:23:45:67:89:AB:CD:EF:10:32:54:76:"
    "98:BA";
const char kPinDigits[] = "3A9F00112233445566778899AABBCCDDEEFF0123456789ABCDEF1032547698BA";

// The SSL field and how it was found.
Expect SslIs(int32_t ssl, ValueFound::State state) {
  return [=](const Settings& l) {
    EXPECT_EQ(l.ssl, ssl);
    EXPECT_EQ(l.sslFound.state, state);
  };
}
// The CERTPIN field and how it was found.
Expect PinIs(std::string pin, ValueFound::State state) {
  return [=](const Settings& l) {
    EXPECT_EQ(std::string(l.certPin), pin);
    EXPECT_EQ(std::string(l.certPin + pin.size(), kCertPinSize - pin.size()),
              std::string(kCertPinSize - pin.size(), '\0'));
    EXPECT_EQ(l.certPinFound.state, state);
  };
}

Settings PreviousRecord() {
  Settings s;
  std::strcpy(s.server, "previous.server.example");
  std::strcpy(s.user, "previous-user");
  std::strcpy(s.password, "previous-password");
  s.interval = 12;
  s.listSenders = 5;
  s.ledAuto = 6;
  std::strcpy(s.mailer, "previous-mailer.exe");
  return s;
}

// Cases for a record saved from FullRecord() and loaded over PreviousRecord().
std::vector<ValueCase> ValueCases() {
  const Settings b = PreviousRecord();
  auto empty = [](const char* field, size_t n) {
    return std::string(field, n) == std::string(n, '\0');
  };
  const uint8_t notA = static_cast<uint8_t>(~'a');
  return {
      Absent("SERVER", [=](const Settings& l) { EXPECT_TRUE(empty(l.server, kServerSize)); }),
      Stored("SERVER too long", "SERVER", Fill(256, 'x'),
             [=](const Settings& l) { EXPECT_TRUE(empty(l.server, kServerSize)); }),
      Stored("SERVER fills its field", "SERVER", Fill(255, 's'),
             [](const Settings& l) { EXPECT_EQ(std::string(l.server), std::string(254, 's')); }),
      Stored("SERVER short without NUL", "SERVER", Bytes("abc"),
             [](const Settings& l) { EXPECT_STREQ(l.server, "abc"); }),
      Stored("SERVER empty", "SERVER", {}, [](const Settings& l) { EXPECT_STREQ(l.server, ""); }),
      Absent("USER", [=](const Settings& l) { EXPECT_TRUE(empty(l.user, kUserSize)); }),
      Stored("USER too long", "USER", Fill(81, 'x'),
             [=](const Settings& l) { EXPECT_TRUE(empty(l.user, kUserSize)); }),
      Stored("USER fills its field", "USER", Fill(80, 'u'),
             [](const Settings& l) { EXPECT_EQ(std::string(l.user), std::string(79, 'u')); }),
      Absent("PASS", [=](const Settings& l) { EXPECT_TRUE(empty(l.password, kPasswordSize)); }),
      Stored("PASS too long", "PASS", Fill(81, 0x9E),
             [=](const Settings& l) { EXPECT_TRUE(empty(l.password, kPasswordSize)); }),
      Stored("PASS short", "PASS", {0x9E, 0x9D, 0x9C},
             [](const Settings& l) {
               EXPECT_EQ(std::string(l.password, kPasswordSize), "abc" + std::string(77, '\0'));
             }),
      Stored("PASS fills its field", "PASS", Fill(80, notA),
             [](const Settings& l) { EXPECT_EQ(std::string(l.password), std::string(79, 'a')); }),
      Absent("TIME", [](const Settings& l) { EXPECT_EQ(l.interval, 30); }),
      Stored("TIME too long", "TIME", {1, 0, 0, 0, 0},
             [](const Settings& l) { EXPECT_EQ(l.interval, 30); }),
      Stored("TIME 2", "TIME", {2, 0, 0, 0}, [](const Settings& l) { EXPECT_EQ(l.interval, 2); }),
      // 0 or less would check back to back: the default instead.
      Stored("TIME negative", "TIME", {0xFE, 0xFF, 0xFF, 0xFF},
             [](const Settings& l) { EXPECT_EQ(l.interval, 30); }),
      Stored("TIME 0", "TIME", {0, 0, 0, 0}, [](const Settings& l) { EXPECT_EQ(l.interval, 30); }),
      Stored("TIME lowest", "TIME", {0, 0, 0, 0x80},
             [](const Settings& l) { EXPECT_EQ(l.interval, 30); }),
      Stored("TIME 1", "TIME", {1, 0, 0, 0}, [](const Settings& l) { EXPECT_EQ(l.interval, 1); }),
      Stored("LIST 2", "LIST", {2, 0, 0, 0},
             [](const Settings& l) { EXPECT_EQ(l.listSenders, 2); }),
      Absent("LIST", [b](const Settings& l) { EXPECT_EQ(l.listSenders, b.listSenders); }),
      Stored("LIST too long", "LIST", {1, 0, 0, 0, 0},
             [b](const Settings& l) { EXPECT_EQ(l.listSenders, b.listSenders); }),
      Absent("LED", [b](const Settings& l) { EXPECT_EQ(l.ledAuto, b.ledAuto); }),
      Stored("LED too long", "LED", Fill(8, 1),
             [b](const Settings& l) { EXPECT_EQ(l.ledAuto, b.ledAuto); }),
      Absent("MAILLER", [b](const Settings& l) { EXPECT_STREQ(l.mailer, b.mailer); }),
      Stored("MAILLER too long", "MAILLER", Fill(261, 'x'),
             [b](const Settings& l) { EXPECT_STREQ(l.mailer, b.mailer); }),
      Stored("MAILLER fills its field", "MAILLER", Fill(260, 'm'),
             [](const Settings& l) { EXPECT_EQ(std::string(l.mailer), std::string(259, 'm')); }),
      // Settings written before the secure connection existed keep the plain one.
      Absent("SSL", SslIs(kSslNone, ValueFound::kAbsent)),
      Stored("SSL 1", "SSL", {1, 0, 0, 0}, [](const Settings& l) { EXPECT_EQ(l.ssl, 1); }),
      Stored("SSL 0", "SSL", {0, 0, 0, 0}, SslIs(kSslNone, ValueFound::kRead)),
      Stored("SSL 7", "SSL", {7, 0, 0, 0}, SslIs(7, ValueFound::kRead)),
      // Only an absent SSL means plain text: whatever else is there secures the connection.
      Typed("SSL a REG_QWORD 1", "SSL", kRegQword, {1, 0, 0, 0, 0, 0, 0, 0},
            SslIs(kSslImplicit, ValueFound::kUnreadable)),
      Typed("SSL a REG_QWORD 0", "SSL", kRegQword, Fill(8, 0),
            SslIs(kSslImplicit, ValueFound::kUnreadable)),
      Typed("SSL the string 1", "SSL", kRegSz, Bytes(std::string("1", 2)),
            SslIs(kSslImplicit, ValueFound::kUnreadable)),
      Typed("SSL the string true", "SSL", kRegSz, Bytes("true"),
            SslIs(kSslImplicit, ValueFound::kUnreadable)),
      Typed("SSL the string 0", "SSL", kRegSz, Bytes("0"),
            SslIs(kSslImplicit, ValueFound::kUnreadable)),
      Typed("SSL 5 bytes of REG_BINARY", "SSL", kRegBinary, {1, 0, 0, 0, 0},
            SslIs(kSslImplicit, ValueFound::kUnreadable)),
      Typed("SSL 4 zero bytes of REG_BINARY", "SSL", kRegBinary, Fill(4, 0),
            SslIs(kSslImplicit, ValueFound::kUnreadable)),
      Stored("SSL a REG_DWORD of 2 bytes", "SSL", {0, 0},
             SslIs(kSslImplicit, ValueFound::kUnreadable)),
      Stored("SSL a REG_DWORD of no bytes", "SSL", {},
             SslIs(kSslImplicit, ValueFound::kUnreadable)),
      Failing("SSL that cannot be read", "SSL", SslIs(kSslImplicit, ValueFound::kUnreadable)),
      Absent("PORT", [](const Settings& l) { EXPECT_EQ(l.port, 0); }),
      Typed("PORT the string 995", "PORT", kRegSz, Bytes("995"),
            [](const Settings& l) {
              EXPECT_EQ(l.port, 0);
              EXPECT_EQ(l.portFound.state, ValueFound::kUnreadable);
            }),
      Absent("CERTPIN", PinIs("", ValueFound::kAbsent)),
      Stored("CERTPIN too long", "CERTPIN", Fill(129, 'A'),
             [=](const Settings& l) { EXPECT_TRUE(empty(l.certPin, kCertPinSize)); }),
      Stored("CERTPIN too long, its state", "CERTPIN", Fill(129, 'A'),
             PinIs("", ValueFound::kTooLong)),
      Stored("CERTPIN empty", "CERTPIN", Fill(128, 0), PinIs("", ValueFound::kRead)),
      Stored("CERTPIN as written", "CERTPIN", Bytes(kPin), PinIs(kPin, ValueFound::kRead)),
      // Blanks and colons are dropped before the length is judged: the right pin with blanks
      // after it, or one blank after each colon, is the pin.
      Stored("CERTPIN with 200 blanks after it", "CERTPIN", Bytes(kPin + std::string(200, ' ')),
             PinIs(kPinDigits, ValueFound::kRead)),
      Stored("CERTPIN filling 128 bytes without a NUL", "CERTPIN",
             Bytes(kPin + std::string(128 - std::strlen(kPin), ' ')),
             PinIs(kPinDigits, ValueFound::kRead)),
      Stored("CERTPIN spaced out with tabs", "CERTPIN",
             Bytes("\t" + std::string(kPinDigits).insert(32, 150, ' ') + "\t"),
             PinIs(kPinDigits, ValueFound::kRead)),
      Stored("CERTPIN 1023 bytes of blanks after it", "CERTPIN",
             Bytes(kPin + std::string(1023 - std::strlen(kPin), ' ')),
             PinIs(kPinDigits, ValueFound::kRead)),
      // Longer than the read: refused as too long rather than cut.
      Stored("CERTPIN 2000 bytes of blanks after it", "CERTPIN",
             Bytes(kPin + std::string(2000, ' ')), PinIs("", ValueFound::kTooLong)),
      Stored("CERTPIN 128 digits", "CERTPIN", Bytes(std::string(kPinDigits) + kPinDigits),
             PinIs("", ValueFound::kTooLong)),
      // Blanks only, more than fit: kept (cut), which matches no certificate.
      Stored("CERTPIN 300 blanks", "CERTPIN", Fill(300, ' '),
             PinIs(std::string(127, ' '), ValueFound::kRead)),
      Typed("CERTPIN a REG_BINARY", "CERTPIN", kRegBinary, Bytes(kPin),
            PinIs("", ValueFound::kUnreadable)),
      Typed("CERTPIN a REG_DWORD", "CERTPIN", kRegDword, {1, 0, 0, 0},
            PinIs("", ValueFound::kUnreadable)),
      Failing("CERTPIN that cannot be read", "CERTPIN", PinIs("", ValueFound::kUnreadable)),
  };
}

// Every field but the one the case is about loads as saved.
void ExpectOtherFieldsAsSaved(const char* name, const Settings& l, const Settings& saved) {
  std::string n = name;
  if (n != "SERVER") {
    EXPECT_STREQ(l.server, saved.server);
  }
  if (n != "USER") {
    EXPECT_STREQ(l.user, saved.user);
  }
  if (n != "PASS") {
    EXPECT_EQ(std::memcmp(l.password, saved.password, kPasswordSize), 0);
  }
  if (n != "TIME") {
    EXPECT_EQ(l.interval, saved.interval);
  }
  if (n != "LIST") {
    EXPECT_EQ(l.listSenders, saved.listSenders);
  }
  if (n != "LED") {
    EXPECT_EQ(l.ledAuto, saved.ledAuto);
  }
  if (n != "MAILLER") {
    EXPECT_STREQ(l.mailer, saved.mailer);
  }
  if (n != "SSL") {
    EXPECT_EQ(l.ssl, saved.ssl);
  }
  if (n != "PORT") {
    EXPECT_EQ(l.port, saved.port);
  }
  if (n != "CERTPIN") {
    EXPECT_STREQ(l.certPin, saved.certPin);
  }
}

TEST(SettingsStore, EachValueAbsentOrOutOfShapeFollowsItsRule) {
  const Settings saved = FullRecord();
  const Settings before = PreviousRecord();
  for (const ValueCase& c : ValueCases()) {
    SCOPED_TRACE(c.what);
    FakeRegistry registry;
    SaveCopy(saved, registry);
    if (c.remove) {
      registry.values.erase(c.name);
    } else {
      registry.values[c.name].bytes = c.bytes;
      if (c.type != 0) registry.values[c.name].type = c.type;
    }
    if (c.failing) registry.failing.insert(c.name);
    Settings loaded = before;
    LoadSettings(loaded, registry);
    c.expect(loaded);
    ExpectOtherFieldsAsSaved(c.name, loaded, saved);
  }
}

TEST(SettingsStore, StoredTypeIsNeverTested) {
  FakeRegistry registry;
  SaveCopy(FullRecord(), registry);
  registry.values["TIME"] = {kRegBinary, {9, 0, 0, 0}};
  registry.values["SERVER"] = {kRegBinary, Bytes(std::string("bin.example", 12))};
  Settings s;
  LoadSettings(s, registry);
  EXPECT_EQ(s.interval, 9);
  EXPECT_STREQ(s.server, "bin.example");
}

// A key as a save before the connection values existed left it: the seven values only.
FakeRegistry SevenValueKey() {
  FakeRegistry registry;
  Settings s = PreviousRecord();
  SaveSettings(s, registry);
  EXPECT_EQ(registry.values.size(), 7u);
  registry.order.clear();
  return registry;
}

const std::vector<std::string> kSeven = {"SERVER", "USER", "PASS",   "TIME",
                                         "LIST",   "LED",  "MAILLER"};

std::vector<std::string> SevenAnd(std::vector<std::string> more) {
  std::vector<std::string> names = kSeven;
  names.insert(names.end(), more.begin(), more.end());
  return names;
}

TEST(SettingsStore, SaveWritesTheConnectionValuesOnlyWhenHeldOrChosen) {
  const std::vector<uint8_t> zeroPin(kCertPinSize, 0);
  const struct {
    const char* what;
    std::map<std::string, FakeRegistry::Value> held;  // in the key besides the seven
    std::function<void(Settings&)> choose;            // what the dialog changed
    std::vector<std::string> written;
  } cases[] = {
      {"nothing held, none chosen", {}, [](Settings&) {}, kSeven},
      {"nothing held, TLS chosen",
       {},
       [](Settings& s) { s.ssl = kSslImplicit; },
       SevenAnd({"SSL"})},
      {"nothing held, a port set", {}, [](Settings& s) { s.port = 1995; }, SevenAnd({"PORT"})},
      {"nothing held, a pin set",
       {},
       [](Settings& s) { std::strcpy(s.certPin, kPin); },
       SevenAnd({"CERTPIN"})},
      {"all three held at their defaults",
       {{"SSL", {kRegDword, Fill(4, 0)}},
        {"PORT", {kRegDword, Fill(4, 0)}},
        {"CERTPIN", {kRegSz, zeroPin}}},
       [](Settings&) {},
       SevenAnd({"SSL", "PORT", "CERTPIN"})},
      {"SSL held as a REG_QWORD, none chosen",
       {{"SSL", {kRegQword, {1, 0, 0, 0, 0, 0, 0, 0}}}},
       [](Settings& s) { s.ssl = kSslNone; },
       SevenAnd({"SSL"})},
      // Nothing edits PORT or CERTPIN: what the load could not read stays as it was.
      {"PORT held as a string", {{"PORT", {kRegSz, Bytes("995")}}}, [](Settings&) {}, kSeven},
      {"CERTPIN held as a REG_BINARY",
       {{"CERTPIN", {kRegBinary, Bytes(kPin)}}},
       [](Settings&) {},
       kSeven},
      {"CERTPIN too long", {{"CERTPIN", {kRegSz, Fill(2000, 'A')}}}, [](Settings&) {}, kSeven},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeRegistry registry = SevenValueKey();
    for (const auto& v : c.held) registry.values[v.first] = v.second;
    Settings s;
    LoadSettings(s, registry);
    c.choose(s);
    SaveSettings(s, registry);
    EXPECT_EQ(registry.order, c.written);
    for (const auto& v : c.held) {
      if (std::find(c.written.begin(), c.written.end(), v.first) != c.written.end()) continue;
      EXPECT_EQ(registry.values[v.first].type, v.second.type) << v.first;
      EXPECT_EQ(registry.values[v.first].bytes, v.second.bytes) << v.first;
    }
  }
}

TEST(SettingsStore, WhatASaveWroteIsWrittenAgainByTheNext) {
  FakeRegistry registry = SevenValueKey();
  Settings s;
  LoadSettings(s, registry);
  s.ssl = kSslImplicit;
  SaveSettings(s, registry);
  // The user goes back to no encryption: the SSL 1 in the key must not stay.
  s.ssl = kSslNone;
  SaveSettings(s, registry);
  EXPECT_EQ(registry.values["SSL"].bytes, Fill(4, 0));
  Settings loaded;
  LoadSettings(loaded, registry);
  EXPECT_EQ(loaded.ssl, kSslNone);
  EXPECT_EQ(registry.values.count("PORT"), 0u);
  EXPECT_EQ(registry.values.count("CERTPIN"), 0u);
}

// An SSL that could not be read and was saved as chosen is a REG_DWORD from then on.
TEST(SettingsStore, UnreadableSslIsReplacedByTheChoiceSaved) {
  FakeRegistry registry = SevenValueKey();
  registry.values["SSL"] = {kRegSz, Bytes(std::string("1", 2))};
  Settings s;
  LoadSettings(s, registry);
  ASSERT_EQ(s.ssl, kSslImplicit);
  SaveSettings(s, registry);
  EXPECT_EQ(registry.values["SSL"].type, kRegDword);
  EXPECT_EQ(registry.values["SSL"].bytes, (std::vector<uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(s.sslFound.state, ValueFound::kRead);
}

// ---- The store over the settings file ----

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kc-settings-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    dir_ = root_ + "/config/kestova";
    path_ = dir_ + "/settings.reg";
    setenv("KESTOVA_SETTINGS_FILE", path_.c_str(), 1);
    registry_ = posix::MakeRegistry();
  }
  void TearDown() override {
    unsetenv("KESTOVA_SETTINGS_FILE");
    std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  static bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  void Write(const std::string& text) {
    std::string command = "mkdir -p '" + dir_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::vector<std::string> DirEntries() {
    std::vector<std::string> names;
    DIR* d = opendir(dir_.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    }
    closedir(d);
    return names;
  }
  Settings Load() {
    Settings s = PreviousRecord();
    LoadSettings(s, *registry_);
    return s;
  }

  std::string root_, dir_, path_;
  std::unique_ptr<RegistryPort> registry_;
};

TEST_F(SettingsFile, MissingFileLoadsAsAbsentKeyAndIsNotCreated) {
  ExpectAbsentKeyRules(Load(), PreviousRecord());
  EXPECT_FALSE(Exists(dir_));
}

TEST_F(SettingsFile, SavedRecordLoadsIdenticallyFromAPrivateFile) {
  Settings saved = FullRecord();
  SaveSettings(saved, *registry_);

  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(dir_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"settings.reg"});  // no temporary file left

  std::string text = Read(path_);
  EXPECT_EQ(
      text.rfind(
          "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n\"SERVER\"=hex(1):70,6f,70,",
          0),
      0u);
  EXPECT_NE(
      text.find(
          "\r\n\"TIME\"=dword:00000007\r\n\"LIST\"=dword:00000000\r\n\"LED\"=dword:00000002\r\n"),
      std::string::npos);
  EXPECT_NE(text.find("\r\n\"PASS\"=hex:8f,88,ff,"), std::string::npos);  // "pw" complemented

  std::unique_ptr<RegistryPort> again = posix::MakeRegistry();
  Settings loaded;
  LoadSettings(loaded, *again);
  ExpectSameRecord(loaded, saved);

  // A second save replaces the file in place, still private.
  saved.interval = 45;
  SaveSettings(saved, *registry_);
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Load().interval, 45);
}

TEST_F(SettingsFile, DamagedOrTruncatedFileLoadsAsAbsentAndTheNextSaveKeepsItAside) {
  SaveCopy(FullRecord(), *registry_);
  const std::string good = Read(path_);
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"garbage", "not a registry file\n"},
      {"cut inside a value", good.substr(0, good.find("\"PASS\"") + 40)},
      {"cut after a fold", good.substr(0, good.find(",\\\r\n") + 4)},
      {"zero-filled tail", good.substr(0, 200) + std::string(500, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Write(c.text);
    ExpectAbsentKeyRules(Load(), PreviousRecord());
    EXPECT_EQ(Read(path_), c.text);
  }
  // The save writes the settings and keeps the damaged file beside them, as it was.
  SaveCopy(FullRecord(), *registry_);
  ExpectSameRecord(Load(), FullRecord());
  EXPECT_EQ(Read(path_ + ".damaged"), cases[4].text);
  Write("garbage\n");
  Load();
  SaveCopy(FullRecord(), *registry_);
  EXPECT_EQ(Read(path_ + ".damaged-1"), "garbage\n");
  EXPECT_EQ(Read(path_ + ".damaged"), cases[4].text);
}

TEST_F(SettingsFile, UnreadableFileLoadsAsAbsentAndSaveDoesNotCrash) {
  ASSERT_EQ(system(("mkdir -p '" + path_ + "'").c_str()),
            0);  // a directory where the file should be
  ExpectAbsentKeyRules(Load(), PreviousRecord());
  SaveCopy(FullRecord(), *registry_);  // cannot replace a directory: fails silently
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"settings.reg"});
}

TEST_F(SettingsFile, HandWrittenValuesFollowTheRules) {
  std::string longServer, longPass, longMailer;
  for (int i = 0; i < 256; ++i) longServer += i == 0 ? "61" : ",61";
  for (int i = 0; i < 81; ++i) longPass += i == 0 ? "9e" : ",9e";
  for (int i = 0; i < 261; ++i) longMailer += i == 0 ? "6d" : ",6d";
  Write(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\n"
      "\"SERVER\"=hex(1):" +
      longServer +
      "\n"
      "\"USER\"=\"taro\"\n"
      "\"PASS\"=hex:" +
      longPass +
      "\n"
      "\"TIME\"=dword:00000002\n"
      "\"LIST\"=dword:00000002\n"
      "\"LED\"=hex:00,00,00,00\n"
      "\"MAILLER\"=hex(1):" +
      longMailer + "\n");
  Settings s = Load();
  EXPECT_STREQ(s.server, "");                       // too long: empty
  EXPECT_STREQ(s.user, "taro");                     // another form of REG_SZ: its bytes
  EXPECT_STREQ(s.password, "");                     // too long: empty
  EXPECT_EQ(s.interval, 2);                         // not corrected
  EXPECT_EQ(s.listSenders, 2);                      // loaded as it is; readers take it as off
  EXPECT_EQ(s.ledAuto, 0);                          // REG_BINARY read as its bytes
  EXPECT_STREQ(s.mailer, PreviousRecord().mailer);  // too long: kept
}

TEST_F(SettingsFile, MissingTimeLoadsAsThirty) {
  Write("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n\"SERVER\"=\"pop\"\r\n\r\n");
  Settings s = Load();
  EXPECT_STREQ(s.server, "pop");
  EXPECT_EQ(s.interval, 30);
  EXPECT_STREQ(s.user, "");
}

TEST_F(SettingsFile, LivesUnderTheConfigHomeWithoutTheOverride) {
  unsetenv("KESTOVA_SETTINGS_FILE");
  const char* old = getenv("XDG_CONFIG_HOME");
  std::string saved = old != nullptr ? old : "";
  std::string config = root_ + "/xdg";
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  SaveCopy(FullRecord(), *registry_);
  if (old != nullptr) {
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
  struct stat st;
  ASSERT_EQ(stat((config + "/kestova/settings.reg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((config + "/kestova").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// The seven values as a hand-written file holds them, before any connection value existed.
const char kSevenValueFile[] =
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n"
    "\"SERVER\"=\"pop.example.jp\"\r\n"
    "\"USER\"=\"taro\"\r\n"
    "\"PASS\"=hex:9e,9d,9c,ff\r\n"
    "\"TIME\"=dword:0000000a\r\n"
    "\"LIST\"=dword:00000001\r\n"
    "\"LED\"=dword:00000001\r\n"
    "\"MAILLER\"=\"\"\r\n";

TEST_F(SettingsFile, SaveWithoutEncryptionKeepsASevenValueFileAtSeven) {
  Write(kSevenValueFile);
  Settings s = Load();
  ASSERT_STREQ(s.server, "pop.example.jp");
  s.ssl = kSslNone;  // "なし" chosen in the dialog
  SaveSettings(s, *registry_);
  std::string text = Read(path_);
  for (const char* name : {"\"SSL\"", "\"PORT\"", "\"CERTPIN\""}) {
    EXPECT_EQ(text.find(name), std::string::npos) << name << " in\n" << text;
  }
  RegeditKey key;
  ASSERT_TRUE(ParseRegeditFile(text, kRegeditSettingsKey, &key));
  std::vector<std::string> names;
  for (const RegeditValue& v : key.values) names.push_back(v.name);
  EXPECT_EQ(names, kSeven);
}

// The forms a hand-edited file may give SSL and CERTPIN, as the Linux store reads them.
TEST_F(SettingsFile, HandWrittenConnectionValuesFailClosed) {
  const struct {
    const char* what;
    std::string lines;
    int32_t ssl;
    ValueFound::State sslState;
    std::string pin;
    ValueFound::State pinState;
  } cases[] = {
      {"SSL a REG_QWORD", "\"SSL\"=hex(b):01,00,00,00,00,00,00,00\r\n", kSslImplicit,
       ValueFound::kUnreadable, "", ValueFound::kAbsent},
      {"SSL the string 1", "\"SSL\"=\"1\"\r\n", kSslImplicit, ValueFound::kUnreadable, "",
       ValueFound::kAbsent},
      {"SSL 5 bytes of REG_BINARY", "\"SSL\"=hex:01,00,00,00,00\r\n", kSslImplicit,
       ValueFound::kUnreadable, "", ValueFound::kAbsent},
      {"SSL 2", "\"SSL\"=dword:00000002\r\n", kSslStartTls, ValueFound::kRead, "",
       ValueFound::kAbsent},
      {"CERTPIN with blanks after it",
       "\"SSL\"=dword:00000001\r\n\"CERTPIN\"=\"" + std::string(kPin) + std::string(300, ' ') +
           "\"\r\n",
       kSslImplicit, ValueFound::kRead, kPinDigits, ValueFound::kRead},
      {"CERTPIN as a REG_BINARY", "\"SSL\"=dword:00000001\r\n\"CERTPIN\"=hex:41,42\r\n",
       kSslImplicit, ValueFound::kRead, "", ValueFound::kUnreadable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Write(kSevenValueFile + c.lines);
    Settings s = Load();
    EXPECT_EQ(s.ssl, c.ssl);
    EXPECT_EQ(s.sslFound.state, c.sslState);
    EXPECT_EQ(std::string(s.certPin), c.pin);
    EXPECT_EQ(s.certPinFound.state, c.pinState);
  }
}

}  // namespace
}  // namespace kc
