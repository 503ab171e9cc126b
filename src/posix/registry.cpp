// The settings key kept in one file in the registry export format, since Linux has no registry.
// The file is $KESTOVA_SETTINGS_FILE when that is set, else $XDG_CONFIG_HOME/kestova/settings.reg,
// else ~/.config/kestova/settings.reg. It holds the password, so it is written with mode 0600,
// and atomically: a reader or a crash sees the old file or the new one, never a mix.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "posix/backends.h"
#include "posix/files.h"
#include "posix/regedit_file.h"

namespace kc::posix {

namespace {

// Far above what the settings need; a larger file is not ours and is not read.
constexpr size_t kMaxFileSize = 1 << 20;

// What became of reading the settings file, in words a user can act on.
struct FileReport {
  enum Kind { kRead, kMissing, kUnreadable, kDamaged } kind = kMissing;
  std::string reason;  // kUnreadable: the system's words; kDamaged: the line
};

// The whole content of a regular file of sane size.
FileReport ReadWholeFile(const std::string& path, std::string* out) {
  out->clear();
  FileReport report;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    report.kind = errno == ENOENT ? FileReport::kMissing : FileReport::kUnreadable;
    report.reason = std::strerror(errno);
    return report;
  }
  report.kind = FileReport::kRead;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    report = {FileReport::kUnreadable, std::strerror(errno)};
  } else if (S_ISDIR(st.st_mode)) {
    report = {FileReport::kUnreadable, std::strerror(EISDIR)};
  } else if (!S_ISREG(st.st_mode)) {
    report = {FileReport::kUnreadable, "not a regular file"};
  }
  if (report.kind == FileReport::kRead) {
    int error = ReadToEnd(fd, kMaxFileSize, out);
    if (error == EFBIG) {
      report = {FileReport::kUnreadable, "larger than 1 MiB"};
    } else if (error != 0) {
      report = {FileReport::kUnreadable, std::strerror(error)};
    }
  }
  close(fd);
  if (report.kind != FileReport::kRead) out->clear();
  return report;
}

// Replaces the file whole (see AtomicFileWriter). Returns 0, or the errno of the step that
// failed.
int WriteFileAtomically(const std::string& path, const std::string& bytes) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
  AtomicFileWriter writer;
  int error = writer.Begin(path);
  if (error == 0) error = writer.Write(bytes.data(), bytes.size());
  if (error == 0) error = writer.Commit();
  return error;
}

// The key as read from the file when it is opened, changed in memory by SetValue and written
// back when it is closed. A missing, unreadable or damaged file counts as no key, and the user
// is told which of the three it is. Nothing the user wrote is lost: a damaged file is moved
// aside (settings.reg.damaged) by the save that replaces it, and a file that cannot be read at
// all is not replaced; that save is refused with the reason. The file's other sections (the
// accounts' subkeys, keys of no concern here) are kept and written back in their order.
class FileRegistry final : public RegistryPort {
 public:
  bool OpenKey() override {
    CloseKey();
    FileReport report = Load(&sections_);
    if (report.kind != FileReport::kRead) {
      TellLoadProblem(report);
      sections_.clear();
      return false;
    }
    main_ = FindSection(kRegeditSettingsKey);
    if (main_ == kNone) {
      TellUser("settings file has no [" + std::string(kRegeditSettingsKey) + "] key: " + path_);
      sections_.clear();
      return false;
    }
    current_ = main_;
    return true;
  }

  bool CreateKey() override {
    CloseKey();
    path_ = SettingsFilePath();
    if (path_.empty()) {
      TellUser("settings not saved: no settings path (HOME is not set)");
      return false;
    }
    FileReport report = Load(&sections_);
    if (report.kind == FileReport::kUnreadable) {
      TellUser("settings not saved: " + path_ + " cannot be read (" + report.reason +
               "); it is left as it is (fix, move or remove it)");
      sections_.clear();
      return false;
    }
    keepAside_ = report.kind == FileReport::kDamaged;
    if (report.kind != FileReport::kRead) sections_.clear();
    if (!MakeDirectories(DirectoryOf(path_))) {
      TellUser("settings not saved: " + DirectoryOf(path_) + ": " + std::strerror(errno));
      sections_.clear();
      return false;
    }
    main_ = FindSection(kRegeditSettingsKey);
    if (main_ == kNone) {
      sections_.push_back(RegeditSection{kRegeditSettingsKey, {}});
      main_ = sections_.size() - 1;  // written once a value is set, as before
    }
    current_ = main_;
    return true;
  }

