// The on/off values NEWONLY and NOTIFY: absent, the key is saved exactly as before they existed;
// once present or on, each is saved, so turning it off again sticks; the dialog's box shows and
// sets it, and each box sets its own value only.
#include <gtest/gtest.h>

#include <cstdio>

#include "settings/settings.h"
#include "settings/settings_dialog.h"
#include "support/fakes.h"

namespace kc::test {
namespace {

struct SwitchCase {
  const char* key;
  int32_t Settings::*value;
  bool Settings::*stored;
  bool SettingsForm::*box;
  int32_t Settings::*other;  // the other switch, which its box leaves alone
};

const SwitchCase kSwitches[] = {
    {"NEWONLY", &Settings::newOnly, &Settings::newOnlyStored, &SettingsForm::newOnlyChecked,
     &Settings::notify},
    {"NOTIFY", &Settings::notify, &Settings::notifyStored, &SettingsForm::notifyChecked,
     &Settings::newOnly},
};

TEST(SwitchSetting, AbsentStaysAbsentPresentIsKept) {
  for (const SwitchCase& c : kSwitches) {
    FakeRegistry registry;
    Settings s;
    LoadSettings(s, registry);
    EXPECT_EQ(s.*c.value, 0) << c.key;
    EXPECT_FALSE(s.*c.stored) << c.key;
    SaveSettings(s, registry);
    EXPECT_EQ(registry.values.count(c.key), 0u) << c.key << ": off and never on, not written";

    s.*c.value = 1;
    SaveSettings(s, registry);
    Settings loaded;
    LoadSettings(loaded, registry);
    EXPECT_EQ(loaded.*c.value, 1) << c.key;
    EXPECT_TRUE(loaded.*c.stored) << c.key;
    EXPECT_EQ(registry.values[c.key].type, kRegDword) << c.key;
    loaded.*c.value = 0;  // off again: written as 0, not left at 1
    SaveSettings(loaded, registry);
    Settings again;
    LoadSettings(again, registry);
    EXPECT_EQ(again.*c.value, 0) << c.key;
    EXPECT_TRUE(again.*c.stored) << c.key;
  }
}

TEST(SwitchSetting, DialogBoxShowsAndSetsItAndOffSticks) {
  for (const SwitchCase& c : kSwitches) {
    FakeRegistry registry;
    FakeMessageBox box;
    Settings s;
    LoadSettings(s, registry);
    std::snprintf(s.server, sizeof s.server, "pop.example");
    std::snprintf(s.user, sizeof s.user, "bob");
    std::snprintf(s.password, sizeof s.password, "pw");
    uint8_t ready = 0;
    SettingsDialog dialog(s, ready, registry, box);
    SettingsForm form;
    dialog.Fill(&form);
    EXPECT_FALSE(form.*c.box) << c.key;
    ASSERT_TRUE(dialog.Accept(form)) << c.key;
    EXPECT_EQ(registry.values.count(c.key), 0u) << c.key << ": off and never on, not written";

    form.*c.box = true;
    ASSERT_TRUE(dialog.Accept(form)) << c.key;
    EXPECT_EQ(s.*c.value, 1) << c.key;
    Settings loaded;
    LoadSettings(loaded, registry);
    EXPECT_EQ(loaded.*c.value, 1) << c.key;
    EXPECT_EQ(registry.values[c.key].type, kRegDword) << c.key;
    dialog.Fill(&form);
    EXPECT_TRUE(form.*c.box) << c.key;

    form.*c.box = false;  // off in the same run: saved as 0
    ASSERT_TRUE(dialog.Accept(form)) << c.key;
    Settings again;
    LoadSettings(again, registry);
    EXPECT_EQ(again.*c.value, 0) << c.key;
    EXPECT_EQ(again.*c.other, 0) << c.key << ": the boxes are apart";
  }
}

}  // namespace
}  // namespace kc::test
