// Starts the user's mail program and asks for a check once it has ended.
#pragma once
#include <cstdint>

#include "port/notice.h"
#include "port/process.h"
#include "port/window.h"
#include "settings/settings.h"

namespace kc {

// Splits a program command into its full path and its arguments (with their leading blank).
// args is written only when there are arguments. Both buffers hold at least 260 bytes. Reads
// at most 259 bytes of path and never past its NUL; double-byte characters of code page 932
// are stepped over whole, so a trail byte is never taken for a separator or a dot.
void SplitProgramPath(const char* path, char* fullPath, char* args);

// The longest wait for the mail program: the largest count below the platform's "forever".
constexpr uint32_t kMaxLaunchWaitMs = 0xFFFFFFFEu;

// How long the launcher waits for the mail program: half the interval (truncated) in minutes,
// as milliseconds. A negative interval waits not at all; a wait beyond 32 bits of
// milliseconds is held at kMaxLaunchWaitMs.
uint32_t LaunchWaitMs(int32_t interval);

class Launcher {
 public:
  Launcher(ProcessPort& process, WindowPort& window, NoticePort& notice, const Settings& settings)
      : process_(process), window_(window), notice_(notice), settings_(settings) {}
  // True when the mail program was started (whether it has ended or the wait ran out).
  bool LaunchMailer(WindowRef window);

 private:
  ProcessPort& process_;
  WindowPort& window_;
  NoticePort& notice_;
  const Settings& settings_;
};

}  // namespace kc
