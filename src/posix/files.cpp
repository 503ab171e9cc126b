#include "posix/files.h"

#include <unistd.h>

#include <cerrno>

namespace kc::posix {

int ReadToEnd(int fd, size_t limit, std::string* out) {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    out->append(buffer, static_cast<size_t>(n));
    if (out->size() > limit) return EFBIG;
  }
}

bool WriteAll(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace kc::posix
