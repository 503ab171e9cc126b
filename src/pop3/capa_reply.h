// The capabilities the server lists in its reply to CAPA (RFC 2449).
#pragma once
#include <cstddef>

namespace kc {

// True when the reply (status line, then one capability per line, without the terminating dot
// line) names PIPELINING: the server takes a batch of commands and answers them in order.
// The capability name is matched without regard to case, as RFC 2449 has it.
bool AdvertisesPipelining(const char* reply, size_t length);

}  // namespace kc
