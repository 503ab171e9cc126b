// The console front end of the Linux program: the terminal stands in for the tray icon, its
// menu and the settings dialog. Text is code page 932 inside and UTF-8 on the terminal.
//
// Layout when standard output is a terminal: the last row holds the status line (the tray
// icon's picture and tooltip); the rows above scroll the trace. A modal form takes rows at
// the top while it is open, and the trace scrolls below it. Keys are read from standard input
// through the event loop and reach the program as the same messages the tray and its menu
// produce; while a modal window (menu, form) is open, they go to it as key messages instead.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "posix/event_loop.h"
#include "shell/tray.h"

namespace kc::posix {

// ---- Pure parts -------------------------------------------------------------------------

// Splits a command line into argv the way a Windows program parses its own command line:
// the first token ends at the next blank, or at the next quote when it begins with one (no
// escapes in the program name); later tokens are separated by blanks and tabs, quotes group
// and are removed, 2n backslashes before a quote give n backslashes, 2n+1 give n and a
// literal quote, other backslashes are literal, and "" inside a quoted part is a literal quote.
std::vector<std::string> SplitCommandLine(const char* commandLine);

// The picture of a tray icon resource in words: "no mail" (blue), "mail" (yellow), "much mail"
// (red), "checking" (magenta); "none" for anything else.
const char* TrayPictureName(uint32_t icon);
// The busy picture left in place after a check that failed: "check failed".
extern const char kFailedPictureName[];

// The status line in code page 932: the picture's name in brackets and the tooltip. With
// lastCheckFailed, a busy picture that no check is behind reads "check failed".
std::string StatusLineText(const TrayIconRecord& record, bool lastCheckFailed = false);

// Code page 932: lead bytes of double-byte characters (0x81-0x9F, 0xE0-0xFC).
inline bool IsCp932Lead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || b >= 0xE0; }
// Length in bytes of the character starting at text[i] (never beyond length).
size_t Cp932CharLength(const char* text, size_t length, size_t i);
// The longest prefix of text (length bytes) that fits in max bytes without splitting a
// character. A code page 932 text takes as many terminal columns as it has bytes.
size_t Cp932Fit(const char* text, size_t length, size_t max);

// The first `columns` columns of a row of code page 932 text that may hold terminal
// attribute sequences (ESC [ ... letter), which take no column and are kept.
std::string FitColumns(const std::string& row, size_t columns);

// Keys as the terminal delivers them.
enum class KeyCode : uint16_t {
  kNone = 0,
  kChar,  // a printable character (text holds its UTF-8 bytes)
  kEnter,
  kTab,
  kBackTab,
  kUp,
  kDown,
  kLeft,
  kRight,
  kHome,
  kEnd,
  kBackspace,
  kDelete,
  kEscape,
  kClearLine,  // Ctrl-U
};

struct Key {
  KeyCode code = KeyCode::kNone;
  std::string text;     // UTF-8, for kChar
  bool pasted = false;  // part of a paste (bracketed by the terminal, or a burst in one read)
};

// Turns terminal input bytes into keys. An escape sequence or UTF-8 character cut by the end
// of a read is kept for the next one; Flush turns a lone ESC left at the end into Escape.
// Keys between the terminal's paste brackets (ESC [200~ ... ESC [201~) are marked pasted, and
// so is a line break or tab that follows text within one read: a person types one key per
// read, a paste comes in one piece.
class KeyDecoder {
 public:
  void Feed(const char* bytes, size_t n, std::vector<Key>* keys);
  void Flush(std::vector<Key>* keys);

 private:
  std::string pending_;
  bool inPaste_ = false;
};

// What a key means while no modal window is open: the tray's messages to the main window.
// c: check (menu command), p: settings, q: exit, m: the double click that starts the mail
// program, space: the right button that opens the menu. False for other keys.
bool TrayKeyMessage(const Key& key, uint32_t* msg, WParam* wp, LParam* lp);

// One single-line edit control over code page 932 text, with a caret and, like an edit
// control entered with Tab, the whole text selected until the first key.
class EditField {
 public:
  static constexpr size_t kCapacity = 1024;  // bytes; keys beyond it are refused

  // limit: the bytes the field takes (at most kCapacity); keys beyond it are refused.
  explicit EditField(bool digitsOnly = false, bool masked = false, size_t limit = kCapacity)
      : digitsOnly_(digitsOnly), masked_(masked), limit_(limit < kCapacity ? limit : kCapacity) {}
  void Configure(bool digitsOnly, bool masked, size_t limit) {
    digitsOnly_ = digitsOnly;
    masked_ = masked;
    limit_ = limit < kCapacity ? limit : kCapacity;
  }
  size_t limit() const { return limit_; }
  bool digitsOnly() const { return digitsOnly_; }
  void SetText(const char* text);
  const std::string& text() const { return text_; }
  size_t caret() const { return caret_; }
  bool allSelected() const { return allSelected_; }
  bool masked() const { return masked_; }

