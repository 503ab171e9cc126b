// Opens an address in the user's browser: the program KESTOVA_BROWSER names (a test's stand-in,
// or a user's choice), else xdg-open. The address is one argument; no shell sees it.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "posix/backends.h"
#include "posix/spawn.h"

namespace kc::posix {

namespace {

class SpawnBrowser final : public BrowserPort {
 public:
  ~SpawnBrowser() override { Reap(); }

  bool Open(const char* url, char* why, size_t whySize) override {
    Reap();
    const char* browser = getenv("KESTOVA_BROWSER");
    if (browser == nullptr || browser[0] == '\0') browser = "xdg-open";
    std::vector<char> program(browser, browser + std::strlen(browser) + 1);
    std::vector<char> address(url, url + std::strlen(url) + 1);
    char* argv[] = {program.data(), address.data(), nullptr};
    pid_t pid = 0;
    int rc =
        SpawnDetached(program.data(), argv, SpawnLookup::kSearchPath, SpawnOutput::kDiscard, &pid);
    if (rc != 0) {
      if (whySize > 0) std::snprintf(why, whySize, "%s: %s", browser, std::strerror(rc));
      return false;
    }
    children_.push_back(pid);
    return true;
  }

 private:
  // Browsers that were started and have ended leave no zombie behind.
  void Reap() {
    for (size_t i = 0; i < children_.size();) {
      if (waitpid(children_[i], nullptr, WNOHANG) != 0) {
        children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
  }
  std::vector<pid_t> children_;
};

}  // namespace

std::unique_ptr<BrowserPort> MakeBrowser() { return std::make_unique<SpawnBrowser>(); }

}  // namespace kc::posix
