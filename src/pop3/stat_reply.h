// The two numbers of the reply to STAT.
#pragma once
#include <cstdint>

namespace kc {

// Reads a reply of the form "<status word> <count> <size>" the way the scan "%s %ld %ld" reads
// it (leading blanks skipped, a sign allowed). The count is taken when it is a whole number
// (ending at a blank or the end of the reply) in 0..2147483647, whatever follows it; otherwise
// false is returned with both numbers 0. The size is 0 when it is missing or not a number, and
// is taken as it stands otherwise, negative or not; beyond 64 bits it is held at the bound.
bool ParseStatReply(const char* reply, int32_t* count, int64_t* size);

// The decimal text of a value, with a '-' when it is negative, into out[21].
void FormatDecimal(int64_t value, char out[21]);

}  // namespace kc
