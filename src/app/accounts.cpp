// The accounts of a check: their labels, and which of them a check skips.
#include <cstdio>
#include <cstring>

#include "app/account_run.h"
#include "text/bounded.h"

namespace kc {

namespace {

// A byte the display and the tooltip show as itself: printable ASCII or half-width katakana.
bool Showable(uint8_t c) { return (c >= 0x20 && c < 0x7F) || (c >= 0xA1 && c <= 0xDF); }

// The port a check of the account connects to: PORT, else the service's usual one.
int32_t EffectivePort(const AccountSettings& a) {
  if (a.port > 0 && a.port <= 0xFFFF) return a.port;
  return UsesTls(a) && !UsesStartTls(a) ? 995 : 110;
}

bool SameServerName(const char* a, const char* b, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;
  }
  return true;
}

}  // namespace

void AccountLabel(const Settings& settings, int n, char* out, size_t size) {
  if (size == 0) return;
  const AccountSettings& a = AccountAt(settings, n);
  const char* from = a.name;
  size_t length = strnlen(a.name, sizeof a.name);
  if (length == 0) {
    from = a.user;
    length = strnlen(a.user, sizeof a.user);
    const void* at = std::memchr(a.user, '@', length);
    if (at != nullptr) length = static_cast<size_t>(static_cast<const char*>(at) - a.user);
  }
  if (length > kAccountLabelSize - 1) length = kAccountLabelSize - 1;
  if (length > size - 1) length = size - 1;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t c = static_cast<uint8_t>(from[i]);
    out[i] = Showable(c) ? static_cast<char>(c) : '?';
  }
  out[length] = '\0';
  if (length == 0) std::snprintf(out, size, "%d", n);
}

const char* AccountIncomplete(const AccountSettings& account) {
  if (account.server[0] == '\0') return "no server";
  if (account.user[0] == '\0') return "no user";
  if (!UsesOAuth(account) && account.password[0] == '\0') return "no password";
  return nullptr;
}

int SameMailboxAs(const Settings& settings, int n) {
  const AccountSettings& a = AccountAt(settings, n);
  for (int earlier = 1; earlier < n; ++earlier) {
    const AccountSettings& b = AccountAt(settings, earlier);
    if (AccountIncomplete(b) == nullptr && EffectivePort(a) == EffectivePort(b) &&
        SameServerName(a.server, b.server, kServerSize) &&
        strnlen(a.user, kUserSize) == strnlen(b.user, kUserSize) &&
        std::memcmp(a.user, b.user, strnlen(a.user, kUserSize)) == 0) {
      return earlier;
    }
  }
  return 0;
}

}  // namespace kc
