#include "oauth/token_record.h"

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "text/bounded.h"

namespace kc {

namespace {

using Json = nlohmann::json;

bool Take(const Json& j, const char* name, char* field, size_t size) {
  auto it = j.find(name);
  if (it == j.end() || !it->is_string()) return false;
  const std::string& s = it->get_ref<const std::string&>();
  if (s.size() >= size || s.find('\0') != std::string::npos) return false;
  std::memcpy(field, s.c_str(), s.size() + 1);
  return true;
}

}  // namespace

void RecordOwner(const AccountSettings& s, TokenRecord* r) {
  *r = TokenRecord{};
  // Microsoft's tenant is part of whose sign-in it is: a token of one tenant is not another's.
  const char* name = "microsoft";
  bool microsoft = true;
  for (size_t i = 0; microsoft && i <= 9; ++i) microsoft = LowerAscii(s.oauth[i]) == name[i];
  if (microsoft) {
    FormatBounded(r->provider, sizeof r->provider, "%s/%s", s.oauth,
                  s.tenant[0] != '\0' ? s.tenant : "common");
  } else {
    CopyBounded(r->provider, sizeof r->provider, s.oauth);
  }
  CopyBounded(r->clientId, sizeof r->clientId, s.clientId);
  CopyBounded(r->account, sizeof r->account, s.user);
}

bool SameOwner(const TokenRecord& a, const TokenRecord& b) {
  return std::strcmp(a.provider, b.provider) == 0 && std::strcmp(a.clientId, b.clientId) == 0 &&
         std::strcmp(a.account, b.account) == 0;
}

size_t WriteTokenRecord(const TokenRecord& r, uint8_t* out, size_t size) {
  Json j = {{"version", 1},
            {"provider", r.provider},
            {"client_id", r.clientId},
            {"account", r.account},
            {"refresh_token", r.refreshToken}};
  // Names in code page 932 are not UTF-8: bytes that are not are replaced, never thrown on.
  std::string text = j.dump(-1, ' ', false, Json::error_handler_t::replace);
  size_t n = text.size();
  if (n >= size) n = 0;
  if (n > 0) std::memcpy(out, text.data(), n);
  std::fill(text.begin(), text.end(), '\0');
  return n;
}

bool ReadTokenRecord(const uint8_t* bytes, size_t n, TokenRecord* r) {
  *r = TokenRecord{};
  Json j = Json::parse(bytes, bytes + n, nullptr, false);
  const bool versionOne = j.is_object() && j.contains("version") &&
                          j["version"].is_number_integer() && j["version"].get<int>() == 1;
  bool ok = versionOne && Take(j, "provider", r->provider, sizeof r->provider) &&
            Take(j, "client_id", r->clientId, sizeof r->clientId) &&
            Take(j, "account", r->account, sizeof r->account) &&
            Take(j, "refresh_token", r->refreshToken, sizeof r->refreshToken) &&
            r->refreshToken[0] != '\0';
  if (!ok) *r = TokenRecord{};
  return ok;
}

}  // namespace kc
