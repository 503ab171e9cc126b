// Where the sign-in's refresh token is kept between runs, protected for the user alone
// (Windows: DPAPI for the current user, %LOCALAPPDATA%\KESTOVA\token.dat; Linux: a 0600 file,
// $XDG_STATE_HOME/kestova/token.dat, replaced atomically). The record's bytes are the core's;
// the store protects and keeps them whole.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

constexpr uint32_t kTokenRecordSize = 16384;

enum class TokenLoad { kLoaded, kMissing, kFailed };

class TokenStorePort {
 public:
  virtual ~TokenStorePort() = default;
  // Where the record is kept, for the user's lines; "" when there is no such place.
  virtual const char* Where() = 0;
  // Whose record the calls that follow load, save and erase: 0 the first account's
  // (token.dat), any other key that account's own file beside it, "token-<key as 16 lowercase
  // hex digits>.dat".
  virtual void UseAccount(uint64_t /*key*/) {}
  // kLoaded: *length bytes of the record in bytes. kFailed: why holds the reason.
  virtual TokenLoad Load(uint8_t* bytes, uint32_t size, uint32_t* length, char* why,
                         size_t whySize) = 0;
  // Replaces the stored record; false (why) leaves the old one as it was.
  virtual bool Save(const uint8_t* bytes, uint32_t length, char* why, size_t whySize) = 0;
  // Removes the record; true when none is left.
  virtual bool Erase(char* why, size_t whySize) = 0;
};

}  // namespace kc
