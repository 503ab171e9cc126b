// The sign-in's values: absent, a key is saved exactly as before they existed; stored ones come
// back whole; with AUTH 1 the settings are complete without a password.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "support/fakes.h"

namespace kc::test {
namespace {

std::vector<uint8_t> Text(const std::string& s, size_t width) {
  std::vector<uint8_t> out(width, 0);
  std::memcpy(out.data(), s.data(), s.size());
  return out;
}

TEST(OAuthSettings, AbsentValuesAreNeitherLoadedNorWritten) {
  FakeRegistry registry;
  Settings s;
  std::strcpy(s.server, "pop.example.jp");
  std::strcpy(s.user, "u");
  std::strcpy(s.password, "pw");
  SaveSettings(s, registry);
  const std::vector<std::string> before = registry.order;

  Settings loaded;
  LoadSettings(loaded, registry);
  EXPECT_EQ(loaded.auth, kAuthPassword);
  EXPECT_EQ(loaded.oauthStored, 0);
  registry.order.clear();
  SaveSettings(loaded, registry);
  EXPECT_EQ(registry.order, before);
  for (const char* name : {"AUTH", "OAUTH", "CLIENTID", "CLIENTSECRET", "TENANT", "SCOPE"}) {
    EXPECT_EQ(registry.values.count(name), 0u) << name;
  }
}

TEST(OAuthSettings, StoredValuesRoundTripAndStayWrittenWhenCleared) {
  FakeRegistry registry;
  Settings s;
  s.auth = kAuthOAuth;
  std::strcpy(s.oauth, "https://id.example.org/realm");
  std::strcpy(s.clientId, "kestova-desktop");
  std::strcpy(s.tenant, "contoso.onmicrosoft.com");
  SaveSettings(s, registry);
  EXPECT_EQ(registry.values["AUTH"].type, kRegDword);
  EXPECT_EQ(registry.values["OAUTH"].bytes, Text("https://id.example.org/realm", 260));
  EXPECT_EQ(registry.values["TENANT"].bytes, Text("contoso.onmicrosoft.com", 128));
  EXPECT_EQ(registry.values.count("CLIENTSECRET"), 0u);
  EXPECT_EQ(registry.values.count("SCOPE"), 0u);

  Settings loaded;
  LoadSettings(loaded, registry);
  EXPECT_EQ(loaded.auth, kAuthOAuth);
  EXPECT_STREQ(loaded.oauth, s.oauth);
  EXPECT_STREQ(loaded.clientId, s.clientId);
  EXPECT_STREQ(loaded.tenant, s.tenant);
  EXPECT_STREQ(loaded.scope, "");

  // Back to the password and an empty tenant: both written, so the change sticks.
  loaded.auth = kAuthPassword;
  loaded.tenant[0] = '\0';
  SaveSettings(loaded, registry);
  Settings again;
  LoadSettings(again, registry);
  EXPECT_EQ(again.auth, kAuthPassword);
  EXPECT_STREQ(again.tenant, "");
  EXPECT_EQ(registry.values["AUTH"].bytes, (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST(OAuthSettings, AuthOutOfShapeMeansOAuthSoThePasswordIsNotSent) {
  const struct {
    uint32_t type;
    std::vector<uint8_t> bytes;
    int32_t expected;
  } cases[] = {
      {kRegDword, {1, 0, 0, 0}, kAuthOAuth},
      {kRegDword, {0, 0, 0, 0}, kAuthPassword},
      {kRegSz, {'1', 0}, kAuthOAuth},
      {kRegBinary, {1, 0}, kAuthOAuth},
  };
  for (const auto& c : cases) {
    FakeRegistry registry;
    registry.exists = true;
    registry.values["AUTH"] = {c.type, c.bytes};
    Settings s;
    LoadSettings(s, registry);
    EXPECT_EQ(s.auth, c.expected) << c.type;
  }
}

TEST(OAuthSettings, CompleteWithoutPasswordOnlyWithOAuth) {
  Settings s;
  std::strcpy(s.server, "pop.example.jp");
  std::strcpy(s.user, "someone@example.jp");
  EXPECT_FALSE(SettingsComplete(s));
  s.auth = kAuthOAuth;
  EXPECT_TRUE(SettingsComplete(s));
  s.user[0] = '\0';
  EXPECT_FALSE(SettingsComplete(s));
}

TEST(OAuthSettings, LongTextsAreCutToTheirFields) {
  FakeRegistry registry;
  registry.exists = true;
  registry.values["SCOPE"] = {kRegSz, std::vector<uint8_t>(kScopeSize, 'a')};
  registry.values["TENANT"] = {kRegSz, std::vector<uint8_t>(kTenantSize + 1, 't')};
  Settings s;
  LoadSettings(s, registry);
  EXPECT_EQ(std::strlen(s.scope), kScopeSize - 1);
  EXPECT_STREQ(s.tenant, "");  // longer than its field: not read
}

}  // namespace
}  // namespace kc::test
