#include "pop3/stat_reply.h"

#include <cstdint>

namespace kc {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

const char* SkipSpace(const char* p) {
  while (IsSpace(*p)) ++p;
  return p;
}

// A signed decimal number, held at the int64 bounds. Returns nullptr when no digit follows.
const char* ReadNumber(const char* p, int64_t* value) {
  p = SkipSpace(p);
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (!IsDigit(*p)) return nullptr;
  uint64_t magnitude = 0;
  constexpr uint64_t kCap = static_cast<uint64_t>(INT64_MAX);
  for (; IsDigit(*p); ++p) {
    unsigned digit = static_cast<unsigned>(*p - '0');
    magnitude = magnitude > (kCap - digit) / 10 ? kCap : magnitude * 10 + digit;
  }
  *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return p;
}

}  // namespace

bool ParseStatReply(const char* reply, int32_t* count, int64_t* size) {
  *count = 0;
  *size = 0;
  const char* p = SkipSpace(reply);
  if (*p == '\0') return false;
  while (*p != '\0' && !IsSpace(*p)) ++p;  // the status word
  int64_t first = 0;
  p = ReadNumber(p, &first);
  if (p == nullptr || (*p != '\0' && !IsSpace(*p))) return false;
  if (first < 0 || first > INT32_MAX) return false;
  *count = static_cast<int32_t>(first);
  int64_t second = 0;
  if (ReadNumber(p, &second) != nullptr) *size = second;
  return true;
}

void FormatDecimal(int64_t value, char out[21]) {
  char digits[20];
  int n = 0;
  // The magnitude of INT64_MIN does not fit int64_t; it does fit uint64_t.
  uint64_t v = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 && n < 20);
  int k = 0;
  if (value < 0) out[k++] = '-';
  for (int i = 0; i < n; ++i) out[k++] = digits[n - 1 - i];
  out[k] = '\0';
}

}  // namespace kc
