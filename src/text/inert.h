// A server's text made inert before it reaches a trace, a terminal or the display.
#pragma once
#include <cstddef>

namespace kc {

// What stands in for a control byte.
constexpr char kControlMark = '?';

// A byte that would act rather than show: below 0x20, or 0x7F. Lead and trail bytes of code
// page 932 are never control bytes (leads 0x81-0x9F and 0xE0-0xFC, trails 0x40-0xFC but 0x7F).
inline bool IsControlByte(char c) {
  const unsigned char b = static_cast<unsigned char>(c);
  return b < 0x20 || b == 0x7F;
}

// Replaces every control byte of text[0, length) with kControlMark, in place, except the bytes
// listed in `keep` (a NUL-terminated set, "" for none; NUL itself is never kept). A server
// decides these bytes: an escape sequence among them would retitle or clear the terminal that
// shows the trace, and on the display any of them is a cell of the character generator.
void MakeInert(char* text, size_t length, const char* keep = "");

}  // namespace kc
