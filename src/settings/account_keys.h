// Which subkeys of the settings key hold accounts: "2" to "8", written in decimal without
// leading zeros. Higher numbers are more than the program keeps and are passed over with a
// trace; any other name belongs to someone else and is left alone.
#pragma once
#include <cstdint>

#include "settings/settings.h"

namespace kc {

// What the subkeys of the open key are, as far as the accounts go.
struct AccountKeys {
  bool present[kMaxAccounts + 1] = {};  // present[n]: subkey "n" (n = 2..8) exists
  // Subkeys numbered 9 or more, the lowest numbers first, as many as Settings keeps.
  char ignored[kMaxIgnoredAccounts][kSubKeyNameSize] = {};
  int32_t ignoredCount = 0;
};

// The account number a subkey's name gives: 2..8, kMaxAccounts + 1 for any higher number, 0
// for a name that is no account's.
int AccountKeyNumber(const char* name);

// Lists the subkeys of the key the registry has open.
void FindAccountKeys(RegistryPort& registry, AccountKeys* keys);

// The subkey name of account `number` (2..8).
void AccountKeyName(int number, char out[2]);

}  // namespace kc
