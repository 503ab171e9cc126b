// Starting the user's mail program and waiting for it.
#pragma once
#include <cstdint>

namespace kc {

using ProcessRef = uintptr_t;  // the started program's primary thread (or process); 0 is none

class ProcessPort {
 public:
  virtual ~ProcessPort() = default;
  // Starts applicationName with commandLine in the notifier's directory, shown normally.
  virtual ProcessRef Start(const char* applicationName, const char* commandLine) = 0;
  // Waits until the program's primary thread ends or timeoutMs has passed.
  virtual void Wait(ProcessRef process, uint32_t timeoutMs) = 0;
  virtual void Close(ProcessRef process) = 0;
};

}  // namespace kc
