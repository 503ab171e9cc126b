// The desktop's notification of new mail: a title and a few lines of text in code page 932,
// shown beside the tray icon (a balloon on Windows, the notification service on Linux). A click
// on it reaches the main window as SM_TRAY with kNinBalloonUserClick, as the shell sends it.
#pragma once
#include <cstddef>

#include "port/window.h"

namespace kc {

// The shell's sizes of the balloon's fields, NUL included.
constexpr size_t kNoteTitleSize = 64;
constexpr size_t kNoteTextSize = 256;

// The tray callback's mouse word for a click on the balloon (NIN_BALLOONUSERCLICK).
constexpr uint32_t kNinBalloonUserClick = 0x0405;

class NotifierPort {
 public:
  virtual ~NotifierPort() = default;
  // Shows the notification, replacing the one shown before rather than adding another.
  // Failing to show it (no notification service) is the back end's to trace; the program
  // goes on either way.
  virtual void ShowNewMail(WindowRef window, const char* title, const char* text) = 0;
};

// For a platform without notifications.
class NoNotifier final : public NotifierPort {
 public:
  void ShowNewMail(WindowRef, const char*, const char*) override {}
};

}  // namespace kc
