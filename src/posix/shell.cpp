// The tray icon, its menu and the mail program launcher on a Linux console.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "posix/backends.h"
#include "posix/command_line.h"
#include "posix/console.h"
#include "posix/spawn.h"

namespace kc::posix {

namespace {

// ---- Tray icon and menu -----------------------------------------------------------------

struct MenuItem {
  const char* text;
  uint16_t command;
  char key;
};

// The popup of the tray menu, in its order; a separator stands between the second and third.
const MenuItem kMenu[] = {
    {"チェック", IDM_CHECK, '1'},
    {"終了", IDM_EXIT, '2'},
    {"プロパティ", IDM_PROPERTIES, '3'},
};
// With the new-only option, after the first item; its key is the console's own key for it.
const MenuItem kMarkSeenItem = {kMenuMarkSeen, IDM_MARKSEEN, 'r'};
// With OAuth 2.0, after those; its key is the console's own key for it.
const MenuItem kSignInItem = {kMenuSignIn, IDM_SIGNIN, 's'};

class ConsoleTray final : public TrayPort {
 public:
  explicit ConsoleTray(EventLoop& loop) : loop_(loop) {}

  void Add(const TrayIconRecord& record) override { Console::Get(loop_).ShowStatus(record); }
  void Modify(const TrayIconRecord& record) override { Console::Get(loop_).ShowStatus(record); }
  void Remove(const TrayIconRecord&) override { Console::Get(loop_).ClearStatus(); }

  // The menu takes the status row; its keys come as messages to a window of its own, so the
  // main window's messages go on being handled while it is open.
  void ShowMenu(WindowRef window, bool withMarkSeen, bool withSignIn) override {
    std::vector<MenuItem> items(std::begin(kMenu), std::end(kMenu));
    if (withMarkSeen) items.insert(items.begin() + 1, kMarkSeenItem);
    if (withSignIn) items.insert(items.begin() + (withMarkSeen ? 2 : 1), kSignInItem);
    const int count = static_cast<int>(items.size());
    Console& console = Console::Get(loop_);
    bool done = false;
    int selected = 0;
    uint16_t chosen = 0;
    WindowRef menu = loop_.CreateWindow([&](WindowRef, uint32_t msg, WParam wp, LParam) -> LResult {
      if (msg == kWmConsoleChar) {
        char c = static_cast<char>(wp & 0xFF);
        for (const MenuItem& item : items) {
          if (c == item.key) chosen = item.command;
        }
        if (c == 'c' || c == 'C') chosen = IDM_CHECK;
        if (c == 'q' || c == 'Q') chosen = IDM_EXIT;
        if (c == 'p' || c == 'P') chosen = IDM_PROPERTIES;
        done = true;  // any other character closes the menu without a choice
      } else if (msg == kWmConsoleKey) {
        switch (static_cast<KeyCode>(wp)) {
          case KeyCode::kLeft:
          case KeyCode::kUp:
          case KeyCode::kBackTab: selected = (selected + count - 1) % count; break;
          case KeyCode::kRight:
          case KeyCode::kDown:
          case KeyCode::kTab: selected = (selected + 1) % count; break;
          case KeyCode::kEnter:
            chosen = items[static_cast<size_t>(selected)].command;
            done = true;
            break;
          default: done = true; break;
        }
      }
      if (!done) Draw(console, items, selected);
      return 0;
    });
    if (menu == 0) return;
    console.PushKeyTarget(menu);
    Draw(console, items, selected);
    loop_.RunNested([&done] { return done; });
    console.PopKeyTarget(menu);
    console.RestoreStatus();
    loop_.Destroy(menu);
    // As the tracked popup does: the chosen item reaches the owner as a command.
    if (chosen != 0) loop_.Post(window, kWmCommand, chosen, 0);
  }

 private:
  static void Draw(Console& console, const std::vector<MenuItem>& items, int selected) {
    std::string plain = "メニュー:";
    std::string rendered = "\x1b[7m メニュー \x1b[0m";
    for (size_t i = 0; i < items.size(); ++i) {
      // The separator stands before the settings item.
      if (items[i].command == IDM_PROPERTIES) {
        plain += " |";
        rendered += " |";
      }
      std::string item = std::string(1, items[i].key) + " " + items[i].text;
      plain += " " + item;
      rendered += " ";
      rendered += static_cast<int>(i) == selected ? "\x1b[7m" : "";
      rendered += item;
      rendered += static_cast<int>(i) == selected ? "\x1b[0m" : "";
    }
    rendered += "\x1b[2m  (Enter/数字: 選択, Esc: 閉じる)\x1b[0m";
    console.ShowStatusOverlay(plain, Cp932ToUtf8(rendered.c_str()));
  }

