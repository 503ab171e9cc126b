// Base64 (RFC 4648): the standard alphabet with padding (SASL), and the URL-safe one without
// padding (PKCE, the state value).
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

// Encodes n bytes into out (NUL added). Returns the length, or 0 when out is too small.
size_t Base64Encode(const uint8_t* bytes, size_t n, char* out, size_t size);
size_t Base64UrlEncode(const uint8_t* bytes, size_t n, char* out, size_t size);
// The encoded length of n bytes with padding, NUL not counted.
constexpr size_t Base64Length(size_t n) { return (n + 2) / 3 * 4; }

// Decodes standard base64 (padding optional, no blanks); false for any other byte or when out
// is too small. *length receives the bytes written.
bool Base64Decode(const char* text, size_t n, uint8_t* out, size_t size, size_t* length);

}  // namespace kc
