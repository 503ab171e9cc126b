#include "text/ipv4.h"

#include <cstring>

namespace kc {

bool ParseIpv4(const char* text, uint8_t out[4]) {
  uint8_t bytes[4] = {};
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.') return false;
    unsigned value = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      if (digits == 1 && value == 0) return false;  // a leading zero
      if (++digits > 3) return false;
      value = value * 10 + static_cast<unsigned>(*p - '0');
    }
    if (digits == 0 || value > 255) return false;
    bytes[part] = static_cast<uint8_t>(value);
  }
  if (*p != '\0') return false;
  std::memcpy(out, bytes, sizeof bytes);
  return true;
}

bool CertIpEntryNames(const uint8_t address[4], const uint8_t* entry, size_t entryLength) {
  return entry != nullptr && entryLength == 4 && std::memcmp(address, entry, 4) == 0;
}

}  // namespace kc