  // One character in code page 932 (1 or 2 bytes); false when it is refused.
  bool Insert(const char* ch, size_t n);
  void Backspace();
  void Delete();
  void Left();
  void Right();
  void Home();
  void End();
  void Clear();
  void SelectAll();

  // What a field `width` columns wide shows (masked characters as '*', scrolled so that the
  // caret is visible) and the column of the caret in it.
  void View(size_t width, std::string* shown, size_t* caretColumn) const;

 private:
  bool TakeSelection();  // removes a selected text; true when there was one

  std::string text_;
  size_t caret_ = 0;
  bool allSelected_ = false;
  bool digitsOnly_;
  bool masked_;
  size_t limit_;
};

// ---- The terminal -----------------------------------------------------------------------

// Key messages to the modal console windows (menu, form).
constexpr uint32_t kWmConsoleKey = 0x0100;   // wp: KeyCode; lp: 1 when pasted
constexpr uint32_t kWmConsoleChar = 0x0102;  // wp: the character's code page 932 bytes,
                                             // first byte in the low 8 bits

class Console {
 public:
  // The one console of the process, over the program's event loop.
  static Console& Get(EventLoop& loop);

  // Takes the terminal: keys for the main window, the status row, the signals that stop,
  // resize and end the program. Called once the main window exists.
  void Start(const WindowRef& mainWindow);
  // Gives the terminal back as it was. Safe to call more than once.
  void Stop();

  // Keys come from a terminal (the form can be shown) rather than from a pipe or nowhere.
  bool keysFromTerminal() const { return keysFromTerminal_; }
  // Standard output is a terminal that this program may draw on.
  bool screen() const { return screen_; }
  int columns() const { return columns_; }
  int rows() const { return rows_; }

  // The status line (code page 932 inside); redrawn in place on a terminal, one line per
  // change otherwise.
  void ShowStatus(const TrayIconRecord& record);
  void ClearStatus();
  void RedrawStatus();
  // A transient text in the status row (the menu), until RestoreStatus.
  void ShowStatusOverlay(const std::string& cp932Text, const std::string& rendered);
  void RestoreStatus();
  // A check has ended: its outcome (code page 932, English) as a line of its own and at the
  // end of the status row until the next check starts.
  void ShowOutcome(const char* outcome, bool failed);

  // A line in the scrolling area (code page 932), e.g. a notice.
  void PrintLine(const char* cp932Text);
  void PrintHelp();

  // Modal windows: keys go to the last one pushed.
  void PushKeyTarget(WindowRef window);
  void PopKeyTarget(WindowRef window);

  // The form area at the top of the screen: rows are already rendered for the terminal.
  void OpenPanel(int rows);
  void DrawPanel(const std::vector<std::string>& rows);
  void ClosePanel();
  int panelRows() const { return panelRows_; }

  // Writes bytes to standard output unchanged.
  void Write(const std::string& bytes);

 private:
  explicit Console(EventLoop& loop) : loop_(loop) {}
  void OnInput();
  void OnSignal();
  void RouteKey(const Key& key);
  void EnterTerminalMode();
  void LeaveTerminalMode();
  void UpdateSize();
  void SetScrollRegion();
  void DrawStatusRow();

  EventLoop& loop_;
  const WindowRef* mainWindow_ = nullptr;
  bool started_ = false;
  bool keysFromTerminal_ = false;
  bool screen_ = false;
  bool rawMode_ = false;
  int columns_ = 80;
  int rows_ = 24;
  int inputWatch_ = 0;
  int signalFd_ = -1;
  int signalWatch_ = 0;
  KeyDecoder decoder_;
  std::vector<WindowRef> keyTargets_;
  bool statusShown_ = false;
  std::string statusText_;  // code page 932
  uint32_t icon_ = 0;
  std::string outcome_;  // code page 932; empty while a check runs
  bool lastCheckFailed_ = false;
  TrayIconRecord record_{};
  bool overlayShown_ = false;
  std::string overlayText_;      // code page 932, for line output
  std::string overlayRendered_;  // ready for the terminal
  int panelRows_ = 0;
  std::vector<std::string> panel_;
};

}  // namespace kc::posix
