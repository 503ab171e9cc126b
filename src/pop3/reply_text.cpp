#include "pop3/reply_text.h"

#include <cstring>

#include "text/inert.h"

namespace kc {

namespace {

// The shortest piece of the password that is masked wherever it stands.
constexpr size_t kMaskedRun = 4;

bool OccursIn(const char* piece, size_t length, const char* password, size_t passwordLength) {
  for (size_t at = 0; at + length <= passwordLength; ++at) {
    if (std::memcmp(password + at, piece, length) == 0) return true;
  }
  return false;
}

}  // namespace

size_t KeepReplyText(char* out, size_t outSize, const char* reply, size_t length,
                     const char* password, size_t passwordLength) {
  if (outSize == 0) return 0;
  while (length > 0 && (reply[length - 1] == '\r' || reply[length - 1] == '\n')) --length;
  // Every run of kMaskedRun or more bytes shared with the password is covered by the windows of
  // kMaskedRun bytes inside it, each of which occurs in the password too: a byte is masked when
  // a window that starts at or before it, and reaches over it, is one of them.
  const size_t window = passwordLength < kMaskedRun ? passwordLength : kMaskedRun;
  size_t maskedUntil = 0;
  bool inMask = false;
  size_t n = 0;
  for (size_t i = 0; i < length && n + 1 < outSize; ++i) {
    if (window != 0 && length - i >= window &&
        OccursIn(reply + i, window, password, passwordLength)) {
      maskedUntil = i + window;
    }
    if (i < maskedUntil) {
      for (size_t k = 0; !inMask && kPasswordMask[k] != '\0' && n + 1 < outSize; ++k) {
        out[n++] = kPasswordMask[k];
      }
      inMask = true;
      continue;
    }
    inMask = false;
    out[n++] = reply[i];
  }
  out[n] = '\0';
  MakeInert(out, n);
  return n;
}

}  // namespace kc
