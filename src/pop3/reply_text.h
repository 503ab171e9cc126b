// A server's reply as the trace and the user are shown it.
#pragma once
#include <cstddef>

namespace kc {

// What stands where the password (or a piece of it) stood.
constexpr char kPasswordMask[] = "***";

// Copies one reply of `length` bytes into out (outSize bytes, at least 1) for the trace and the
// user, cut to outSize - 1 bytes, and returns the length copied:
// - the line breaks at its end are left out;
// - every run of 4 or more bytes that also occurs in the password is masked, so that a server
//   that echoes the password escaped, cut short or mixed with other text shows none of it;
//   a password shorter than 4 bytes is masked where it stands whole. Letters match in either
//   case, and the reply is also read with %XX and backslash escapes decoded and the blanks of
//   spaced-out characters ("P W - E 2 E") left out. Each masked stretch becomes one
//   kPasswordMask. The first 4,096 bytes of a reply are looked at (a reply is never longer);
// - control bytes become '?' (text/inert.h).
size_t KeepReplyText(char* out, size_t outSize, const char* reply, size_t length,
                     const char* password, size_t passwordLength);

}  // namespace kc
