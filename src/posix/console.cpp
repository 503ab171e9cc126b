#include "posix/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "posix/backends.h"
#include "posix/files.h"
#include "text/cp932.h"
#include "text/inert.h"

namespace kc::posix {

namespace {

// What a signal handler needs to give the terminal back: all prepared beforehand.
termios savedTerminal{};
volatile sig_atomic_t terminalRaw = 0;
volatile sig_atomic_t screenTaken = 0;
char restoreSequence[64] = "";
size_t restoreLength = 0;

void RestoreTerminalNow() {
  if (screenTaken) {
    (void)!write(STDOUT_FILENO, restoreSequence, restoreLength);
    screenTaken = 0;
  }
  if (terminalRaw) {
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    terminalRaw = 0;
  }
}

void OnFatalSignal(int signo) {
  RestoreTerminalNow();
  signal(signo, SIG_DFL);
  raise(signo);
}

void InstallRestoreHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  std::atexit(RestoreTerminalNow);
  for (int signo : {SIGHUP, SIGQUIT, SIGABRT}) {
    struct sigaction action {};
    action.sa_handler = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(signo, &action, nullptr);
  }
}

bool InForeground(int fd) {
  pid_t group = tcgetpgrp(fd);
  return group != -1 && group == getpgrp();
}

std::string Esc(const char* format, int a, int b = 0) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, a, b);
  return buffer;
}

const char kKeyHints[] = "c:チェック space:メニュー q:終了 ?:キー";

std::unique_ptr<Console> theConsole;
EventLoop* theConsoleLoop = nullptr;

}  // namespace

Console& Console::Get(EventLoop& loop) {
  if (!theConsole || theConsoleLoop != &loop) {
    if (theConsole) theConsole->Stop();
    theConsole.reset(new Console(loop));
    theConsoleLoop = &loop;
  }
  return *theConsole;
}

void Console::Write(const std::string& bytes) {
  StderrTrace::FlushCurrent();  // the trace lines that led to this line come first
  WriteAll(STDOUT_FILENO, bytes);
}

void Console::UpdateSize() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
    columns_ = size.ws_col;
    rows_ = size.ws_row;
  }
  // The sequence that gives the screen back: whole-screen scrolling, an empty status row,
  // the cursor where it was and visible.
  std::string restore =
      "\x1b"
      "7\x1b[r" +
      Esc("\x1b[%d;1H", rows_) +
      "\x1b[2K\x1b"
      "8\x1b[?25h" +
      (keysFromTerminal_ ? "\x1b[?2004l" : "");
  restoreLength = restore.size() < sizeof restoreSequence ? restore.size() : 0;
  std::memcpy(restoreSequence, restore.data(), restoreLength);
}

void Console::SetScrollRegion() {
  if (!screen_) return;
  // Setting the region homes the cursor: keep it where the trace left it.
  int top = panelRows_ + 1;
  Write(
      "\x1b"
      "7" +
      Esc("\x1b[%d;%dr", top, rows_ - 1) +
      "\x1b"
      "8");
}

