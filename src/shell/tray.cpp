#include "shell/tray.h"

#include <cstdio>
#include <cstring>

#include "text/bounded.h"

namespace kc {

namespace {

constexpr uint32_t kNifMessage = 1;
constexpr uint32_t kNifIcon = 2;
constexpr uint32_t kNifTip = 4;
constexpr int64_t kSecondsPerMinute = 60;

}  // namespace

// A failed account's word in the tooltip: "error".
const char kTipAccountError[] = "エラー";

void ComposeAccountsTip(const char* text, const TipAccount* accounts, int count, char* out,
                        size_t limit) {
  size_t used = CopyBounded(out, limit + 1, text);
  // What each line takes besides its label: "\n", " " and the count or the word.
  char tails[kMaxAccounts][16];
  size_t fixed[kMaxAccounts];
  size_t lengths[kMaxAccounts];
  if (count > kMaxAccounts) count = kMaxAccounts;
  for (int i = 0; i < count; ++i) {
    if (accounts[i].failed) {
      std::snprintf(tails[i], sizeof tails[i], "%s", kTipAccountError);
    } else {
      std::snprintf(tails[i], sizeof tails[i], "%ld", static_cast<long>(accounts[i].count));
    }
    fixed[i] = 2 + std::strlen(tails[i]);
    lengths[i] = strnlen(accounts[i].label, sizeof accounts[i].label);
  }
  // Accounts are left out from the end until each of the rest has at least one byte of label.
  size_t room = limit > used ? limit - used : 0;
  int shown = count;
  for (;;) {
    size_t need = 0;
    for (int i = 0; i < shown; ++i) need += fixed[i] + 1;
    if (need <= room || shown == 0) break;
    --shown;
  }
  // The room left for labels, shared evenly; what a short label leaves goes to the longer ones.
  size_t labelRoom = room;
  for (int i = 0; i < shown; ++i) labelRoom -= fixed[i];
  size_t cut[kMaxAccounts] = {};
  int open = shown;
  while (open > 0 && labelRoom > 0) {
    const size_t share = labelRoom / static_cast<size_t>(open);
    if (share == 0) break;
    open = 0;
    for (int i = 0; i < shown; ++i) {
      const size_t want = lengths[i] - cut[i];
      if (want == 0) continue;
      const size_t take = want < share ? want : share;
      cut[i] += take;
      labelRoom -= take;
      if (cut[i] < lengths[i]) ++open;
    }
  }
  // Leftover single bytes go to the first labels still cut.
  for (int i = 0; i < shown && labelRoom > 0; ++i) {
    if (cut[i] < lengths[i]) {
      ++cut[i];
      --labelRoom;
    }
  }
  for (int i = 0; i < shown; ++i) {
    out[used++] = '\n';
    std::memcpy(out + used, accounts[i].label, cut[i]);
    used += cut[i];
    out[used++] = ' ';
    const size_t tail = std::strlen(tails[i]);
    std::memcpy(out + used, tails[i], tail);
    used += tail;
  }
  out[used] = '\0';
}

const char kMenuMarkSeen[] = "既読にする";
const char kMenuSignIn[] = "サインイン";
const char kTrayTip[] = "OMBRIX コントロール";
const char kTrayTipNextCheck[] = "OMBRIX コントロール NextCheck%s";
const char kTrayNoTime[] = "--:--";

uint32_t TrayIconFor(int type) {
  switch (type) {
    case kIconIdle: return IDI_IDLE;
    case kIconMail: return IDI_MAIL;
    case kIconManyMail: return IDI_MANYMAIL;
    case kIconBusy: return IDI_BUSY;
    default: return 0;
  }
}

Tray::Tray(TrayPort& port, ClockPort& clock, const Settings& settings, const WindowRef& mainWindow)
    : port_(port), clock_(clock), settings_(settings), mainWindow_(mainWindow) {}

void Tray::FillRecord(uint32_t icon) {
  record_.cbSize = AccountCount(settings_) > 1 ? kTrayRecordSizeV2 : kTrayRecordSize;
  record_.window = mainWindow_;
  record_.id = kTrayIconId;
  record_.flags = kNifMessage | kNifIcon | kNifTip;
  record_.callbackMessage = SM_TRAY;
  record_.icon = icon;
}

void Tray::AddTrayIcon() {
  FillRecord(IDI_IDLE);
  CopyField(record_.tip, kTrayTipSize, kTrayTip);
  port_.Add(record_);
  added_ = true;
}

void Tray::UpdateTrayIcon(int type) {
  // The next check as the clock sees it now; the check timer is not consulted. The sum is
  // taken in 64 bits, so no interval overflows it.
  int64_t next = clock_.Now() + static_cast<int64_t>(settings_.interval) * kSecondsPerMinute;
  LocalTime local{};
  char hhmm[16];
  if (clock_.ToLocal(next, &local) && local.hour >= 0 && local.hour <= 23 && local.min >= 0 &&
      local.min <= 59) {
    std::snprintf(hhmm, sizeof hhmm, "%02d:%02d", local.hour, local.min);
  } else {
    std::snprintf(hhmm, sizeof hhmm, "%s", kTrayNoTime);
  }

  // A type without a picture of its own keeps the current one.
  uint32_t icon = TrayIconFor(type);
  FillRecord(icon != 0 ? icon : record_.icon);
  char tip[kTrayTipSize];
  std::snprintf(tip, sizeof tip, kTrayTipNextCheck, hhmm);
  if (record_.cbSize == kTrayRecordSizeV2 && accountCount_ > 0) {
    std::memset(record_.tip, 0, sizeof record_.tip);
    ComposeAccountsTip(tip, accounts_, accountCount_, record_.tip, kTrayTipSizeV2 - 1);
  } else {
    CopyField(record_.tip, kTrayTipSize, tip);
  }
  port_.Modify(record_);
}

void Tray::RemoveTrayIcon() {
  if (!added_) return;
  port_.Remove(record_);
  added_ = false;
}

void Tray::ReAddTrayIcon() {
  if (!added_) return;
  record_.window = mainWindow_;
  port_.Add(record_);
}

int Tray::ShowTrayMenu(WindowRef window) {
  bool newOnly = false;
  bool oauth = false;
  for (int n = 1; n <= AccountCount(settings_); ++n) {
    newOnly = newOnly || AccountAt(settings_, n).newOnly != 0;
    oauth = oauth || UsesOAuth(AccountAt(settings_, n));
  }
  port_.ShowMenu(window, newOnly, oauth);
  return 0;
}

void Tray::SetAccounts(const TipAccount* accounts, int count) {
  accountCount_ = count < 0 ? 0 : (count > kMaxAccounts ? kMaxAccounts : count);
  for (int i = 0; i < accountCount_; ++i) accounts_[i] = accounts[i];
}

}  // namespace kc
