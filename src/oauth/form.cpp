#include "oauth/form.h"

#include <cstring>

namespace kc {

namespace {

bool Unreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

FormBuilder::FormBuilder(char* buffer, size_t size) : buffer_(buffer), size_(size), ok_(size > 0) {
  if (ok_) buffer_[0] = '\0';
}

void FormBuilder::Put(char c) {
  if (!ok_ || length_ + 1 >= size_) {
    ok_ = false;
    return;
  }
  buffer_[length_++] = c;
  buffer_[length_] = '\0';
}

FormBuilder& FormBuilder::Add(const char* name, const char* value) {
  static const char kDigits[] = "0123456789ABCDEF";
  if (length_ > 0) Put('&');
  for (const char* p = name; *p != '\0'; ++p) Put(*p);
  Put('=');
  for (const char* p = value; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (Unreserved(static_cast<char>(c))) {
      Put(static_cast<char>(c));
    } else {
      Put('%');
      Put(kDigits[c >> 4]);
      Put(kDigits[c & 15]);
    }
  }
  return *this;
}

bool QueryParameter(const char* query, const char* name, char* out, size_t size) {
  const size_t nameLength = std::strlen(name);
  const char* p = query;
  while (*p != '\0') {
    const char* end = p + std::strcspn(p, "&#");
    const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
    const char* keyEnd = eq != nullptr ? eq : end;
    if (static_cast<size_t>(keyEnd - p) == nameLength && std::strncmp(p, name, nameLength) == 0) {
      size_t o = 0;
      for (const char* v = eq != nullptr ? eq + 1 : end; v < end; ++v) {
        char c = *v;
        if (c == '+') {
          c = ' ';
        } else if (c == '%') {
          if (end - v < 3) return false;
          const int hi = Hex(v[1]);
          const int lo = hi < 0 ? -1 : Hex(v[2]);
          if (lo < 0) return false;
          c = static_cast<char>(hi * 16 + lo);
          v += 2;
        }
        if (static_cast<unsigned char>(c) < 0x20 || o + 1 >= size) return false;
        out[o++] = c;
      }
      if (size == 0) return false;
      out[o] = '\0';
      return true;
    }
    if (*end != '&') break;
    p = end + 1;
  }
  return false;
}

}  // namespace kc
