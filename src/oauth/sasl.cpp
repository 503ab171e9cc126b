#include "oauth/sasl.h"

#include <cstdint>
#include <cstring>

#include "text/base64.h"
#include "text/bounded.h"

namespace kc {

namespace {

// Longest response before base64: the widest token a provider gives (about 6,000 bytes seen,
// room for more) and the user.
constexpr size_t kRawLimit = 12000;

bool IsMechanismChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// Does the list (blank separated) name `name`, without regard to case?
bool Names(const char* list, size_t n, const char* name) {
  const size_t want = std::strlen(name);
  size_t i = 0;
  while (i < n) {
    while (i < n && !IsMechanismChar(list[i])) ++i;
    size_t start = i;
    while (i < n && IsMechanismChar(list[i])) ++i;
    if (i - start != want) continue;
    bool same = true;
    for (size_t k = 0; k < want && same; ++k)
      same = LowerAscii(list[start + k]) == LowerAscii(name[k]);
    if (same) return true;
  }
  return false;
}

bool Append(char* raw, size_t* at, const char* text, size_t n) {
  if (*at + n > kRawLimit) return false;
  std::memcpy(raw + *at, text, n);
  *at += n;
  return true;
}

bool HasControl(const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) return true;
  }
  return false;
}

}  // namespace

SaslMechanism ChooseSaslMechanism(const char* reply, size_t length, char* offered,
                                  size_t offeredSize) {
  CopyBounded(offered, offeredSize, "");
  // Lines after the status line; the one that starts with "SASL" lists the mechanisms.
  size_t i = 0;
  while (i < length) {
    size_t end = i;
    while (end < length && reply[end] != '\r' && reply[end] != '\n') ++end;
    const size_t n = end - i;
    if (n >= 4 && LowerAscii(reply[i]) == 's' && LowerAscii(reply[i + 1]) == 'a' &&
        LowerAscii(reply[i + 2]) == 's' && LowerAscii(reply[i + 3]) == 'l' &&
        (n == 4 || reply[i + 4] == ' ')) {
      const char* list = reply + i + 4;
      const size_t listLength = n - 4;
      size_t skip = 0;
      while (skip < listLength && list[skip] == ' ') ++skip;
      char shown[256];
      CopyBounded(shown, sizeof shown, list + skip, listLength - skip);
      for (char* p = shown; *p != '\0'; ++p) {
        if (static_cast<unsigned char>(*p) < 0x20 || static_cast<unsigned char>(*p) >= 0x7F)
          *p = '?';
      }
      CopyBounded(offered, offeredSize, shown);
      if (Names(list, listLength, "XOAUTH2")) return SaslMechanism::kXoauth2;
      if (Names(list, listLength, "OAUTHBEARER")) return SaslMechanism::kOauthBearer;
      return SaslMechanism::kNone;
    }
    i = end;
    while (i < length && (reply[i] == '\r' || reply[i] == '\n')) ++i;
  }
  return SaslMechanism::kNone;
}

const char* SaslMechanismName(SaslMechanism mechanism) {
  switch (mechanism) {
    case SaslMechanism::kXoauth2: return "XOAUTH2";
    case SaslMechanism::kOauthBearer: return "OAUTHBEARER";
    case SaslMechanism::kNone: break;
  }
  return "";
}

size_t BuildSaslResponse(SaslMechanism mechanism, const char* user, const char* token, char* out,
                         size_t size) {
  if (size > 0) out[0] = '\0';
  if (mechanism == SaslMechanism::kNone || HasControl(user) || HasControl(token)) return 0;
  static char raw[kRawLimit];
  size_t at = 0;
  bool ok = true;
  if (mechanism == SaslMechanism::kXoauth2) {
    ok = Append(raw, &at, "user=", 5) && Append(raw, &at, user, std::strlen(user));
  } else {
    ok = Append(raw, &at, "n,a=", 4);
    for (const char* p = user; ok && *p != '\0'; ++p) {
      if (*p == ',') {
        ok = Append(raw, &at, "=2C", 3);
      } else if (*p == '=') {
        ok = Append(raw, &at, "=3D", 3);
      } else {
        ok = Append(raw, &at, p, 1);
      }
    }
    ok = ok && Append(raw, &at, ",", 1);
  }
  ok = ok &&
       Append(raw, &at,
              "\x01"
              "auth=Bearer ",
              13) &&
       Append(raw, &at, token, std::strlen(token)) && Append(raw, &at, "\x01\x01", 2);
  size_t length = ok ? Base64Encode(reinterpret_cast<const uint8_t*>(raw), at, out, size) : 0;
  std::memset(raw, 0, at);  // the token is not left behind
  return length;
}

const char* SaslErrorAnswer(SaslMechanism mechanism) {
  return mechanism == SaslMechanism::kOauthBearer ? "AQ==" : "";
}

bool DecodeSaslError(const char* challenge, char* out, size_t size, bool* invalidToken) {
  *invalidToken = false;
  if (size == 0) return false;
  out[0] = '\0';
  uint8_t decoded[1024];
  size_t n = 0;
  if (!Base64Decode(challenge, std::strlen(challenge), decoded, sizeof decoded - 1, &n)) {
    return false;
  }
  size_t o = 0;
  for (size_t i = 0; i < n && o + 1 < size; ++i) {
    const uint8_t c = decoded[i];
    out[o++] = (c < 0x20 || c >= 0x7F) ? '?' : static_cast<char>(c);
  }
  out[o] = '\0';
  decoded[n] = '\0';
  const char* text = reinterpret_cast<const char*>(decoded);
  *invalidToken =
      std::strstr(text, "invalid_token") != nullptr || std::strstr(text, "\"401\"") != nullptr;
  return true;
}

}  // namespace kc
