// The list of seen messages in a file of its own: $XDG_STATE_HOME/kestova/seen.dat, else
// ~/.local/state/kestova/seen.dat. A new list goes to a temporary file beside it, which is
// flushed and renamed over the old one (then the directory is flushed), so the file on disk
// is always a whole list, old or new.
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "posix/backends.h"
#include "posix/files.h"

namespace kc::posix {

namespace {

void Say(char* why, size_t size, const char* text) { std::snprintf(why, size, "%s", text); }
void SayErrno(char* why, size_t size, int error) { Say(why, size, std::strerror(error)); }

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The directory and any missing parent, mode 0700; errno tells a failure.
bool MakeDirs(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) errno = ENOTDIR;
    return S_ISDIR(st.st_mode);
  }
  if (errno != ENOENT) return false;
  std::string parent = ParentOf(dir);
  if (parent != dir && !MakeDirs(parent)) return false;
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

class FileSeenStore final : public SeenStorePort {
 public:
  explicit FileSeenStore(std::string path) : path_(std::move(path)) {}
  ~FileSeenStore() override {
    CloseRead();
    Abandon();
  }

  const char* Where() override { return path_.c_str(); }

  SeenStoreOpen OpenRead(char* why, size_t whySize) override {
    CloseRead();
    if (path_.empty()) return SeenStoreOpen::kMissing;
    readFd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (readFd_ < 0) {
      int error = errno;
      if (error == ENOENT) return SeenStoreOpen::kMissing;
      SayErrno(why, whySize, error);
      return SeenStoreOpen::kFailed;
    }
    struct stat st;
    if (fstat(readFd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      Say(why, whySize, S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file");
      CloseRead();
      return SeenStoreOpen::kFailed;
    }
    return SeenStoreOpen::kOpened;
  }

  int32_t Read(uint8_t* buffer, uint32_t size, char* why, size_t whySize) override {
    if (readFd_ < 0) return 0;
    for (;;) {
      ssize_t n = read(readFd_, buffer, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        SayErrno(why, whySize, errno);
        return -1;
      }
      return static_cast<int32_t>(n);
    }
  }

  void CloseRead() override {
    if (readFd_ >= 0) close(readFd_);
    readFd_ = -1;
  }

  bool BeginWrite(char* why, size_t whySize) override {
    Abandon();
    if (path_.empty()) {
      Say(why, whySize, "HOME is not set");
      return false;
    }
    if (!MakeDirs(ParentOf(path_))) {
      SayErrno(why, whySize, errno);
      return false;
    }
    temp_ = path_ + ".tmp-XXXXXX";
    writeFd_ = mkostemp(&temp_[0], O_CLOEXEC);
    if (writeFd_ < 0) {
      SayErrno(why, whySize, errno);
      temp_.clear();
      return false;
    }
    if (fchmod(writeFd_, 0600) != 0) {
      SayErrno(why, whySize, errno);
      Abandon();
      return false;
    }
    return true;
  }

  bool Write(const uint8_t* bytes, uint32_t n, char* why, size_t whySize) override {
    if (writeFd_ < 0 || !WriteAll(writeFd_, reinterpret_cast<const char*>(bytes), n)) {
      SayErrno(why, whySize, writeFd_ < 0 ? EBADF : errno);
      return false;
    }
    return true;
  }

  bool Commit(char* why, size_t whySize) override {
    if (writeFd_ < 0) {
      SayErrno(why, whySize, EBADF);
      return false;
    }
    int error = fsync(writeFd_) != 0 ? errno : 0;
    if (close(writeFd_) != 0 && error == 0) error = errno;
    writeFd_ = -1;
    if (error == 0 && rename(temp_.c_str(), path_.c_str()) != 0) error = errno;
    if (error != 0) {
      SayErrno(why, whySize, error);
      unlink(temp_.c_str());
      temp_.clear();
      return false;
    }
    temp_.clear();
    int dirFd = open(ParentOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
      fsync(dirFd);
      close(dirFd);
    }
    return true;
  }

  void Abandon() override {
    if (writeFd_ >= 0) close(writeFd_);
    writeFd_ = -1;
    if (!temp_.empty()) unlink(temp_.c_str());
    temp_.clear();
  }

 private:
  std::string path_;
  std::string temp_;
  int readFd_ = -1;
  int writeFd_ = -1;
};

std::string Home() {
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  struct passwd* pw = getpwuid(getuid());
  if (pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return std::string();
}

}  // namespace

std::string SeenStorePath() {
  const char* state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/kestova/seen.dat";
  std::string home = Home();
  if (home.empty()) return std::string();
  return home + "/.local/state/kestova/seen.dat";
}

std::unique_ptr<SeenStorePort> MakeSeenStore() {
  return std::make_unique<FileSeenStore>(SeenStorePath());
}

}  // namespace kc::posix
