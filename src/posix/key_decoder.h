// Terminal input as keys, and what a key means to the tray.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "port/window.h"

namespace kc::posix {

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

}  // namespace kc::posix
