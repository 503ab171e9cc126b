// Opening the sign-in's address in the user's browser: ShellExecuteA with "open", which starts
// the program registered for the address's scheme.
#include <windows.h>
// (kept apart so that include sorting leaves the order alone)
#include <shellapi.h>

#include <cstdio>
#include <cstring>

#include "win32/backends.h"

namespace kc::win32 {

namespace {

class ShellBrowser final : public BrowserPort {
 public:
  bool Open(const char* url, char* why, size_t whySize) override {
    // Only a web address: ShellExecute would run a program or open a file as readily.
    if (std::strncmp(url, "https://", 8) != 0 && std::strncmp(url, "http://", 7) != 0) {
      std::snprintf(why, whySize, "not a web address");
      return false;
    }
    HINSTANCE result = ShellExecuteA(nullptr, "open", url, nullptr, nullptr, SW_SHOWNORMAL);
    // Values above 32 mean success; the others are the old error codes.
    const INT_PTR code = reinterpret_cast<INT_PTR>(result);
    if (code > 32) return true;
    std::snprintf(why, whySize, "ShellExecute failed (%ld)", static_cast<long>(code));
    return false;
  }
};

}  // namespace

std::unique_ptr<BrowserPort> MakeBrowser() { return std::make_unique<ShellBrowser>(); }

}  // namespace kc::win32
