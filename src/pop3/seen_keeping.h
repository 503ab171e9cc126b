// The seen list to and from its store, with a line for the user about anything that went
// wrong. A list that cannot be read is no list (the next check takes a new baseline); a list
// that cannot be written stays in memory.
#pragma once
#include <cstddef>
#include <cstdint>

#include "pop3/seen_ids.h"
#include "port/seen_store.h"

namespace kc {

enum class SeenLoad {
  kLoaded,        // the stored list of this account
  kMissing,       // none stored yet
  kDamaged,       // unreadable as a list
  kUnreadable,    // the store could not be read
  kOtherAccount,  // a list of another server or user ID
  kNoMemory
};

// Loads the list of account into seen; on anything but kLoaded, seen holds no list. line gets
// one English line (no line end) for every outcome but kMissing, where it is empty.
SeenLoad LoadSeenIds(SeenIds& seen, SeenStorePort& store, uint64_t account, char* line,
                     size_t size);

// Writes seen to the store. False with one English line when it could not be written.
bool SaveSeenIds(const SeenIds& seen, SeenStorePort& store, char* line, size_t size);

}  // namespace kc
