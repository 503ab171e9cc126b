#include "text/bounded.h"

#include <cstdio>
#include <cstring>

namespace kc {

size_t CopyBounded(char* out, size_t size, const char* text, size_t limit) {
  const size_t most = limit < size - 1 ? limit : size - 1;
  size_t n = 0;
  while (n < most && text[n] != '\0') ++n;
  std::memcpy(out, text, n);
  out[n] = '\0';
  return n;
}

size_t CopyField(char* field, size_t size, const char* text, size_t limit) {
  size_t n = CopyBounded(field, size, text, limit);
  std::memset(field + n, 0, size - n);
  return n;
}

size_t FormatBoundedV(char* out, size_t size, const char* format, va_list args) {
  int n = std::vsnprintf(out, size, format, args);
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

size_t FormatBounded(char* out, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  size_t n = FormatBoundedV(out, size, format, args);
  va_end(args);
  return n;
}

}  // namespace kc
