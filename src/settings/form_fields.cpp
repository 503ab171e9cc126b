#include "settings/form_fields.h"

#include "text/bounded.h"

namespace kc {

const char kIncompleteText[] = "全ての項目が設定されていません";
const char kBadPortText[] =
    "ポートには 1 から 65535 までの数字を入力してください (空欄: 標準のポート)";
const char kBadPinText[] =
    "証明書ピンには SHA-256 フィンガープリント (16進数 64 桁、: と空白は自由) を入力してください";
const char kOAuthNeedsTlsText[] =
    "OAuth 2.0 でログインするには暗号化 (SSL/TLS または STARTTLS) を選んでください";
const char kNoProviderText[] =
    "OAuth 2.0 のプロバイダー (microsoft, google または発行者の URL) を入力してください";

bool ReadUnsignedNumber(const char* text, uint32_t* value) {
  *value = 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p < '0' || *p > '9') return false;
  uint64_t number = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    number = number * 10 + static_cast<uint64_t>(*p - '0');
    if (number > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<uint32_t>(number);
  return true;
}

bool ReadPortText(const char* text, int32_t* port) {
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  *port = 0;
  if (*p == '\0') return true;
  uint32_t value = 0;
  if (!ReadUnsignedNumber(p, &value) || value == 0 || value > 65535) return false;
  while (*p >= '0' && *p <= '9') ++p;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p != '\0') return false;
  *port = static_cast<int32_t>(value);
  return true;
}

// A pin that could never match would refuse every certificate, so the form says so at once.
bool PinTextOk(const char* text) {
  size_t digits = 0, others = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = LowerAscii(*p);
    if (c == ':' || c == ' ' || c == '\t') continue;
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) {
      ++digits;
    } else {
      ++others;
    }
  }
  return others == 0 && (digits == 0 || digits == 64);
}

}  // namespace kc
