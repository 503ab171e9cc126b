// One account's view of the token store: the shared store is pointed at the account's record
// before every use, so that each sign-in reads and writes its own whatever ran before it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "pop3/seen_keeping.h"
#include "port/token_store.h"
#include "settings/settings.h"

namespace kc {

class AccountTokenStore final : public TokenStorePort {
 public:
  // first: account 1, whose record is the one a program with one account keeps; another
  // account's record is named by its key as its settings stand at each use.
  AccountTokenStore(TokenStorePort& store, const AccountSettings& account, bool first)
      : store_(store), account_(account), first_(first) {}

  const char* Where() override {
    Select();
    return store_.Where();
  }
  TokenLoad Load(uint8_t* bytes, uint32_t size, uint32_t* length, char* why,
                 size_t whySize) override {
    Select();
    return store_.Load(bytes, size, length, why, whySize);
  }
  bool Save(const uint8_t* bytes, uint32_t length, char* why, size_t whySize) override {
    Select();
    return store_.Save(bytes, length, why, whySize);
  }
  bool Erase(char* why, size_t whySize) override {
    Select();
    return store_.Erase(why, whySize);
  }

 private:
  void Select() { store_.UseAccount(first_ ? 0 : SeenAccountKey(account_)); }

  TokenStorePort& store_;
  const AccountSettings& account_;
  bool first_;
};

}  // namespace kc
