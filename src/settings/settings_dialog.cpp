#include "settings/settings_dialog.h"

#include <cstring>

#include "text/bounded.h"

namespace kc {

namespace {

constexpr int32_t kMinInterval = 5;
constexpr char kIncompleteText[] = "全ての項目が設定されていません";

// The 32 bits of an unsigned number taken as a signed one.
int32_t AsSigned(uint32_t value) {
  return value <= 0x7FFFFFFFu ? static_cast<int32_t>(value) : -static_cast<int32_t>(~value) - 1;
}

}  // namespace

const char* const kEncryptionItems[kEncryptionCount] = {"なし", "SSL/TLS", "STARTTLS"};

bool ReadUnsignedNumber(const char* text, uint32_t* value) {
  *value = 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p < '0' || *p > '9') return false;
  uint64_t number = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    number = number * 10 + static_cast<uint64_t>(*p - '0');
    if (number > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<uint32_t>(number);
  return true;
}

void SettingsDialog::Fill(SettingsForm* form) const {
  CopyField(form->server, sizeof form->server, settings_.server);
  CopyField(form->user, sizeof form->user, settings_.user);
  CopyField(form->password, sizeof form->password, settings_.password);
  CopyField(form->mailer, sizeof form->mailer, settings_.mailer);
  form->interval = static_cast<uint32_t>(settings_.interval);  // shown unsigned: -5 is 4294967291
  form->intervalOk = true;
  form->listChecked = settings_.listSenders == 1;
  form->ledChecked = settings_.ledAuto == 1;
  // Any secured value the list does not name shows as TLS, which is how it connects.
  form->encryption = settings_.ssl == kSslNone       ? kEncryptionNone
                     : settings_.ssl == kSslStartTls ? kEncryptionStartTls
                                                     : kEncryptionTls;
  form->newOnlyChecked = settings_.newOnly != 0;
  form->notifyChecked = settings_.notify != 0;
}

bool SettingsDialog::Accept(const SettingsForm& form) {
  // The record takes what the user entered before the completeness test, so a refused OK
  // still leaves it there.
  CopyField(settings_.server, sizeof settings_.server, form.server);
  CopyField(settings_.user, sizeof settings_.user, form.user);
  CopyField(settings_.password, sizeof settings_.password, form.password);
  CopyField(settings_.mailer, sizeof settings_.mailer, form.mailer);
  settings_.interval = AsSigned(form.intervalOk ? form.interval : 0);
  settings_.listSenders = form.listChecked ? 1 : 0;
  settings_.ledAuto = form.ledChecked ? 1 : 0;
  // A list with nothing chosen keeps the connection as it was rather than dropping TLS.
  switch (form.encryption) {
    case kEncryptionNone: settings_.ssl = kSslNone; break;
    case kEncryptionTls: settings_.ssl = kSslImplicit; break;
    case kEncryptionStartTls: settings_.ssl = kSslStartTls; break;
    default: break;
  }
  if (!form.intervalOk || settings_.interval < kMinInterval) settings_.interval = kDefaultInterval;
  // Once on, the value is kept in the store, so turning it off again is saved too.
  settings_.newOnly = form.newOnlyChecked ? 1 : 0;
  if (settings_.newOnly != 0) settings_.newOnlyStored = true;
  settings_.notify = form.notifyChecked ? 1 : 0;
  if (settings_.notify != 0) settings_.notifyStored = true;

  if (SettingsComplete(settings_)) {
    SaveSettings(settings_, registry_);
    ready_ = 1;
    return true;
  }
  box_.Show(0, kIncompleteText, kCaption);
  ready_ = 0;
  return false;
}

bool SettingsDialog::Judge(const SettingsForm& entered, SettingsForm* kept) {
  if (!Accept(entered)) return false;
  if (kept != nullptr) Fill(kept);
  return true;
}

}  // namespace kc