  ValueRead ReadValue(const char* name, uint8_t* buf, uint32_t size, uint32_t* length,
                      uint32_t* type) override {
    const RegeditValue* v = Find(name);
    if (v == nullptr) return ValueRead::kAbsent;
    *type = v->type;
    *length = static_cast<uint32_t>(v->data.size());
    if (v->data.size() > size) return ValueRead::kUnreadable;
    if (!v->data.empty()) std::memcpy(buf, v->data.data(), v->data.size());
    return ValueRead::kRead;
  }

  bool SetValue(const char* name, uint32_t type, const uint8_t* data, uint32_t size) override {
    if (current_ == kNone) return false;
    RegeditValue* v = Find(name);
    if (v == nullptr) {
      std::vector<RegeditValue>& values = sections_[current_].values;
      values.push_back(RegeditValue{name, type, {}});
      v = &values.back();
    }
    v->type = type;
    v->data.assign(data, data + size);
    dirty_ = true;
    return true;
  }

  bool DeleteValue(const char* name) override {
    if (current_ == kNone) return false;
    std::vector<RegeditValue>& values = sections_[current_].values;
    for (auto it = values.begin(); it != values.end(); ++it) {
      if (SameName(it->name, name)) {
        values.erase(it);
        dirty_ = true;
        break;
      }
    }
    return true;
  }

  void CloseKey() override {
    if (main_ != kNone && dirty_) Save();
    main_ = current_ = kNone;
    dirty_ = false;
    keepAside_ = false;
    sections_.clear();
  }

  bool OpenSubKey(const char* name) override {
    current_ = main_;
    if (main_ == kNone || !IsSubKeyName(name)) return false;
    const std::string path = SubKeyPath(name);
    size_t found = FindSection(path);
    if (found == kNone) {
      // A key that only keys below it imply, as "[...\\5\\x]" implies "5", exists as the
      // registry has it: it gets its empty section in front of theirs.
      for (size_t i = 0; i < sections_.size() && found == kNone; ++i) {
        if (IsRegeditKeyOrBelow(sections_[i].key, path)) found = i;
      }
      if (found == kNone) return false;
      sections_.insert(sections_.begin() + static_cast<std::ptrdiff_t>(found),
                       RegeditSection{path, {}});
      if (main_ >= found) ++main_;
    }
    current_ = found;
    return true;
  }

  // A new subkey's section goes after the main key's and after those of its numbered subkeys
  // that come before it, so the accounts stay in their order in the file.
  bool CreateSubKey(const char* name) override {
    current_ = main_;
    if (main_ == kNone || !IsSubKeyName(name)) return false;
    if (OpenSubKey(name)) return true;
    size_t at = main_ + 1;
    const uint64_t number = SubKeyNumber(name);
    for (size_t i = 0; i < sections_.size(); ++i) {
      const std::string child = ChildName(sections_[i].key);
      if (i >= at && !child.empty() && SubKeyNumber(child.c_str()) < number) at = i + 1;
    }
    sections_.insert(sections_.begin() + static_cast<std::ptrdiff_t>(at),
                     RegeditSection{SubKeyPath(name), {}});
    if (main_ >= at) ++main_;
    current_ = at;
    dirty_ = true;
    return true;
  }

  void CloseSubKey() override { current_ = main_; }

  // The subkeys are the first names below the main key of every section under it, each once.
  SubKeyFound EnumSubKey(uint32_t index, char* name, uint32_t size) override {
    if (main_ == kNone) return SubKeyFound::kEnd;
    std::vector<std::string> names;
    for (const RegeditSection& section : sections_) {
      std::string child = ChildName(section.key);
      if (child.empty()) continue;
      bool seen = false;
      for (const std::string& n : names) seen = seen || SameName(n, child.c_str());
      if (!seen) names.push_back(child);
    }
    if (index >= names.size()) return SubKeyFound::kEnd;
    if (names[index].size() >= size) return SubKeyFound::kSkip;
    std::memcpy(name, names[index].c_str(), names[index].size() + 1);
    return SubKeyFound::kName;
  }

  // As the registry does, a subkey with subkeys of its own is not removed.
  bool DeleteSubKey(const char* name) override {
    if (main_ == kNone || !IsSubKeyName(name)) return false;
    const std::string path = SubKeyPath(name);
    size_t found = kNone;
    for (size_t i = 0; i < sections_.size(); ++i) {
      if (!IsRegeditKeyOrBelow(sections_[i].key, path)) continue;
      if (sections_[i].key.size() != path.size()) return false;  // a key below it
      found = i;
    }
    if (found == kNone) return true;
    if (current_ == found) current_ = main_;
    sections_.erase(sections_.begin() + static_cast<std::ptrdiff_t>(found));
    if (main_ > found) --main_;
    if (current_ != kNone && current_ > found) --current_;
    dirty_ = true;
    return true;
  }

