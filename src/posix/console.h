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

#include "port/tray.h"
#include "posix/edit_field.h"
#include "posix/event_loop.h"
#include "posix/key_decoder.h"
#include "posix/terminal_text.h"

namespace kc::posix {

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
