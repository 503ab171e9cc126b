// Opens an address in the user's browser: the program KESTOVA_BROWSER names (a test's stand-in,
// or a user's choice), else xdg-open. The address is one argument; no shell sees it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "posix/backends.h"

extern char** environ;

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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, program.data(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
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