  ~FileRegistry() override { CloseKey(); }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  void Save() {
    std::string aside;
    if (keepAside_) {
      aside = FreeName(path_ + ".damaged");
      if (aside.empty() || rename(path_.c_str(), aside.c_str()) != 0) {
        TellUser("settings not saved: the damaged " + path_ + " could not be kept aside (" +
                 std::strerror(aside.empty() ? EEXIST : errno) + ")");
        return;
      }
    }
    int error = WriteFileAtomically(path_, FormatRegeditSections(sections_));
    if (error != 0) {
      TellUser("settings not saved: " + path_ + ": " + std::strerror(error));
    } else if (!aside.empty()) {
      TellUser("settings saved; the damaged settings file was kept as " + aside);
    }
  }

  // The name itself when nothing has it, else the name with -1, -2, ... up to -99.
  static std::string FreeName(const std::string& name) {
    struct stat st;
    if (lstat(name.c_str(), &st) != 0) return name;
    for (int i = 1; i < 100; ++i) {
      std::string numbered = name + "-" + std::to_string(i);
      if (lstat(numbered.c_str(), &st) != 0) return numbered;
    }
    return std::string();
  }

  FileReport Load(std::vector<RegeditSection>* sections) {
    path_ = SettingsFilePath();
    if (path_.empty()) return {FileReport::kMissing, "HOME is not set"};
    std::string text;
    FileReport report = ReadWholeFile(path_, &text);
    size_t badLine = 0;
    if (report.kind == FileReport::kRead && !ParseRegeditSections(text, sections, &badLine)) {
      report = {FileReport::kDamaged, "line " + std::to_string(badLine)};
    }
    return report;
  }

  void TellLoadProblem(const FileReport& report) {
    switch (report.kind) {
      case FileReport::kMissing:
        TellUser("no settings file yet: " + (path_.empty() ? report.reason : path_));
        break;
      case FileReport::kUnreadable:
        TellUser("settings file cannot be read: " + path_ + ": " + report.reason);
        break;
      case FileReport::kDamaged:
        TellUser("settings file damaged at " + report.reason + ": " + path_ +
                 " (left as it is; fix or remove it)");
        break;
      case FileReport::kRead: break;
    }
  }

  size_t FindSection(const std::string& key) const {
    for (size_t i = 0; i < sections_.size(); ++i) {
      if (SameName(sections_[i].key, key.c_str())) return i;
    }
    return kNone;
  }

  // A subkey's name is one key name: not empty, no backslash.
  static bool IsSubKeyName(const char* name) {
    return name[0] != '\0' && std::strchr(name, '\\') == nullptr &&
           std::strlen(name) < kSubKeyNameSize;
  }

  static std::string SubKeyPath(const char* name) {
    return std::string(kRegeditSettingsKey) + "\\" + name;
  }

  // The name right below the main key that `key` is or lies under; "" when it is not below it.
  static std::string ChildName(const std::string& key) {
    const size_t n = std::strlen(kRegeditSettingsKey);
    if (key.size() <= n + 1 || key[n] != '\\') return std::string();
    if (!SameName(key.substr(0, n), kRegeditSettingsKey)) return std::string();
    std::string child = key.substr(n + 1);
    return child.substr(0, child.find('\\'));
  }

  // A subkey's decimal number, for its place in the file; names that are no number go last.
  static uint64_t SubKeyNumber(const char* name) {
    uint64_t n = 0;
    for (const char* p = name; *p != '\0'; ++p) {
      if (*p < '0' || *p > '9' || n > UINT64_MAX / 16) return UINT64_MAX;
      n = n * 10 + static_cast<uint64_t>(*p - '0');
    }
    return n;
  }

  // Value names are matched without regard to ASCII case, as the registry matches them.
  RegeditValue* Find(const char* name) {
    if (current_ == kNone) return nullptr;
    for (RegeditValue& v : sections_[current_].values) {
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
  std::vector<RegeditSection> sections_;  // the whole file while the key is open
  size_t main_ = kNone;                   // the main key's section; kNone: no key open
  size_t current_ = kNone;                // where values are read and set
  bool dirty_ = false;
  bool keepAside_ = false;  // the file on disk is damaged: move it aside before saving
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
    std::string home = HomeDirectory();
    if (home.empty()) return std::string();
    dir = home + "/.config";
  }
  return dir + "/kestova/settings.reg";
}

std::unique_ptr<RegistryPort> MakeRegistry() { return std::make_unique<FileRegistry>(); }

}  // namespace kc::posix
