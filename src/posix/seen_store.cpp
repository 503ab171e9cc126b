// The list of seen messages in a file of its own: $XDG_STATE_HOME/kestova/seen.dat, else
// ~/.local/state/kestova/seen.dat; the other accounts' lists beside it (seen-<key>.dat). A new list
// goes to a temporary file beside it, which is flushed and renamed over the old one (then the
// directory is flushed), so the file on disk is always a whole list, old or new.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "posix/account_file.h"
#include "posix/backends.h"
#include "posix/files.h"

namespace kc::posix {

namespace {

void Say(char* why, size_t size, const char* text) { std::snprintf(why, size, "%s", text); }
void SayErrno(char* why, size_t size, int error) { Say(why, size, std::strerror(error)); }

class FileSeenStore final : public SeenStorePort {
 public:
  explicit FileSeenStore(std::string path) : first_(std::move(path)), path_(first_) {}
  ~FileSeenStore() override { CloseRead(); }

  const char* Where() override { return path_.c_str(); }

  // A read or a write under way belongs to the account it began with: both are dropped.
  void UseAccount(uint64_t key) override {
    CloseRead();
    writer_.Abandon();
    path_ = AccountFilePath(first_, "seen", key);
  }

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
    if (path_.empty()) {
      writer_.Abandon();
      Say(why, whySize, "HOME is not set");
      return false;
    }
    return Done(writer_.Begin(path_), why, whySize);
  }

  bool Write(const uint8_t* bytes, uint32_t n, char* why, size_t whySize) override {
    return Done(writer_.Write(reinterpret_cast<const char*>(bytes), n), why, whySize);
  }

  bool Commit(char* why, size_t whySize) override { return Done(writer_.Commit(), why, whySize); }

  void Abandon() override { writer_.Abandon(); }

 private:
  static bool Done(int error, char* why, size_t whySize) {
    if (error != 0) SayErrno(why, whySize, error);
    return error == 0;
  }

  std::string first_;  // the first account's file
  std::string path_;   // the file of the account in use
  int readFd_ = -1;
  AtomicFileWriter writer_;
};

}  // namespace

std::string SeenStorePath() {
  const char* state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/kestova/seen.dat";
  std::string home = HomeDirectory();
  if (home.empty()) return std::string();
  return home + "/.local/state/kestova/seen.dat";
}

std::unique_ptr<SeenStorePort> MakeSeenStore() {
  return std::make_unique<FileSeenStore>(SeenStorePath());
}

}  // namespace kc::posix
