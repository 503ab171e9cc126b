#include "oauth/provider_reply.h"

#include <cstring>
#include <nlohmann/json.hpp>

namespace kc {

namespace {

using Json = nlohmann::json;

Json Parse(const char* body) { return Json::parse(body, nullptr, /*allow_exceptions=*/false); }

// Copies a string member into its field; false when it is absent, not a string, empty while
// required, or too long for the field.
bool TakeText(const Json& j, const char* name, char* field, size_t size, bool required) {
  auto it = j.find(name);
  if (it == j.end() || !it->is_string()) return !required;
  const std::string& s = it->get_ref<const std::string&>();
  if (s.size() >= size || (required && s.empty())) return false;
  if (s.find('\0') != std::string::npos) return false;
  std::memcpy(field, s.c_str(), s.size() + 1);
  return true;
}

// A number member; some providers send numbers as strings ("expires_in": "3599").
int64_t TakeNumber(const Json& j, const char* name, int64_t fallback) {
  auto it = j.find(name);
  if (it == j.end()) return fallback;
  if (it->is_number_integer()) return it->get<int64_t>();
  if (it->is_number_float()) return static_cast<int64_t>(it->get<double>());
  if (it->is_string()) {
    const std::string& s = it->get_ref<const std::string&>();
    int64_t v = 0;
    if (s.empty() || s.size() > 12) return fallback;
    for (char c : s) {
      if (c < '0' || c > '9') return fallback;
      v = v * 10 + (c - '0');
    }
    return v;
  }
  return fallback;
}

bool TakeError(const Json& j, ProviderError* error) {
  auto it = j.find("error");
  if (it == j.end() || !it->is_string()) return false;
  CopyPrintable(error->error, sizeof error->error, it->get_ref<const std::string&>().c_str());
  auto d = j.find("error_description");
  if (d != j.end() && d->is_string()) {
    CopyPrintable(error->description, sizeof error->description,
                  d->get_ref<const std::string&>().c_str());
  }
  return true;
}

int64_t Clamp(int64_t v, int64_t low, int64_t high) { return v < low ? low : v > high ? high : v; }

}  // namespace

void CopyPrintable(char* out, size_t size, const char* text) {
  if (size == 0) return;
  size_t o = 0;
  for (const char* p = text; *p != '\0' && o + 1 < size; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\r' || c == '\n' || c == '\t') {
      out[o++] = ' ';
    } else {
      out[o++] = (c < 0x20 || c >= 0x7F) ? '?' : static_cast<char>(c);
    }
  }
  out[o] = '\0';
}

ReplyKind ParseTokenReply(const char* body, TokenReply* out, ProviderError* error) {
  *out = TokenReply{};
  *error = ProviderError{};
  const Json j = Parse(body);
  if (!j.is_object()) return ReplyKind::kMalformed;
  if (TakeError(j, error)) return ReplyKind::kError;
  if (!TakeText(j, "access_token", out->accessToken, sizeof out->accessToken, true) ||
      !TakeText(j, "refresh_token", out->refreshToken, sizeof out->refreshToken, false)) {
    *out = TokenReply{};
    return ReplyKind::kMalformed;
  }
  auto type = j.find("token_type");
  if (type != j.end() && type->is_string()) {
    std::string t = type->get<std::string>();
    for (char& c : t) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (t != "bearer") {
      *out = TokenReply{};
      return ReplyKind::kMalformed;
    }
  }
  out->expiresIn = Clamp(TakeNumber(j, "expires_in", 0), 0, 366LL * 86400);
  return ReplyKind::kOk;
}

ReplyKind ParseDeviceReply(const char* body, DeviceReply* out, ProviderError* error) {
  *out = DeviceReply{};
  *error = ProviderError{};
  const Json j = Parse(body);
  if (!j.is_object()) return ReplyKind::kMalformed;
  if (TakeError(j, error)) return ReplyKind::kError;
  // Microsoft's older endpoint says "verification_url".
  const bool uri =
      TakeText(j, "verification_uri", out->verificationUri, sizeof out->verificationUri, true) ||
      TakeText(j, "verification_url", out->verificationUri, sizeof out->verificationUri, true);
  if (!uri || !TakeText(j, "device_code", out->deviceCode, sizeof out->deviceCode, true) ||
      !TakeText(j, "user_code", out->userCode, sizeof out->userCode, true) ||
      !TakeText(j, "verification_uri_complete", out->verificationUriComplete,
                sizeof out->verificationUriComplete, false)) {
    *out = DeviceReply{};
    return ReplyKind::kMalformed;
  }
  out->interval = static_cast<int32_t>(Clamp(TakeNumber(j, "interval", 5), 1, 300));
  out->expiresIn = static_cast<int32_t>(Clamp(TakeNumber(j, "expires_in", 900), 1, 86400));
  return ReplyKind::kOk;
}

ReplyKind ParseDiscovery(const char* body, ProviderEndpoints* out) {
  *out = ProviderEndpoints{};
  const Json j = Parse(body);
  if (!j.is_object()) return ReplyKind::kMalformed;
  if (!TakeText(j, "token_endpoint", out->token, sizeof out->token, true) ||
      !TakeText(j, "authorization_endpoint", out->authorization, sizeof out->authorization,
                false) ||
      !TakeText(j, "device_authorization_endpoint", out->device, sizeof out->device, false)) {
    *out = ProviderEndpoints{};
    return ReplyKind::kMalformed;
  }
  return ReplyKind::kOk;
}

}  // namespace kc
