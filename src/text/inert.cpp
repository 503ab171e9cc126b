#include "text/inert.h"

#include <cstring>

#include "text/cp932.h"

namespace kc {

namespace {

bool IsCp932Trail(unsigned char b) { return b >= 0x40 && b <= 0xFC && b != 0x7F; }

size_t Judge(char* text, size_t length, const char* keep, bool more) {
  size_t i = 0;
  while (i < length) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if (IsCp932Lead(b)) {
      if (i + 1 == length && more) return i;  // its trail byte may come next
      if (i + 1 < length && IsCp932Trail(static_cast<unsigned char>(text[i + 1]))) {
        i += 2;  // a whole character: its bytes show, they do not act
        continue;
      }
    }
    const bool control = IsControlByte(text[i]) || IsC1Byte(text[i]);
    if (control && (text[i] == '\0' || std::strchr(keep, text[i]) == nullptr)) {
      text[i] = kControlMark;
    }
    ++i;
  }
  return length;
}

}  // namespace

void MakeInert(char* text, size_t length, const char* keep) { Judge(text, length, keep, false); }

size_t MakeInertSoFar(char* text, size_t length, const char* keep) {
  return Judge(text, length, keep, true);
}

}  // namespace kc