  EventLoop& loop_;
};

// ---- What the console tells the user ---------------------------------------------------

class ConsoleNotice final : public NoticePort {
 public:
  explicit ConsoleNotice(EventLoop& loop) : loop_(loop) {}
  void CheckEnded(const char* outcome, bool failed) override {
    Console::Get(loop_).ShowOutcome(outcome, failed);
  }
  void NoMailProgram() override {
    TellUser(
        Cp932ToUtf8("mail program not set: enter its command as メーラー in the settings (p)"));
  }
  void Tell(const char* line) override { Console::Get(loop_).PrintLine(line); }

 private:
  EventLoop& loop_;
};

// ---- Mail program launcher --------------------------------------------------------------

// A descriptor that becomes readable when the process ends; -1 where the kernel has none.
int PidFdOpen(pid_t pid) {
  long fd = syscall(SYS_pidfd_open, pid, 0);
  return fd < 0 ? -1 : static_cast<int>(fd);
}

class SpawnProcess final : public ProcessPort {
 public:
  ~SpawnProcess() override {
    for (auto& [ref, child] : children_) {
      if (child.pidfd >= 0) close(child.pidfd);
    }
  }

  ProcessRef Start(const char* applicationName, const char* commandLine) override {
    ReapFinished();
    // Names and arguments are code page 932 inside, UTF-8 for the system.
    std::string path = Cp932ToUtf8(applicationName);
    std::vector<std::string> args;
    for (const std::string& arg : SplitCommandLine(commandLine)) {
      args.push_back(Cp932ToUtf8(arg.c_str()));
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    // The mail program gets no input from the notifier's terminal and none of its handles;
    // it starts with every signal at its default and none blocked.
    pid_t pid = 0;
    int rc = SpawnDetached(path.c_str(), argv.data(), SpawnLookup::kPathAsGiven,
                           SpawnOutput::kInherit, &pid);
    if (rc != 0) {
      TellUser("mail program could not be started: " + path + ": " + std::strerror(rc));
      return 0;
    }

    Child child{pid, PidFdOpen(pid), false, path};
    ProcessRef ref = nextRef_++;
    children_[ref] = child;
    return ref;
  }

  void Wait(ProcessRef process, uint32_t timeoutMs) override {
    auto it = children_.find(process);
    if (it == children_.end()) return;
    Child& child = it->second;
    uint64_t deadline = EventLoop::NowMs() + timeoutMs;
    for (;;) {
      if (Reap(child)) return;
      uint64_t now = EventLoop::NowMs();
      if (now >= deadline) return;
      uint64_t left = deadline - now;
      if (child.pidfd >= 0) {
        int slice = left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
        pollfd fd{child.pidfd, POLLIN, 0};
        int n = poll(&fd, 1, slice);
        if (n < 0 && errno != EINTR) return;
      } else {
        // No process descriptor (an old kernel): look again every 50 ms.
        usleep(static_cast<useconds_t>(left < 50 ? left : 50) * 1000u);
      }
    }
  }

  void Close(ProcessRef process) override {
    auto it = children_.find(process);
    if (it == children_.end()) return;
    Child& child = it->second;
    if (child.pidfd >= 0) close(child.pidfd);
    child.pidfd = -1;
    if (Reap(child)) {
      children_.erase(it);
    } else {
      running_.push_back(child.pid);  // still open: reaped once it has ended
      children_.erase(it);
    }
  }

 private:
  struct Child {
    pid_t pid = 0;
    int pidfd = -1;
    bool reaped = false;
    std::string path;  // UTF-8, for what the user is told
  };

  static bool Reap(Child& child) {
    if (child.reaped) return true;
    int status = 0;
    pid_t r = waitpid(child.pid, &status, WNOHANG);
    if (r == child.pid) TellEnd(child.path, status);
    if (r == child.pid || (r < 0 && errno == ECHILD)) child.reaped = true;
    return child.reaped;
  }

  // A mail program that ends in failure is said on the console; a clean end says nothing.
  static void TellEnd(const std::string& path, int status) {
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
      TellUser("mail program failed: " + path + " ended with exit code " +
               std::to_string(WEXITSTATUS(status)));
    } else if (WIFSIGNALED(status)) {
      TellUser("mail program failed: " + path + " ended by signal " +
               std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")");
    }
  }

  // Mail programs that outlived their wait are collected when they have ended.
  void ReapFinished() {
    std::vector<pid_t> still;
    for (pid_t pid : running_) {
      int status = 0;
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == 0) still.push_back(pid);  // a late failure is not told: the wait is long over
    }
    running_.swap(still);
  }

  std::map<ProcessRef, Child> children_;
  std::vector<pid_t> running_;
  ProcessRef nextRef_ = 1;
};

}  // namespace

std::unique_ptr<TrayPort> MakeTray(EventLoop& loop) { return std::make_unique<ConsoleTray>(loop); }
std::unique_ptr<ProcessPort> MakeProcess() { return std::make_unique<SpawnProcess>(); }
std::unique_ptr<NoticePort> MakeNotice(EventLoop& loop) {
  return std::make_unique<ConsoleNotice>(loop);
}

}  // namespace kc::posix
