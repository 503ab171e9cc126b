// Opening an address in the user's web browser (Windows: ShellExecute; Linux: xdg-open, or the
// command KESTOVA_BROWSER names).
#pragma once
#include <cstddef>

namespace kc {

class BrowserPort {
 public:
  virtual ~BrowserPort() = default;
  // False (why) when no browser could be started.
  virtual bool Open(const char* url, char* why, size_t whySize) = 0;
};

}  // namespace kc
