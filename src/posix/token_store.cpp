// The sign-in's refresh-token record in a file only its user can read: $XDG_STATE_HOME/kestova/
// token.dat, else ~/.local/state/kestova/token.dat (other accounts: token-<key>.dat beside it),
// mode 0600 in a 0700 directory, replaced through the atomic writer so that a crash leaves the
// old record or the new one.
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

void Say(char* why, size_t size, const char* text) {
  if (size > 0) std::snprintf(why, size, "%s", text);
}

class FileTokenStore final : public TokenStorePort {
 public:
  explicit FileTokenStore(std::string path) : first_(std::move(path)), path_(first_) {}

  const char* Where() override { return path_.c_str(); }

  void UseAccount(uint64_t key) override { path_ = AccountFilePath(first_, "token", key); }

  TokenLoad Load(uint8_t* bytes, uint32_t size, uint32_t* length, char* why,
                 size_t whySize) override {
    if (path_.empty()) return TokenLoad::kMissing;
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      if (errno == ENOENT) return TokenLoad::kMissing;
      Say(why, whySize, std::strerror(errno));
      return TokenLoad::kFailed;
    }
    struct stat st;
    // A record others could read is no longer the user's secret alone: it is refused.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) != 0 ||
        st.st_uid != geteuid()) {
      close(fd);
      Say(why, whySize, "not a regular file of mode 0600 owned by the user");
      return TokenLoad::kFailed;
    }
    std::string content;
    int error = ReadToEnd(fd, size, &content);
    close(fd);
    if (error != 0) {
      Say(why, whySize, std::strerror(error));
      return TokenLoad::kFailed;
    }
    std::memcpy(bytes, content.data(), content.size());
    *length = static_cast<uint32_t>(content.size());
    return TokenLoad::kLoaded;
  }

  bool Save(const uint8_t* bytes, uint32_t length, char* why, size_t whySize) override {
    if (path_.empty()) {
      Say(why, whySize, "HOME is not set");
      return false;
    }
    AtomicFileWriter writer;
    int error = writer.Begin(path_);
    if (error == 0) error = writer.Write(reinterpret_cast<const char*>(bytes), length);
    if (error == 0) error = writer.Commit();
    if (error != 0) Say(why, whySize, std::strerror(error));
    return error == 0;
  }

  bool Erase(char* why, size_t whySize) override {
    if (path_.empty() || unlink(path_.c_str()) == 0 || errno == ENOENT) return true;
    Say(why, whySize, std::strerror(errno));
    return false;
  }

 private:
  std::string first_;  // the first account's file
  std::string path_;   // the file of the account in use
};

}  // namespace

std::string TokenStorePath() {
  const char* state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/kestova/token.dat";
  std::string home = HomeDirectory();
  if (home.empty()) return std::string();
  return home + "/.local/state/kestova/token.dat";
}

std::unique_ptr<TokenStorePort> MakeTokenStore() {
  return std::make_unique<FileTokenStore>(TokenStorePath());
}

}  // namespace kc::posix
