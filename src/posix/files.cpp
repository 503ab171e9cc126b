#include "posix/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

bool MakePrivateDirectory(const std::string& dir, std::string* why) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = dir + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    *why = dir + ": " + std::strerror(errno);
    return false;
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
    *why = dir + " is not a folder but " +
           (S_ISLNK(st.st_mode) ? "a symbolic link" : "another kind of file");
  } else if (st.st_uid != geteuid()) {
    *why = dir + " belongs to user " + std::to_string(st.st_uid) + ", not to this user (" +
           std::to_string(geteuid()) + ")";
  } else if ((st.st_mode & 077) != 0) {
    *why = dir + " has mode " + mode + ": others may reach it (0700 is private)";
  } else {
    return true;
  }
  return false;
}

namespace {

// Earlier versions wrote through a temporary file of a random name (the target's name,
// ".tmp-" and six characters), which a crash left behind for good: this user's regular files
// of that form beside the target are removed.
void RemoveRandomTemporaries(const std::string& path) {
  const std::string dir = DirectoryOf(path);
  const size_t slash = path.find_last_of('/');
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp-";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    struct stat st;
    if (fstatat(dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == geteuid()) {
      unlinkat(dirfd(d), name.c_str(), 0);
    }
  }
  closedir(d);
}

}  // namespace

int AtomicFileWriter::Begin(const std::string& path) {
  Abandon();
  if (!MakeDirectories(DirectoryOf(path))) return errno;
  // One fixed name beside the target: a save that a crash cut short leaves at most this one
  // file, which the next save takes over, rather than a new temporary file each time.
  std::string temp = path + kTempSuffix;
  for (int attempt = 0;; ++attempt) {
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
      // A symbolic link (or a name another user owns) in its place is removed, never followed.
      if ((errno == ELOOP || errno == EACCES) && attempt == 0 && unlink(temp.c_str()) == 0) {
        continue;
      }
      return errno;
    }
    // Two saves of the same file at once (a second program run unguarded) must not write into
    // one temporary file: the one that holds the lock writes, the other one fails.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int error = errno == EWOULDBLOCK ? EBUSY : errno;
      close(fd);
      return error;
    }
    struct stat held;
    struct stat named;
    if (fstat(fd, &held) != 0) {
      int error = errno;
      close(fd);
      return error;
    }
    if (lstat(temp.c_str(), &named) != 0 || named.st_dev != held.st_dev ||
        named.st_ino != held.st_ino) {
      // The file was renamed into place by the save that held it before: begin afresh.
      close(fd);
      if (attempt < 3) continue;
      return EBUSY;
    }
    if (!S_ISREG(held.st_mode) || held.st_uid != geteuid()) {
      close(fd);
      if (attempt == 0 && unlink(temp.c_str()) == 0) continue;
      return EEXIST;
    }
    RemoveRandomTemporaries(path);
    path_ = path;
    temp_ = std::move(temp);
    fd_ = fd;
    if (ftruncate(fd_, 0) != 0 || fchmod(fd_, 0600) != 0) {
      int error = errno;
      Abandon();
      return error;
    }
    return 0;
  }
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
  // The lock is held until the name has moved, so no other save writes into this file.
  int error = fsync(fd_) != 0 ? errno : 0;
  if (error == 0 && rename(temp_.c_str(), path_.c_str()) != 0) error = errno;
  if (error != 0) {
    Abandon();
    return error;
  }
  temp_.clear();
  close(fd_);  // flushed already: the new content is in place whatever close says
  fd_ = -1;
  // The rename is only lasting once the directory that holds the name is on disk too.
  int dirFd = open(DirectoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return 0;
}

void AtomicFileWriter::Abandon() {
  // The temporary file is removed while its lock is held: it is still this save's own.
  if (!temp_.empty() && fd_ >= 0) unlink(temp_.c_str());
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  temp_.clear();
}

}  // namespace kc::posix
