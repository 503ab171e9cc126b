#include "pop3/reply_text.h"

#include <cstdint>
#include <cstring>

#include "text/inert.h"

namespace kc {

namespace {

// The shortest piece of the password that is masked wherever it stands.
constexpr size_t kMaskedRun = 4;
// How far past the kept text the reply is still read: a piece of the password that starts in
// the kept text may be written out over this many bytes (escaped, spaced out).
constexpr size_t kScanMargin = 64;
// The most bytes of one reply that are looked at, whatever the buffer: the reassembly
// buffer's size.
constexpr size_t kScanLimit = 4096;

char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Fold(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// piece holds folded bytes; the password is folded as it is compared.
bool OccursIn(const char* piece, size_t length, const char* password, size_t passwordLength) {
  for (size_t at = 0; at + length <= passwordLength; ++at) {
    size_t k = 0;
    while (k < length && Fold(password[at + k]) == piece[k]) ++k;
    if (k == length) return true;
  }
  return false;
}

// The reply as the password may stand in it: letters in lower case and, when `decode` is set,
// %XX and backslash escapes decoded and the blanks of spaced-out text ("p w - e 2 e") left
// out. view[k] came from reply[from[k], to[k]). Returns the length of the view.
size_t MakeView(const char* reply, size_t length, bool decode, char* view, uint16_t* from,
                uint16_t* to) {
  size_t n = 0;
  size_t i = 0;
  while (i < length) {
    size_t used = 1;
    char c = reply[i];
    if (decode) {
      // A blank between two characters that stand alone, each between blanks or at an end:
      // ordinary words keep their blanks, so "sec ret" never joins to "secret".
      if (IsBlank(c) && i >= 1 && i + 1 < length && !IsBlank(reply[i - 1]) &&
          !IsBlank(reply[i + 1]) && (i < 2 || IsBlank(reply[i - 2])) &&
          (i + 2 >= length || IsBlank(reply[i + 2]))) {
        ++i;
        continue;
      }
      if (c == '%' && i + 2 < length && HexValue(reply[i + 1]) >= 0 &&
          HexValue(reply[i + 2]) >= 0) {
        c = static_cast<char>(HexValue(reply[i + 1]) * 16 + HexValue(reply[i + 2]));
        used = 3;
      } else if (c == '\\' && i + 1 < length) {
        c = reply[i + 1];
        used = 2;
      }
    }
    view[n] = Fold(c);
    from[n] = static_cast<uint16_t>(i);
    to[n] = static_cast<uint16_t>(i + used);
    ++n;
    i += used;
  }
  return n;
}

// Marks masked[j] for every byte of the reply that went into a window of the view shared with
// the password.
void MarkShared(const char* reply, size_t length, bool decode, const char* password,
                size_t passwordLength, bool* masked) {
  static_assert(kScanLimit <= UINT16_MAX, "positions are kept in 16 bits");
  char view[kScanLimit];
  uint16_t from[kScanLimit];
  uint16_t to[kScanLimit];
  const size_t n = MakeView(reply, length, decode, view, from, to);
  const size_t window = passwordLength < kMaskedRun ? passwordLength : kMaskedRun;
  if (window == 0) return;
  for (size_t k = 0; k + window <= n; ++k) {
    if (!OccursIn(view + k, window, password, passwordLength)) continue;
    for (size_t j = from[k]; j < to[k + window - 1]; ++j) masked[j] = true;
  }
}

}  // namespace

size_t KeepReplyText(char* out, size_t outSize, const char* reply, size_t length,
                     const char* password, size_t passwordLength) {
  if (outSize == 0) return 0;
  while (length > 0 && (reply[length - 1] == '\r' || reply[length - 1] == '\n')) --length;
  // Every run of kMaskedRun or more bytes shared with the password is covered by the windows of
  // kMaskedRun bytes inside it, each of which occurs in the password too: a byte is masked when
  // a window over it is one of them, in the reply as it stands or as it reads once decoded.
  size_t scan = outSize - 1 + kScanMargin;
  if (scan > kScanLimit) scan = kScanLimit;
  if (scan > length) scan = length;
  bool masked[kScanLimit] = {};
  MarkShared(reply, scan, false, password, passwordLength, masked);
  MarkShared(reply, scan, true, password, passwordLength, masked);
  bool inMask = false;
  size_t n = 0;
  for (size_t i = 0; i < length && n + 1 < outSize; ++i) {
    if (i < scan && masked[i]) {
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
