// Code page 932 text: where its double-byte characters begin and end.
#pragma once
#include <cstddef>

namespace kc {

// Lead bytes of the double-byte characters of code page 932: 0x81-0x9F and 0xE0-0xFC. The bytes
// 0xFD-0xFF are single bytes there (unassigned), as Windows' own lead-byte test for 932 says.
inline bool IsCp932Lead(unsigned char b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
// Length in bytes of the character starting at text[i] (never beyond length).
size_t Cp932CharLength(const char* text, size_t length, size_t i);
// The longest prefix of text (length bytes) that fits in max bytes without splitting a
// character. A code page 932 text takes as many terminal columns as it has bytes.
size_t Cp932Fit(const char* text, size_t length, size_t max);

}  // namespace kc
