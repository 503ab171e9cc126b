// The window and message model the whole program runs on: one hidden main window whose
// procedure receives every event as a numbered message with two parameters.
#pragma once
#include <cstdint>

namespace kc {

using WindowRef = uintptr_t;  // the platform's window handle, opaque to the core; 0 is none
using WParam = uintptr_t;
using LParam = intptr_t;
using LResult = intptr_t;

// Platform message numbers the controller dispatches on.
constexpr uint32_t kWmCreate = 0x0001;
constexpr uint32_t kWmDestroy = 0x0002;
constexpr uint32_t kWmCommand = 0x0111;
constexpr uint32_t kWmTimer = 0x0113;
constexpr uint32_t kWmLButtonDblClk = 515;
constexpr uint32_t kWmRButtonDown = 516;

// The program's own messages.
constexpr uint32_t SM_START = 1024;
constexpr uint32_t SM_CHECK = 1025;
constexpr uint32_t SM_CHECKDONE = 1026;
constexpr uint32_t SM_SHOWCOUNT = 1028;
constexpr uint32_t SM_LAUNCH = 1029;
constexpr uint32_t SM_GETHOST = 1034;
constexpr uint32_t SM_SOCKET = 1035;
constexpr uint32_t SM_TRAY = 1054;

// Timers of the main window.
constexpr uint32_t TIMER_LCDPAGE = 2;
constexpr uint32_t TIMER_CHECK = 3;
// Runs only while a check waits on the server; ends a check whose server has gone silent.
constexpr uint32_t TIMER_SERVERWAIT = 4;

// Menu commands and the tray icon.
constexpr uint16_t IDM_CHECK = 40001;
constexpr uint16_t IDM_PROPERTIES = 40002;
constexpr uint16_t IDM_EXIT = 40003;
constexpr uint32_t kTrayIconId = 101;

// One string names the mutex, the window class and the window title.
constexpr const char* kAppName = "KestovaChecker";
constexpr const char* kCaption = "KESTOVA";

// Messages, timers and the window itself, as the controller and the poller need them.
class WindowPort {
 public:
  virtual ~WindowPort() = default;
  virtual void Post(WindowRef window, uint32_t msg, WParam wp, LParam lp) = 0;
  // Handled by the window procedure before it returns.
  virtual LResult Send(WindowRef window, uint32_t msg, WParam wp, LParam lp) = 0;
  // Periodic timer; starting an existing timer again replaces its period.
  virtual void StartTimer(WindowRef window, uint32_t id, uint32_t periodMs) = 0;
  virtual void StopTimer(WindowRef window, uint32_t id) = 0;
  virtual void Hide(WindowRef window) = 0;
  virtual void Destroy(WindowRef window) = 0;
  virtual void PostQuit(int exitCode) = 0;
  virtual LResult DefaultProc(WindowRef window, uint32_t msg, WParam wp, LParam lp) = 0;
};

// A modal box with an OK button; owner 0 means no owner window.
class MessageBoxPort {
 public:
  virtual ~MessageBoxPort() = default;
  virtual void Show(WindowRef owner, const char* text, const char* caption) = 0;
};

// The debug trace: the text is passed on unchanged, nothing added.
class TracePort {
 public:
  virtual ~TracePort() = default;
  virtual void Trace(const char* text) = 0;
};

}  // namespace kc
