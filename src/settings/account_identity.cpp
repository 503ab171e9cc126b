#include "settings/account_identity.h"

#include <cstring>

#include "settings/settings.h"
#include "text/bounded.h"
#include "text/cp932.h"

namespace kc {

namespace {

constexpr size_t kLabelBytes = kAccountNameSize - 1;

bool SameServerName(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (LowerAscii(*a) != LowerAscii(*b)) return false;
  }
  return *a == *b;
}

}  // namespace

bool LabelByte(unsigned char c) { return (c >= 0x20 && c <= 0x7E) || (c >= 0xA1 && c <= 0xDF); }

void ComposeAccountLabel(const char* name, size_t nameSize, const char* user, size_t userSize,
                         long number, char* out, size_t size) {
  if (size == 0) return;
  const char* from = name;
  size_t length = strnlen(name, nameSize);
  if (length == 0) {
    from = user;
    length = strnlen(user, userSize);
    const void* at = std::memchr(user, '@', length);
    if (at != nullptr) length = static_cast<size_t>(static_cast<const char*>(at) - user);
  }
  size_t n = 0;
  for (size_t i = 0; i < length && n < kLabelBytes && n + 1 < size; ++i) {
    const unsigned char c = static_cast<unsigned char>(from[i]);
    const bool lead = IsCp932Lead(c) && i + 1 < length;
    out[n++] = !lead && LabelByte(c) ? static_cast<char>(c) : '?';
    if (!lead) continue;
    if (n >= kLabelBytes || n + 1 >= size) break;
    out[n++] = '?';
    ++i;
  }
  out[n] = '\0';
  if (n == 0) FormatBounded(out, size, "%ld", number);
}

int32_t MailboxPort(int32_t port, bool implicitTls) {
  if (port > 0 && port <= 0xFFFF) return port;
  return implicitTls ? 995 : 110;
}

bool SameMailbox(const char* server1, const char* user1, int32_t port1, const char* server2,
                 const char* user2, int32_t port2) {
  if (server1[0] == '\0' || user1[0] == '\0') return false;
  return SameServerName(server1, server2) && std::strcmp(user1, user2) == 0 && port1 == port2;
}

}  // namespace kc
