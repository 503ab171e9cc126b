// Reading and writing whole descriptors, going on after interruptions.
#pragma once
#include <cstddef>
#include <string>

namespace kc::posix {

// Appends what is left to read of fd, to its end, to *out. 0 when all was read; the errno of
// a read that failed; EFBIG as soon as *out holds more than limit bytes.
int ReadToEnd(int fd, size_t limit, std::string* out);

// Writes all length bytes; false when the descriptor takes no more (errno says why).
bool WriteAll(int fd, const char* bytes, size_t length);
inline bool WriteAll(int fd, const std::string& bytes) {
  return WriteAll(fd, bytes.data(), bytes.size());
}

}  // namespace kc::posix
