// The seen list to and from its store, with a line for the user about anything that went
// wrong. A list that cannot be read is no list (the next check takes a new baseline); a list
// that cannot be written stays in memory.
#pragma once
#include <cstddef>
#include <cstdint>

#include "pop3/seen_ids.h"
#include "port/seen_store.h"
#include "settings/settings.h"

namespace kc {

enum class SeenLoad {
  kLoaded,        // the stored list of this account
  kMissing,       // none stored yet
  kDamaged,       // unreadable as a list
  kUnreadable,    // the store could not be read
  kOtherAccount,  // a list of another server or user ID
  kNoMemory
};

// The account key of the settings: server, user ID, the port the check connects to (PORT, else
// the service's usual port for the TLS mode) and the TLS mode.
uint64_t SeenAccountKey(const AccountSettings& settings);
// The key lists of the first stored form were made with: server and user ID alone.
uint64_t FirstFormAccountKey(const AccountSettings& settings);

// Loads the list of account into seen; on anything but kLoaded, seen holds no list. A list of
// the first stored form is taken when its key is firstFormAccount (a list kept by an earlier
// version for the same server and user ID); it is written in the new form at the next save.
// line gets one English line (no line end) for every outcome but kMissing, where it is empty.
SeenLoad LoadSeenIds(SeenIds& seen, SeenStorePort& store, uint64_t account,
                     uint64_t firstFormAccount, char* line, size_t size);

// Writes seen to the store. False with one English line when it could not be written.
bool SaveSeenIds(const SeenIds& seen, SeenStorePort& store, char* line, size_t size);

}  // namespace kc
