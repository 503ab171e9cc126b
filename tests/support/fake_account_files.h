// One stored record per account in memory, as the seen-list and token stores keep them: the
// record of the account in use is the store's own `stored` and `exists`; the others wait in
// `accounts` (key 0 the first account's) until UseAccount turns to them.
#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kc::test {

struct FakeAccountFiles {
  struct Account {
    std::vector<uint8_t> stored;
    bool exists = false;
  };
  std::map<uint64_t, Account> accounts;
  uint64_t account = 0;
  std::vector<uint64_t> used;  // UseAccount calls, in order

  // Puts the record in use away and takes key's; where becomes its file:
  // /state/kestova/<stem>.dat for key 0, <stem>-<16 hex digits>.dat for the others.
  void SwitchTo(uint64_t key, const char* stem, std::vector<uint8_t>& stored, bool& exists,
                std::string& where) {
    used.push_back(key);
    accounts[account] = Account{stored, exists};
    Account& next = accounts[key];
    stored = next.stored;
    exists = next.exists;
    account = key;
    char name[64];
    if (key == 0) {
      std::snprintf(name, sizeof name, "%s.dat", stem);
    } else {
      std::snprintf(name, sizeof name, "%s-%016llx.dat", stem, static_cast<unsigned long long>(key));
    }
    where = std::string("/state/kestova/") + name;
  }
};

}  // namespace kc::test
