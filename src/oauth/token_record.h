// The stored sign-in: whose it is (provider, client ID, account) and its refresh token. A
// record of another provider, client or account counts as none.
#pragma once
#include <cstddef>
#include <cstdint>

#include "oauth/provider_reply.h"
#include "settings/settings.h"

namespace kc {

struct TokenRecord {
  char provider[kOAuthProviderSize + kTenantSize] = {};  // OAUTH, and "/" TENANT for Microsoft
  char clientId[kClientIdSize] = {};
  char account[kUserSize] = {};
  char refreshToken[kRefreshTokenSize] = {};
};

// The record's owner as the settings name it.
void RecordOwner(const AccountSettings& settings, TokenRecord* record);
bool SameOwner(const TokenRecord& a, const TokenRecord& b);

// The stored form (JSON). Returns the length, 0 when it does not fit.
size_t WriteTokenRecord(const TokenRecord& record, uint8_t* out, size_t size);
// False for bytes that are not a whole record.
bool ReadTokenRecord(const uint8_t* bytes, size_t n, TokenRecord* record);

}  // namespace kc
