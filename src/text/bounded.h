// Bounded copies and formatting into fixed buffers, and ASCII case folding.
#pragma once
#include <cstdarg>
#include <cstddef>

// Format checking of printf-style functions where the compiler offers it (gcc, clang); other
// compilers build the same code without it.
#if defined(__GNUC__)
#define KC_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define KC_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

namespace kc {

constexpr size_t kNoLimit = ~static_cast<size_t>(0);

// Copies text into out, a buffer of `size` bytes (at least 1): at most size - 1 bytes, never
// past text's NUL or its first `limit` bytes, then a NUL; the bytes after it are left alone.
// Returns the number of bytes copied.
size_t CopyBounded(char* out, size_t size, const char* text, size_t limit = kNoLimit);
// The same into a field of a record, whose bytes after the text are all zeroed, so that the
// field holds nothing of what it held before.
size_t CopyField(char* field, size_t size, const char* text, size_t limit = kNoLimit);

// Formats into out, a buffer of `size` bytes (at least 1): what does not fit is cut, and a
// format the library cannot render leaves an empty text. Returns the length of the text.
size_t FormatBoundedV(char* out, size_t size, const char* format, va_list args);
size_t FormatBounded(char* out, size_t size, const char* format, ...) KC_PRINTF_FORMAT(3, 4);

// An ASCII letter in lower case; every other byte, code page 932 ones included, unchanged.
inline char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace kc
