#include "posix/files.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

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

std::string HomeDirectory() {
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  struct passwd* pw = getpwuid(getuid());
  if (pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return std::string();
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool MakeDirectories(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) errno = ENOTDIR;
    return S_ISDIR(st.st_mode);
  }
  if (errno != ENOENT) return false;
  std::string parent = DirectoryOf(dir);
  if (parent != dir && !MakeDirectories(parent)) return false;
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

int AtomicFileWriter::Begin(const std::string& path) {
  Abandon();
  if (!MakeDirectories(DirectoryOf(path))) return errno;
  std::string temp = path + ".tmp-XXXXXX";
  int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) return errno;
  path_ = path;
  temp_ = std::move(temp);
  fd_ = fd;
  if (fchmod(fd_, 0600) != 0) {
    int error = errno;
    Abandon();
    return error;
  }
  return 0;
}

int AtomicFileWriter::Write(const char* bytes, size_t length) {
  if (fd_ < 0) return EBADF;
  if (!WriteAll(fd_, bytes, length)) {
    int error = errno != 0 ? errno : EIO;
    Abandon();
    return error;
  }
  return 0;
}

int AtomicFileWriter::Commit() {
  if (fd_ < 0) return EBADF;
  int error = fsync(fd_) != 0 ? errno : 0;
  if (close(fd_) != 0 && error == 0) error = errno;
  fd_ = -1;
  if (error == 0 && rename(temp_.c_str(), path_.c_str()) != 0) error = errno;
  if (error != 0) {
    Abandon();
    return error;
  }
  temp_.clear();
  // The rename is only lasting once the directory that holds the name is on disk too.
  int dirFd = open(DirectoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return 0;
}

void AtomicFileWriter::Abandon() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
}

}  // namespace kc::posix
