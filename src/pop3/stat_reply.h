// The two numbers of the reply to STAT.
#pragma once
#include <cstdint>

namespace kc {

// Reads a reply of the form "<status word> <count> <size>" the way the scan "%s %ld %ld" reads
// it (leading blanks skipped, a sign allowed). Returns false, with both numbers 0, unless both
// numbers are there, the count lies in 0..2147483647 and the size is not negative. A size too
// large for 64 bits is held at the largest value.
bool ParseStatReply(const char* reply, int32_t* count, int64_t* size);

// The decimal text of a non-negative value, into out[21].
void FormatDecimal(int64_t value, char out[21]);

}  // namespace kc
