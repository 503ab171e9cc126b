#include "text/cp932.h"

namespace kc {

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

}  // namespace kc
