#include "text/base64.h"

namespace kc {

namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

size_t Encode(const uint8_t* bytes, size_t n, char* out, size_t size, const char* alphabet,
              bool pad) {
  size_t length = pad ? Base64Length(n) : (n * 4 + 2) / 3;
  if (size == 0 || length >= size) {
    if (size > 0) out[0] = '\0';
    return 0;
  }
  size_t o = 0;
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = static_cast<uint32_t>(bytes[i]) << 16;
    if (i + 1 < n) v |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (i + 2 < n) v |= bytes[i + 2];
    out[o++] = alphabet[(v >> 18) & 63];
    out[o++] = alphabet[(v >> 12) & 63];
    if (i + 1 < n) {
      out[o++] = alphabet[(v >> 6) & 63];
    } else if (pad) {
      out[o++] = '=';
    }
    if (i + 2 < n) {
      out[o++] = alphabet[v & 63];
    } else if (pad) {
      out[o++] = '=';
    }
  }
  out[o] = '\0';
  return o;
}

int Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

size_t Base64Encode(const uint8_t* bytes, size_t n, char* out, size_t size) {
  return Encode(bytes, n, out, size, kStandard, true);
}

size_t Base64UrlEncode(const uint8_t* bytes, size_t n, char* out, size_t size) {
  return Encode(bytes, n, out, size, kUrl, false);
}

bool Base64Decode(const char* text, size_t n, uint8_t* out, size_t size, size_t* length) {
  while (n > 0 && text[n - 1] == '=') --n;
  *length = 0;
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < n; ++i) {
    int v = Value(text[i]);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      if (*length >= size) return false;
      out[(*length)++] = static_cast<uint8_t>(acc >> bits);
      acc &= (1u << bits) - 1;
    }
  }
  return true;
}

}  // namespace kc
