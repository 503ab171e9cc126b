#include "pop3/capa_reply.h"

#include <cstring>

namespace kc {

namespace {

bool SameLetters(const char* text, const char* upper, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

}  // namespace

bool AdvertisesPipelining(const char* reply, size_t length) {
  static constexpr char kName[] = "PIPELINING";
  constexpr size_t kNameLength = sizeof kName - 1;
  // The first line is the status line; every later line is one capability and its arguments.
  const void* firstBreak = std::memchr(reply, '\n', length);
  if (firstBreak == nullptr) return false;
  size_t at = static_cast<size_t>(static_cast<const char*>(firstBreak) - reply) + 1;
  while (at < length) {
    const void* lineBreak = std::memchr(reply + at, '\n', length - at);
    size_t end = lineBreak != nullptr
                     ? static_cast<size_t>(static_cast<const char*>(lineBreak) - reply)
                     : length;
    size_t lineLength = end - at;
    if (lineLength > 0 && reply[at + lineLength - 1] == '\r') --lineLength;
    if (lineLength >= kNameLength && SameLetters(reply + at, kName, kNameLength) &&
        (lineLength == kNameLength || reply[at + kNameLength] == ' ' ||
         reply[at + kNameLength] == '\t')) {
      return true;
    }
    at = end + 1;
  }
  return false;
}

}  // namespace kc
