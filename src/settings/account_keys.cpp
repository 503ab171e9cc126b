#include "settings/account_keys.h"

#include <cstdio>
#include <cstring>

#include "text/bounded.h"

namespace kc {

namespace {

// Far more subkeys than any settings key has; a listing that does not end by then is cut.
constexpr uint32_t kMaxListed = 1u << 16;

// Decimal names without leading zeros: the longer one is the higher number.
bool NumberedBefore(const char* a, const char* b) {
  const size_t la = std::strlen(a), lb = std::strlen(b);
  return la != lb ? la < lb : std::strcmp(a, b) < 0;
}

// Keeps the lowest-numbered names, in order, when there are more than the list holds.
void NoteIgnored(AccountKeys* keys, const char* name) {
  int at = keys->ignoredCount;
  while (at > 0 && NumberedBefore(name, keys->ignored[at - 1])) --at;
  if (at >= kMaxIgnoredAccounts) return;
  const int last =
      keys->ignoredCount < kMaxIgnoredAccounts ? keys->ignoredCount : kMaxIgnoredAccounts - 1;
  for (int i = last; i > at; --i)
    std::memcpy(keys->ignored[i], keys->ignored[i - 1], kSubKeyNameSize);
  std::snprintf(keys->ignored[at], kSubKeyNameSize, "%s", name);
  if (keys->ignoredCount < kMaxIgnoredAccounts) ++keys->ignoredCount;
}

}  // namespace

int AccountKeyNumber(const char* name) {
  const size_t length = std::strlen(name);
  if (length == 0 || name[0] == '0') return 0;
  for (size_t i = 0; i < length; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
  }
  if (length > 1) return kMaxAccounts + 1;
  const int number = name[0] - '0';
  if (number == 1) return 0;  // account 1 is the key itself
  return number > kMaxAccounts ? kMaxAccounts + 1 : number;
}

void FindAccountKeys(RegistryPort& registry, AccountKeys* keys) {
  *keys = AccountKeys{};
  char name[kSubKeyNameSize];
  for (uint32_t index = 0; index < kMaxListed; ++index) {
    name[0] = '\0';
    const SubKeyFound found = registry.EnumSubKey(index, name, sizeof name);
    if (found == SubKeyFound::kEnd) break;
    if (found != SubKeyFound::kName) continue;
    name[sizeof name - 1] = '\0';
    const int number = AccountKeyNumber(name);
    if (number > kMaxAccounts) {
      NoteIgnored(keys, name);
    } else if (number >= 2) {
      keys->present[number] = true;
    }
  }
}

void AccountKeyName(int number, char out[2]) {
  out[0] = static_cast<char>('0' + number);
  out[1] = '\0';
}

void TraceIgnoredAccounts(const Settings& settings, TracePort& trace) {
  char line[kSubKeyNameSize + 64];
  for (int32_t i = 0; i < settings.ignoredCount && i < kMaxIgnoredAccounts; ++i) {
    FormatBounded(line, sizeof line, "Account %s ignored: at most 8 accounts\r\n",
                  settings.ignoredAccounts[i]);
    trace.Trace(line);
  }
}

}  // namespace kc