void Console::EnterTerminalMode() {
  if (keysFromTerminal_) {
    if (!rawMode_ && tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
      rawMode_ = true;
      terminalRaw = 1;
    }
    if (rawMode_) {
      termios raw = savedTerminal;
      raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
      raw.c_iflag &= ~static_cast<tcflag_t>(IXON);
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
  }
  if (screen_) {
    UpdateSize();
    // Make room for the status row below the cursor, then keep the rows above for the trace.
    Write(
        "\n\x1b"
        "7" +
        Esc("\x1b[%d;%dr", panelRows_ + 1, rows_ - 1) +
        "\x1b"
        "8\x1b[1A");
    // Hidden cursor; pastes bracketed, so a pasted line break is text and not Enter.
    if (keysFromTerminal_) Write("\x1b[?25l\x1b[?2004h");
    screenTaken = 1;
  }
}

void Console::LeaveTerminalMode() {
  if (screen_) {
    std::string out =
        "\x1b"
        "7";
    for (int row = 1; row <= panelRows_; ++row) out += Esc("\x1b[%d;1H\x1b[2K", row);
    out += "\x1b[r" + Esc("\x1b[%d;1H", rows_) +
           "\x1b[2K\x1b"
           "8\x1b[?25h";
    if (keysFromTerminal_) out += "\x1b[?2004l";
    Write(out);
    screenTaken = 0;
  }
  if (rawMode_) {
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    rawMode_ = false;
    terminalRaw = 0;
  }
}

void Console::Start(const WindowRef& mainWindow) {
  if (started_) return;
  started_ = true;
  mainWindow_ = &mainWindow;
  bool stdinTty = isatty(STDIN_FILENO) == 1;
  keysFromTerminal_ = stdinTty && InForeground(STDIN_FILENO);
  screen_ = isatty(STDOUT_FILENO) == 1 && InForeground(STDOUT_FILENO);
  if (screen_) {
    UpdateSize();
    if (rows_ < 8 || columns_ < 20) screen_ = false;  // too small to split
  }
  // Standard input is read for keys unless it is a terminal this program does not own.
  bool readKeys = stdinTty ? keysFromTerminal_ : fcntl(STDIN_FILENO, F_GETFD) != -1;
  if (keysFromTerminal_ || screen_) {
    InstallRestoreHandlers();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGWINCH);
    sigaddset(&set, SIGCONT);
    if (keysFromTerminal_) sigaddset(&set, SIGTSTP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signalFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd_ >= 0)
      signalWatch_ = loop_.Watch(signalFd_, POLLIN, [this](short) { OnSignal(); });
    EnterTerminalMode();
  }
  if (readKeys) inputWatch_ = loop_.Watch(STDIN_FILENO, POLLIN, [this](short) { OnInput(); });
  if (keysFromTerminal_) PrintHelp();
}

void Console::Stop() {
  if (!started_) return;
  started_ = false;
  if (inputWatch_ != 0) loop_.Unwatch(inputWatch_);
  inputWatch_ = 0;
  if (signalWatch_ != 0) loop_.Unwatch(signalWatch_);
  signalWatch_ = 0;
  if (signalFd_ >= 0) close(signalFd_);
  signalFd_ = -1;
  LeaveTerminalMode();
  panelRows_ = 0;
  statusShown_ = false;
}

void Console::OnSignal() {
  signalfd_siginfo info;
  bool redraw = false;
  while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGTSTP) {
      // Give the terminal back while stopped, take it again when continued.
      LeaveTerminalMode();
      kill(getpid(), SIGSTOP);
      EnterTerminalMode();
      redraw = true;
    } else if (info.ssi_signo == SIGCONT) {
      if (keysFromTerminal_ && rawMode_) EnterTerminalMode();
      redraw = true;
    } else if (info.ssi_signo == SIGWINCH) {
      UpdateSize();
      SetScrollRegion();
      redraw = true;
    }
  }
  if (redraw && screen_) {
    if (panelRows_ > 0) DrawPanel(panel_);
    DrawStatusRow();
  }
}

void Console::OnInput() {
  char buffer[256];
  ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  std::vector<Key> keys;
  if (n <= 0) {
    // End of input (a pipe that closed, a terminal that hung up): no more keys.
    loop_.Unwatch(inputWatch_);
    inputWatch_ = 0;
    decoder_.Flush(&keys);
  } else {
    decoder_.Feed(buffer, static_cast<size_t>(n), &keys);
    if (keysFromTerminal_) decoder_.Flush(&keys);
  }
  for (const Key& key : keys) RouteKey(key);
}

