#include "app/dialog_sign_in.h"

#include <cstring>
#include <memory>

#include "oauth/token_record.h"

namespace kc {

bool DialogSignIn::TokenStored(const Settings& settings) {
  // The record is read whole and forgotten at once: the refresh token in it stays nowhere.
  auto bytes = std::make_unique<uint8_t[]>(kTokenRecordSize);
  auto stored = std::make_unique<TokenRecord>();
  auto wanted = std::make_unique<TokenRecord>();
  uint32_t length = 0;
  char why[128] = "";
  bool same = false;
  if (tokens_.Load(bytes.get(), kTokenRecordSize, &length, why, sizeof why) == TokenLoad::kLoaded &&
      ReadTokenRecord(bytes.get(), length, stored.get())) {
    RecordOwner(settings, wanted.get());
    same = stored->refreshToken[0] != '\0' && SameOwner(*stored, *wanted);
  }
  std::memset(bytes.get(), 0, kTokenRecordSize);
  std::memset(stored->refreshToken, 0, sizeof stored->refreshToken);
  return same;
}

}  // namespace kc
