// The window and message model the whole program runs on: one hidden main window whose
// procedure receives every event as a numbered message with two parameters.
#pragma once
#include <cstdint>

#include "port/messages.h"

namespace kc {

using WindowRef = uintptr_t;  // the platform's window handle, opaque to the core; 0 is none
using WParam = uintptr_t;
using LParam = intptr_t;
using LResult = intptr_t;

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

}  // namespace kc
