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

// A byte of the C1 range, 0x80-0x9F: on a terminal that reads 8-bit controls, 0x9B is CSI and
// 0x9D OSC, one byte each. Most of the range is also the lead bytes of code page 932, so such
// a byte is harmless only as the first byte of a valid pair (see MakeInert).
inline bool IsC1Byte(char c) {
  const unsigned char b = static_cast<unsigned char>(c);
  return b >= 0x80 && b <= 0x9F;
}

// Replaces every control byte of text[0, length) with kControlMark, in place, except the bytes
// listed in `keep` (a NUL-terminated set, "" for none; NUL itself is never kept), and every
// C1 byte that is not the lead byte of a valid code page 932 pair (the pair's trail byte is
// left alone, whatever its value). A server decides these bytes: an escape sequence among them
// would retitle or clear the terminal that shows the trace, and on the display any of them is
// a cell of the character generator. Half-width katakana (0xA1-0xDF) stay as they are.
void MakeInert(char* text, size_t length, const char* keep = "");

// The same for a text that may go on: a lead byte at the very end cannot be judged before the
// next byte is known and is left as it is. Returns how many bytes were judged (length, or
// length - 1 when the last byte waits); the caller passes the rest again with what follows.
size_t MakeInertSoFar(char* text, size_t length, const char* keep = "");

}  // namespace kc
