#include <time.h>

#include "win32/backends.h"

namespace kc::win32 {

HINSTANCE AppInstance = nullptr;

void Win32Window::Post(WindowRef window, uint32_t msg, WParam wp, LParam lp) {
  PostMessageA(ToHwnd(window), msg, wp, lp);
}

LResult Win32Window::Send(WindowRef window, uint32_t msg, WParam wp, LParam lp) {
  return SendMessageA(ToHwnd(window), msg, wp, lp);
}

void Win32Window::StartTimer(WindowRef window, uint32_t id, uint32_t periodMs) {
  SetTimer(ToHwnd(window), id, periodMs, nullptr);
}

void Win32Window::StopTimer(WindowRef window, uint32_t id) { KillTimer(ToHwnd(window), id); }

void Win32Window::Hide(WindowRef window) { ShowWindow(ToHwnd(window), SW_HIDE); }

void Win32Window::Destroy(WindowRef window) { DestroyWindow(ToHwnd(window)); }

void Win32Window::PostQuit(int exitCode) { PostQuitMessage(exitCode); }

LResult Win32Window::DefaultProc(WindowRef window, uint32_t msg, WParam wp, LParam lp) {
  return DefWindowProcA(ToHwnd(window), msg, wp, lp);
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
