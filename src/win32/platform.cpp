#include <time.h>
#include <cstdio>

#include "win32/backends.h"

namespace kc::win32 {

HINSTANCE AppInstance = nullptr;

bool Win32MessageBox::Ask(WindowRef owner, const char* text, const char* question,
                          const char* caption) {
  char both[2048];
  std::snprintf(both, sizeof both, "%s\n\n%s", text, question);
  return MessageBoxA(ToHwnd(owner), both, caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void Win32MessageBox::Show(WindowRef owner, const char* text, const char* caption) {
  MessageBoxA(ToHwnd(owner), text, caption, MB_OK);
}

void Win32Trace::Trace(const char* text) { OutputDebugStringA(text); }

int64_t Win32Clock::Now() { return static_cast<int64_t>(time(nullptr)); }

bool Win32Clock::ToLocal(int64_t t, LocalTime* out) {
  time_t value = static_cast<time_t>(t);
  tm parts{};
  if (localtime_s(&parts, &value) != 0) return false;
  *out = LocalTime{parts.tm_year + 1900, parts.tm_mon, parts.tm_mday, parts.tm_hour,
                   parts.tm_min,         parts.tm_sec, parts.tm_wday};
  return true;
}

uint32_t Win32Clock::TickCount() { return GetTickCount(); }

}  // namespace kc::win32
