// The NOTIFY value: absent, the key is saved exactly as before it existed; once on it is kept,
// so turning it off again sticks; the dialog's box "通知" shows and sets it.
#include <gtest/gtest.h>

#include <cstdio>

#include "settings/settings.h"
#include "settings/settings_dialog.h"
#include "support/fakes.h"

namespace kc::test {
namespace {

TEST(NotifySetting, AbsentStaysAbsentTheBoxSetsItAndOffSticks) {
  FakeRegistry registry;
  FakeMessageBox box;
  Settings s;
  LoadSettings(s, registry);
  EXPECT_EQ(s.notify, 0);
  std::snprintf(s.server, sizeof s.server, "pop.example");
  std::snprintf(s.user, sizeof s.user, "bob");
  std::snprintf(s.password, sizeof s.password, "pw");
  uint8_t ready = 0;
  SettingsDialog dialog(s, ready, registry, box);
  SettingsForm form;
  dialog.Fill(&form);
  EXPECT_FALSE(form.notifyChecked);
  ASSERT_TRUE(dialog.Accept(form));
  EXPECT_EQ(registry.values.count("NOTIFY"), 0u) << "off and never on: the key as it was";

  form.notifyChecked = true;
  ASSERT_TRUE(dialog.Accept(form));
  Settings loaded;
  LoadSettings(loaded, registry);
  EXPECT_EQ(loaded.notify, 1);
  EXPECT_EQ(registry.values["NOTIFY"].type, kRegDword);
  dialog.Fill(&form);
  EXPECT_TRUE(form.notifyChecked);

  form.notifyChecked = false;
  ASSERT_TRUE(dialog.Accept(form));
  Settings again;
  LoadSettings(again, registry);
  EXPECT_EQ(again.notify, 0) << "off again is written as 0, not left at 1";
  EXPECT_EQ(again.newOnly, 0) << "the boxes are apart";
}

}  // namespace
}  // namespace kc::test
