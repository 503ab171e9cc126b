// The settings key kept in one file in the registry export format, since Linux has no registry.
// The file is $KESTOVA_SETTINGS_FILE when that is set, else $XDG_CONFIG_HOME/kestova/settings.reg,
// else ~/.config/kestova/settings.reg. It holds the password, so it is written with mode 0600,
// and atomically: a reader or a crash sees the old file or the new one, never a mix.
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "posix/backends.h"
#include "settings/regedit_file.h"

namespace kc::posix {

namespace {

// Far above what the settings need; a larger file is not ours and is not read.
constexpr size_t kMaxFileSize = 1 << 20;

std::string HomeDir() {
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

// Creates the directory and any missing parent, each with mode 0700.
bool MakeDirectories(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (errno != ENOENT) return false;
  std::string parent = DirectoryOf(dir);
  if (parent != dir && !MakeDirectories(parent)) return false;
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// The whole content of a regular file of sane size; false when it is missing or unreadable.
bool ReadWholeFile(const std::string& path, std::string* out) {
  out->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char buf[4096];
  while (ok) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    out->append(buf, static_cast<size_t>(n));
    if (out->size() > kMaxFileSize) ok = false;
  }
  close(fd);
  if (!ok) out->clear();
  return ok;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes a temporary file beside the target, flushes it, renames it over the target and
// flushes the directory, so the new content is either wholly there or not at all.
bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
  std::string dir = DirectoryOf(path);
  if (!MakeDirectories(dir)) return false;
  std::vector<char> temp(path.begin(), path.end());
  const char kSuffix[] = ".tmp-XXXXXX";
  temp.insert(temp.end(), kSuffix, kSuffix + sizeof kSuffix);  // with its NUL
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, bytes) && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok) ok = rename(temp.data(), path.c_str()) == 0;
  if (!ok) {
    unlink(temp.data());
    return false;
  }
  int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

// The key as read from the file when it is opened, changed in memory by SetValue and written
// back when it is closed. A damaged or unreadable file counts as no key; it is replaced only by
// the next save.
class FileRegistry final : public RegistryPort {
 public:
  bool OpenKey() override {
    CloseKey();
    RegeditKey key;
    if (!Load(&key) || !key.found) return false;
    values_ = std::move(key.values);
    open_ = true;
    return true;
  }

  bool CreateKey() override {
    CloseKey();
    path_ = SettingsFilePath();
    if (path_.empty() || !MakeDirectories(DirectoryOf(path_))) return false;
    RegeditKey key;
    if (Load(&key)) values_ = std::move(key.values);
    open_ = true;
    return true;
  }

  bool QueryValue(const char* name, uint8_t* buf, uint32_t size, uint32_t* length) override {
    const RegeditValue* v = Find(name);
    if (v == nullptr || v->data.size() > size) return false;
    if (!v->data.empty()) std::memcpy(buf, v->data.data(), v->data.size());
    *length = static_cast<uint32_t>(v->data.size());
    return true;
  }

  bool SetValue(const char* name, uint32_t type, const uint8_t* data, uint32_t size) override {
    if (!open_) return false;
    RegeditValue* v = Find(name);
    if (v == nullptr) {
      values_.push_back(RegeditValue{name, type, {}});
      v = &values_.back();
    }
    v->type = type;
    v->data.assign(data, data + size);
    dirty_ = true;
    return true;
  }

  void CloseKey() override {
    if (open_ && dirty_)
      WriteFileAtomically(path_, FormatRegeditFile(kRegeditSettingsKey, values_));
    open_ = false;
    dirty_ = false;
    values_.clear();
  }

  ~FileRegistry() override { CloseKey(); }

 private:
  bool Load(RegeditKey* key) {
    path_ = SettingsFilePath();
    std::string text;
    return !path_.empty() && ReadWholeFile(path_, &text) &&
           ParseRegeditFile(text, kRegeditSettingsKey, key);
  }

  // Value names are matched without regard to ASCII case, as the registry matches them.
  RegeditValue* Find(const char* name) {
    if (!open_) return nullptr;
    for (RegeditValue& v : values_) {
      if (SameName(v.name, name)) return &v;
    }
    return nullptr;
  }

  static bool SameName(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
      char x = a[i], y = b[i];
      if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
      if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
      if (x != y) return false;
    }
    return true;
  }

  std::string path_;
  std::vector<RegeditValue> values_;
  bool open_ = false;
  bool dirty_ = false;
};

}  // namespace

std::string SettingsFilePath() {
  const char* file = getenv("KESTOVA_SETTINGS_FILE");
  if (file != nullptr && file[0] != '\0') return file;
  const char* config = getenv("XDG_CONFIG_HOME");
  std::string dir;
  if (config != nullptr && config[0] == '/') {
    dir = config;  // only an absolute XDG_CONFIG_HOME counts
  } else {
    std::string home = HomeDir();
    if (home.empty()) return std::string();
    dir = home + "/.config";
  }
  return dir + "/kestova/settings.reg";
}

std::unique_ptr<RegistryPort> MakeRegistry() { return std::make_unique<FileRegistry>(); }

}  // namespace kc::posix
