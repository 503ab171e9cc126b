// What the provider's JSON replies hold: tokens, the device grant's codes, its errors and the
// discovery document's endpoints. Every text is copied into a fixed field; one that does not fit
// makes the reply malformed rather than cut (a cut token would only be refused later).
#pragma once
#include <cstddef>
#include <cstdint>

#include "port/http.h"

namespace kc {

// Access tokens of about 2,000 characters are usual, some exceed 6,000.
constexpr size_t kAccessTokenSize = 12288;
constexpr size_t kRefreshTokenSize = 8192;
constexpr size_t kDeviceCodeSize = 2048;
constexpr size_t kUserCodeSize = 64;
constexpr size_t kProviderErrorSize = 96;
constexpr size_t kErrorDescriptionSize = 512;

struct TokenReply {
  char accessToken[kAccessTokenSize] = {};
  char refreshToken[kRefreshTokenSize] = {};  // "" when the provider sent none (no rotation)
  int64_t expiresIn = 0;                      // seconds; 0 when not given
};

struct DeviceReply {
  char deviceCode[kDeviceCodeSize] = {};
  char userCode[kUserCodeSize] = {};
  char verificationUri[kHttpUrlSize] = {};
  char verificationUriComplete[kHttpUrlSize] = {};  // "" when not given
  int32_t interval = 5;                             // RFC 8628's default
  int32_t expiresIn = 0;
};

struct ProviderError {
  char error[kProviderErrorSize] = {};  // "invalid_grant", "authorization_pending", ...
  char description[kErrorDescriptionSize] = {};
};

struct ProviderEndpoints {
  char authorization[kHttpUrlSize] = {};
  char token[kHttpUrlSize] = {};
  char device[kHttpUrlSize] = {};  // "" when the provider has no device grant
};

enum class ReplyKind { kOk, kError, kMalformed };

// A token endpoint's reply: kOk with the tokens, kError with the provider's error (an OAuth
// error object), kMalformed for anything else (not JSON, no access token, a field too long).
ReplyKind ParseTokenReply(const char* body, TokenReply* out, ProviderError* error);
ReplyKind ParseDeviceReply(const char* body, DeviceReply* out, ProviderError* error);
// A discovery document: kOk when it names at least the token endpoint.
ReplyKind ParseDiscovery(const char* body, ProviderEndpoints* out);

// The error made safe for a line of the trace or a box: printable ASCII only, cut to size.
void CopyPrintable(char* out, size_t size, const char* text);

}  // namespace kc
