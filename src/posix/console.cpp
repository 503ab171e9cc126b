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

namespace kc::posix {

// ---- Pure parts -------------------------------------------------------------------------

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

size_t Cp932CharLength(const char* text, size_t length, size_t i) {
  if (i >= length) return 0;
  if (IsCp932Lead(static_cast<unsigned char>(text[i])) && i + 1 < length) return 2;
  return 1;
}

size_t Cp932Fit(const char* text, size_t length, size_t max) {
  size_t i = 0;
  while (i < length) {
    size_t n = Cp932CharLength(text, length, i);
    if (i + n > max) break;
    i += n;
  }
  return i;
}

std::string FitColumns(const std::string& row, size_t columns) {
  std::string out;
  size_t used = 0;
  bool cut = false;
  for (size_t i = 0; i < row.size();) {
    if (row[i] == '\x1b' && i + 1 < row.size() && row[i + 1] == '[') {
      size_t j = i + 2;
      while (j < row.size() && !(row[j] >= 0x40 && row[j] <= 0x7E)) ++j;
      size_t end = j < row.size() ? j + 1 : j;
      out.append(row, i, end - i);
      i = end;
      continue;
    }
    size_t n = Cp932CharLength(row.data(), row.size(), i);
    if (!cut && used + n <= columns) {
      out.append(row, i, n);
      used += n;
    } else {
      cut = true;
    }
    i += n;
  }
  return out;
}

std::vector<std::string> SplitCommandLine(const char* commandLine) {
  std::vector<std::string> argv;
  const char* s = commandLine;
  const size_t n = std::strlen(s);
  size_t i = 0;

  // The program name: quotes only group, backslashes are path separators.
  std::string name;
  bool quoted = false;
  while (i < n && (quoted || !IsBlank(s[i]))) {
    size_t len = Cp932CharLength(s, n, i);
    if (len == 1 && s[i] == '"') {
      quoted = !quoted;
    } else {
      name.append(s + i, len);
    }
    i += len;
  }
  argv.push_back(name);

  for (;;) {
    while (i < n && IsBlank(s[i])) ++i;
    if (i >= n) break;
    std::string arg;
    quoted = false;
    while (i < n && (quoted || !IsBlank(s[i]))) {
      size_t len = Cp932CharLength(s, n, i);
      if (len == 2) {  // a trail byte 0x5C is not a backslash
        arg.append(s + i, 2);
        i += 2;
      } else if (s[i] == '\\') {
        size_t count = 0;
        while (i < n && s[i] == '\\') {
          ++count;
          ++i;
        }
        if (i < n && s[i] == '"') {
          arg.append(count / 2, '\\');
          if (count % 2 == 1) {
            arg.push_back('"');
            ++i;
          }
        } else {
          arg.append(count, '\\');
        }
      } else if (s[i] == '"') {
        if (quoted && i + 1 < n && s[i + 1] == '"') {
          arg.push_back('"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg.push_back(s[i]);
        ++i;
      }
    }
    argv.push_back(arg);
  }
  return argv;
}

const char* TrayPictureName(uint32_t icon) {
  switch (icon) {
    case IDI_IDLE: return "no mail";
    case IDI_MAIL: return "mail";
    case IDI_MANYMAIL: return "much mail";
    case IDI_BUSY: return "checking";
    default: return "none";
  }
}

const char kFailedPictureName[] = "check failed";

std::string StatusLineText(const TrayIconRecord& record, bool lastCheckFailed) {
  std::string line = "[";
  line += lastCheckFailed && record.icon == IDI_BUSY ? kFailedPictureName
                                                     : TrayPictureName(record.icon);
  line += "] ";
  line.append(record.tip, strnlen(record.tip, sizeof record.tip));
  return line;
}

void KeyDecoder::Feed(const char* bytes, size_t n, std::vector<Key>* keys) {
  pending_.append(bytes, n);
  size_t i = 0;
  const size_t first = keys->size();
  const std::string& p = pending_;
  auto emit = [this, keys](KeyCode code, std::string text = std::string()) {
    keys->push_back(Key{code, std::move(text), inPaste_});
  };
  while (i < p.size()) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (c == 0x1B) {
      if (i + 1 >= p.size()) break;  // wait for the rest, or Flush
      char kind = p[i + 1];
      if (kind != '[' && kind != 'O') {
        emit(KeyCode::kEscape);
        ++i;
        continue;
      }
      // CSI or SS3: parameters, then a final byte 0x40 to 0x7E.
      size_t j = i + 2;
      while (j < p.size() && !(p[j] >= 0x40 && p[j] <= 0x7E)) ++j;
      if (j >= p.size()) break;
      char final = p[j];
      std::string params = p.substr(i + 2, j - (i + 2));
      KeyCode code = KeyCode::kNone;
      switch (final) {
        case 'A': code = KeyCode::kUp; break;
        case 'B': code = KeyCode::kDown; break;
        case 'C': code = KeyCode::kRight; break;
        case 'D': code = KeyCode::kLeft; break;
        case 'H': code = KeyCode::kHome; break;
        case 'F': code = KeyCode::kEnd; break;
        case 'Z': code = KeyCode::kBackTab; break;
        case '~': {
          int number = std::atoi(params.c_str());
          if (number == 1 || number == 7) code = KeyCode::kHome;
          if (number == 4 || number == 8) code = KeyCode::kEnd;
          if (number == 3) code = KeyCode::kDelete;
          break;
        }
        default: break;
      }
      if (final == '~' && params == "200") inPaste_ = true;
      if (final == '~' && params == "201") inPaste_ = false;
      if (code != KeyCode::kNone) emit(code);
      i = j + 1;
    } else if (c == '\r' || c == '\n') {
      emit(KeyCode::kEnter);
      // A line end of two bytes is one key.
      if (c == '\r' && i + 1 < p.size() && p[i + 1] == '\n') ++i;
      ++i;
    } else if (c == '\t') {
      emit(KeyCode::kTab);
      ++i;
    } else if (c == 0x7F || c == 0x08) {
      emit(KeyCode::kBackspace);
      ++i;
    } else if (c == 0x15) {
      emit(KeyCode::kClearLine);
      ++i;
    } else if (c < 0x20) {
      ++i;  // other control keys mean nothing here
    } else if (c < 0x80) {
      emit(KeyCode::kChar, std::string(1, static_cast<char>(c)));
      ++i;
    } else {
      size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
      if (len == 0 || c > 0xF4) {
        ++i;  // not the start of a UTF-8 character
        continue;
      }
      if (i + len > p.size()) break;  // the rest comes with the next read
      bool valid = true;
      for (size_t k = 1; k < len; ++k) {
        if ((static_cast<unsigned char>(p[i + k]) & 0xC0) != 0x80) valid = false;
      }
      if (valid) {
        emit(KeyCode::kChar, p.substr(i, len));
        i += len;
      } else {
        ++i;
      }
    }
  }
  pending_.erase(0, i);
  // A line break or tab after text in the same read was pasted with it.
  bool afterText = false;
  for (size_t k = first; k < keys->size(); ++k) {
    Key& key = (*keys)[k];
    if (key.code == KeyCode::kChar) afterText = true;
    if ((key.code == KeyCode::kEnter || key.code == KeyCode::kTab) && afterText) key.pasted = true;
  }
}

void KeyDecoder::Flush(std::vector<Key>* keys) {
  if (pending_ == "\x1b") {
    keys->push_back(Key{KeyCode::kEscape, std::string()});
    pending_.clear();
  }
}

bool TrayKeyMessage(const Key& key, uint32_t* msg, WParam* wp, LParam* lp) {
  if (key.code != KeyCode::kChar || key.text.size() != 1) return false;
  *lp = 0;
  switch (key.text[0]) {
    case 'c':
    case 'C':
      *msg = kWmCommand;
      *wp = IDM_CHECK;
      return true;
    case 'p':
    case 'P':
      *msg = kWmCommand;
      *wp = IDM_PROPERTIES;
      return true;
    case 'q':
    case 'Q':
      *msg = kWmCommand;
      *wp = IDM_EXIT;
      return true;
    case 'm':
    case 'M':
      *msg = SM_TRAY;
      *wp = kTrayIconId;
      *lp = kWmLButtonDblClk;
      return true;
    case ' ':
      *msg = SM_TRAY;
      *wp = kTrayIconId;
      *lp = kWmRButtonDown;
      return true;
    default: return false;
  }
}

// ---- The edit control -------------------------------------------------------------------

void EditField::SetText(const char* text) {
  size_t length = std::strlen(text);
  text_.assign(text, Cp932Fit(text, length, limit_));
  caret_ = text_.size();
  allSelected_ = false;
}

bool EditField::TakeSelection() {
  if (!allSelected_) return false;
  text_.clear();
  caret_ = 0;
  allSelected_ = false;
  return true;
}

bool EditField::Insert(const char* ch, size_t n) {
  if (n == 0 || n > 2) return false;
  if (digitsOnly_ && (n != 1 || ch[0] < '0' || ch[0] > '9')) return false;
  size_t kept = allSelected_ ? 0 : text_.size();
  if (kept + n > limit_) return false;
  TakeSelection();
  text_.insert(caret_, ch, n);
  caret_ += n;
  return true;
}

namespace {

size_t PreviousCharStart(const std::string& text, size_t caret) {
  size_t previous = 0;
  size_t i = 0;
  while (i < caret) {
    previous = i;
    i += Cp932CharLength(text.data(), text.size(), i);
  }
  return previous;
}

}  // namespace

void EditField::Backspace() {
  if (TakeSelection() || caret_ == 0) return;
  size_t start = PreviousCharStart(text_, caret_);
  text_.erase(start, caret_ - start);
  caret_ = start;
}

void EditField::Delete() {
  if (TakeSelection() || caret_ >= text_.size()) return;
  text_.erase(caret_, Cp932CharLength(text_.data(), text_.size(), caret_));
}

void EditField::Left() {
  if (allSelected_) {
    allSelected_ = false;
    caret_ = 0;
    return;
  }
  if (caret_ > 0) caret_ = PreviousCharStart(text_, caret_);
}

void EditField::Right() {
  if (allSelected_) {
    allSelected_ = false;
    caret_ = text_.size();
    return;
  }
  caret_ += Cp932CharLength(text_.data(), text_.size(), caret_);
}

void EditField::Home() {
  allSelected_ = false;
  caret_ = 0;
}

void EditField::End() {
  allSelected_ = false;
  caret_ = text_.size();
}

void EditField::Clear() {
  text_.clear();
  caret_ = 0;
  allSelected_ = false;
}

void EditField::SelectAll() {
  allSelected_ = !text_.empty();
  caret_ = text_.size();
}

void EditField::View(size_t width, std::string* shown, size_t* caretColumn) const {
  // Each character: where it starts in text_, and its text on the screen.
  struct Cell {
    size_t start;
    std::string face;
  };
  std::vector<Cell> cells;
  size_t caretCol = 0;
  size_t col = 0;
  for (size_t i = 0; i < text_.size();) {
    size_t len = Cp932CharLength(text_.data(), text_.size(), i);
    Cell cell{i, masked_ ? std::string("*") : text_.substr(i, len)};
    if (i < caret_) caretCol = col + cell.face.size();
    col += cell.face.size();
    cells.push_back(std::move(cell));
    i += len;
  }
  if (caret_ == 0) caretCol = 0;
  if (width == 0) {
    shown->clear();
    *caretColumn = 0;
    return;
  }
  // The first column shown: the least character start that keeps the caret in the field.
  size_t first = 0;
  size_t firstCell = 0;
  col = 0;
  for (size_t k = 0; k < cells.size() && caretCol >= first + width; ++k) {
    col += cells[k].face.size();
    first = col;
    firstCell = k + 1;
  }
  shown->clear();
  for (size_t k = firstCell; k < cells.size(); ++k) {
    if (shown->size() + cells[k].face.size() > width) break;
    *shown += cells[k].face;
  }
  *caretColumn = caretCol - first;
}

// ---- The terminal -----------------------------------------------------------------------

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

// The colours of the tray pictures on the terminal.
const char* PictureColour(uint32_t icon) {
  switch (icon) {
    case IDI_IDLE: return "\x1b[1;97;44m";
    case IDI_MAIL: return "\x1b[1;30;43m";
    case IDI_MANYMAIL: return "\x1b[1;97;41m";
    case IDI_BUSY: return "\x1b[1;97;45m";
    default: return "\x1b[7m";
  }
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
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = write(STDOUT_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
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
    out += PictureColour(icon_) + Cp932ToUtf8(badge.substr(0, fitBadge).c_str()) + "\x1b[0m";
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
  statusText_ = StatusLineText(record, lastCheckFailed_);
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
  for (char& c : outcome_) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
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
      "KestovaChecker: c チェック / m メーラー起動 / p プロパティ / q 終了 / "
      "space メニュー / ? この説明");
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