void Console::RouteKey(const Key& key) {
  if (!keyTargets_.empty()) {
    WindowRef target = keyTargets_.back();
    if (key.code == KeyCode::kChar) {
      std::string ch = Utf8ToCp932(key.text);
      // A character the code page does not hold comes back as question marks: refuse it.
      if (ch.empty() || ch.size() > 2 || (ch.find('?') != std::string::npos && key.text != "?")) {
        return;
      }
      WParam packed = static_cast<unsigned char>(ch[0]);
      if (ch.size() == 2) packed |= static_cast<WParam>(static_cast<unsigned char>(ch[1])) << 8;
      loop_.Post(target, kWmConsoleChar, packed, static_cast<LParam>(ch.size()));
    } else {
      loop_.Post(target, kWmConsoleKey, static_cast<WParam>(key.code), key.pasted ? 1 : 0);
    }
    return;
  }
  // A paste is text for a form; pasted into the status line it would act as keys.
  if (key.pasted) return;
  if (key.code == KeyCode::kChar && (key.text == "?" || key.text == "h" || key.text == "H")) {
    PrintHelp();
    return;
  }
  uint32_t msg = 0;
  WParam wp = 0;
  LParam lp = 0;
  if (mainWindow_ != nullptr && TrayKeyMessage(key, &msg, &wp, &lp)) {
    loop_.Post(*mainWindow_, msg, wp, lp);
  }
}

void Console::PushKeyTarget(WindowRef window) { keyTargets_.push_back(window); }

void Console::PopKeyTarget(WindowRef window) {
  for (size_t i = keyTargets_.size(); i > 0; --i) {
    if (keyTargets_[i - 1] == window) {
      keyTargets_.erase(keyTargets_.begin() + static_cast<long>(i - 1));
      return;
    }
  }
}

void Console::DrawStatusRow() {
  if (!screen_) return;
  std::string out =
      "\x1b"
      "7" +
      Esc("\x1b[%d;1H", rows_) + "\x1b[2K";
  size_t width = columns_ > 1 ? static_cast<size_t>(columns_ - 1) : 0;  // never the last cell
  if (overlayShown_) {
    out += overlayRendered_;
  } else if (statusShown_) {
    // The picture in its colour, the tooltip, and the keys when there is room.
    std::string badge = statusText_.substr(0, statusText_.find(']') + 1);
    std::string tip = statusText_.substr(badge.size());
    size_t fitBadge = Cp932Fit(badge.data(), badge.size(), width);
    out += TrayPictureColour(icon_) + Cp932ToUtf8(badge.substr(0, fitBadge).c_str()) + "\x1b[0m";
    size_t left = width - fitBadge;
    size_t fitTip = Cp932Fit(tip.data(), tip.size(), left);
    out += Cp932ToUtf8(tip.substr(0, fitTip).c_str());
    left -= fitTip;
    if (!outcome_.empty() && left > 4) {
      std::string last = "  " + outcome_;
      size_t fit = Cp932Fit(last.data(), last.size(), left);
      out += (lastCheckFailed_ ? "\x1b[1;31m" : "\x1b[1m") +
             Cp932ToUtf8(last.substr(0, fit).c_str()) + "\x1b[0m";
      left -= fit;
    }
    size_t hints = sizeof kKeyHints - 1;
    if (keysFromTerminal_ && left >= hints + 3) {
      out += std::string(left - hints, ' ') + "\x1b[2m" + Cp932ToUtf8(kKeyHints) + "\x1b[0m";
    }
  }
  out +=
      "\x1b"
      "8";
  Write(out);
}

void Console::ShowStatus(const TrayIconRecord& record) {
  // A busy picture means a check (or the mail program) is starting: the last outcome is over.
  if (record.icon == IDI_BUSY) {
    outcome_.clear();
    lastCheckFailed_ = false;
  }
  record_ = record;
  // With several accounts the tooltip adds a line per account: the status row keeps the first
  // (the outcome at its end gives the total, and each account has its outcome line).
  char* lineEnd = static_cast<char*>(std::memchr(record_.tip, '\n', sizeof record_.tip));
  if (lineEnd != nullptr)
    std::memset(lineEnd, 0, sizeof record_.tip - static_cast<size_t>(lineEnd - record_.tip));
  statusText_ = StatusLineText(record_, lastCheckFailed_);
  icon_ = record.icon;
  statusShown_ = true;
  if (screen_) {
    if (!overlayShown_) DrawStatusRow();
  } else {
    Write(Cp932ToUtf8(statusText_.c_str()) + "\n");
  }
}

