// The NEWONLY value: absent, the key is saved exactly as before it existed; once present or on,
// it is saved, so turning the option off again sticks; the dialog's box shows and sets it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "settings/settings_dialog.h"
#include "support/fakes.h"

namespace kc::test {
namespace {

std::vector<std::string> Names(const FakeRegistry& r) {
  std::vector<std::string> out;
  for (const auto& [name, value] : r.values) out.push_back(name);
  return out;
}

TEST(NewOnlySetting, AbsentStaysAbsentPresentIsKept) {
  FakeRegistry registry;
  Settings s;
  LoadSettings(s, registry);
  EXPECT_EQ(s.newOnly, 0);
  EXPECT_FALSE(s.newOnlyStored);
  SaveSettings(s, registry);
  std::vector<std::string> names = Names(registry);
  EXPECT_EQ(std::count(names.begin(), names.end(), "NEWONLY"), 0);

  s.newOnly = 1;
  SaveSettings(s, registry);
  Settings loaded;
  LoadSettings(loaded, registry);
  EXPECT_EQ(loaded.newOnly, 1);
  EXPECT_TRUE(loaded.newOnlyStored);
  loaded.newOnly = 0;  // off again: written as 0, not left at 1
  SaveSettings(loaded, registry);
  Settings again;
  LoadSettings(again, registry);
  EXPECT_EQ(again.newOnly, 0);
  EXPECT_TRUE(again.newOnlyStored);
}

TEST(NewOnlySetting, DialogBoxShowsAndSetsIt) {
  FakeRegistry registry;
  FakeMessageBox box;
  Settings s;
  std::snprintf(s.server, sizeof s.server, "pop.example");
  std::snprintf(s.user, sizeof s.user, "bob");
  std::snprintf(s.password, sizeof s.password, "pw");
  uint8_t ready = 0;
  SettingsDialog dialog(s, ready, registry, box);
  SettingsForm form;
  dialog.Fill(&form);
  EXPECT_FALSE(form.newOnlyChecked);
  ASSERT_TRUE(dialog.Accept(form));
  EXPECT_EQ(registry.values.count("NEWONLY"), 0u);  // off and never on: not written

  form.newOnlyChecked = true;
  ASSERT_TRUE(dialog.Accept(form));
  EXPECT_EQ(s.newOnly, 1);
  Settings loaded;
  LoadSettings(loaded, registry);
  EXPECT_EQ(loaded.newOnly, 1);
  dialog.Fill(&form);
  EXPECT_TRUE(form.newOnlyChecked);

  form.newOnlyChecked = false;  // off in the same run: saved as 0
  ASSERT_TRUE(dialog.Accept(form));
  LoadSettings(loaded, registry);
  EXPECT_EQ(loaded.newOnly, 0);
}

}  // namespace
}  // namespace kc::test
