#include "shell/tray.h"

#include <cstdio>
#include <cstring>

#include "text/bounded.h"

namespace kc {

namespace {

constexpr uint32_t kRecordSize = 88;  // the record layout with the 64-byte tip
constexpr uint32_t kNifMessage = 1;
constexpr uint32_t kNifIcon = 2;
constexpr uint32_t kNifTip = 4;
constexpr int64_t kSecondsPerMinute = 60;

}  // namespace

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
  record_.cbSize = kRecordSize;
  record_.window = mainWindow_;
  record_.id = kTrayIconId;
  record_.flags = kNifMessage | kNifIcon | kNifTip;
  record_.callbackMessage = SM_TRAY;
  record_.icon = icon;
}

void Tray::AddTrayIcon() {
  FillRecord(IDI_IDLE);
  CopyField(record_.tip, sizeof record_.tip, kTrayTip);
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
  char tip[sizeof record_.tip];
  std::snprintf(tip, sizeof tip, kTrayTipNextCheck, hhmm);
  CopyField(record_.tip, sizeof record_.tip, tip);
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
  port_.ShowMenu(window, settings_.newOnly != 0, UsesOAuth(settings_));
  return 0;
}

}  // namespace kc