void Console::ShowOutcome(const char* outcome, bool failed) {
  // It may quote the server: no byte of it may act on the terminal.
  outcome_ = outcome;
  MakeInert(outcome_.data(), outcome_.size());
  lastCheckFailed_ = failed;
  if (statusShown_) statusText_ = StatusLineText(record_, lastCheckFailed_);
  time_t now = time(nullptr);
  tm parts{};
  char when[16] = "";
  if (localtime_r(&now, &parts) != nullptr) std::strftime(when, sizeof when, "%H:%M", &parts);
  PrintLine((std::string("check ") + when + ": " + outcome_).c_str());
  if (screen_) {
    if (!overlayShown_) DrawStatusRow();
  } else if (failed && statusShown_) {
    Write(Cp932ToUtf8(statusText_.c_str()) + "\n");
  }
}

void Console::ClearStatus() {
  statusShown_ = false;
  if (screen_) DrawStatusRow();
}

void Console::RedrawStatus() {
  if (screen_) {
    DrawStatusRow();
  } else if (statusShown_) {
    Write(Cp932ToUtf8(statusText_.c_str()) + "\n");
  }
}

void Console::ShowStatusOverlay(const std::string& cp932Text, const std::string& rendered) {
  overlayShown_ = true;
  overlayRendered_ = rendered;
  if (screen_) {
    DrawStatusRow();
  } else {
    Write(Cp932ToUtf8(cp932Text.c_str()) + "\n");
  }
}

void Console::RestoreStatus() {
  overlayShown_ = false;
  if (screen_) DrawStatusRow();
}

void Console::PrintLine(const char* cp932Text) { Write(Cp932ToUtf8(cp932Text) + "\n"); }

void Console::PrintHelp() {
  PrintLine(
      "KestovaChecker: c チェック / m メーラー起動 / r 既読にする (新着のみ) / "
      "s サインイン (OAuth) / p プロパティ / q 終了 / space メニュー / ? この説明");
}

void Console::OpenPanel(int rows) {
  panel_.clear();
  if (!screen_) {
    panelRows_ = rows;
    return;
  }
  if (rows > rows_ - 3) rows = rows_ - 3;
  // Push what the screen shows into the scrollback, then keep the top rows for the panel and
  // let the trace scroll below it.
  std::string out = Esc("\x1b[%d;1H", rows_ - 1);
  out += std::string(static_cast<size_t>(rows_ - 1), '\n');
  panelRows_ = rows;
  out += Esc("\x1b[%d;%dr", panelRows_ + 1, rows_ - 1);
  out += Esc("\x1b[%d;1H", panelRows_ + 1);
  Write(out);
}

void Console::DrawPanel(const std::vector<std::string>& rows) {
  panel_ = rows;
  if (!screen_) {
    std::string out;
    for (const std::string& row : rows) out += row + "\n";
    Write(out);
    return;
  }
  std::string out =
      "\x1b"
      "7";
  for (int i = 0; i < panelRows_; ++i) {
    out += Esc("\x1b[%d;1H\x1b[2K", i + 1);
    if (static_cast<size_t>(i) < rows.size()) out += rows[static_cast<size_t>(i)];
  }
  out +=
      "\x1b[0m\x1b"
      "8";
  Write(out);
}

void Console::ClosePanel() {
  if (screen_ && panelRows_ > 0) {
    std::string out =
        "\x1b"
        "7";
    for (int row = 1; row <= panelRows_; ++row) out += Esc("\x1b[%d;1H\x1b[2K", row);
    out +=
        "\x1b"
        "8";
    Write(out);
    panelRows_ = 0;
    SetScrollRegion();
  }
  panelRows_ = 0;
  panel_.clear();
}

}  // namespace kc::posix
