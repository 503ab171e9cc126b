// Starting another program (the mail program, the browser) apart from the notifier.
#pragma once
#include <sys/types.h>

namespace kc::posix {

enum class SpawnLookup {
  kPathAsGiven,  // program is a path
  kSearchPath    // a name without a slash is looked for in PATH
};

enum class SpawnOutput {
  kInherit,  // the child writes where the notifier writes
  kDiscard   // its standard output goes to /dev/null
};

// Starts program with argv (null-terminated, argv[0] first). The child reads /dev/null, holds
// none of the notifier's other descriptors, and starts with every signal at its default and
// none blocked, whatever the notifier set for itself. 0 with *pid set, else the error number.
int SpawnDetached(const char* program, char* const argv[], SpawnLookup lookup, SpawnOutput output,
                  pid_t* pid);

}  // namespace kc::posix
