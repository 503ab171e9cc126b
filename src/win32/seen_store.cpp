// The list of seen messages in %LOCALAPPDATA%\KESTOVA\seen.dat (the other accounts' lists in
// seen-<key>.dat beside it), a folder a standard user can write to. A new list goes to seen.dat.tmp
// beside it, is flushed, and replaces the old one with MoveFileExA(MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH), so the file is always a whole list, old or new.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "win32/app_data_file.h"
#include "win32/backends.h"

namespace kc::win32 {

namespace {

void SayError(char* why, size_t size, DWORD error) {
  char text[160] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) {
    text[--n] = '\0';
  }
  std::snprintf(why, size, "%s (error %lu)", n > 0 ? text : "system error",
                static_cast<unsigned long>(error));
}

class FileSeenStore final : public SeenStorePort {
 public:
  FileSeenStore() : file_("seen") {}
  ~FileSeenStore() override {
    CloseRead();
    Abandon();
  }

  const char* Where() override { return file_.path(); }

  // A read or a write under way belongs to the account it began with: both are dropped.
  void UseAccount(uint64_t key) override {
    CloseRead();
    Abandon();
    file_.UseAccount(key);
  }

  SeenStoreOpen OpenRead(char* why, size_t whySize) override {
    CloseRead();
    if (file_.path()[0] == '\0') return SeenStoreOpen::kMissing;
    read_ = CreateFileA(file_.path(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (read_ == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return SeenStoreOpen::kMissing;
      }
      SayError(why, whySize, error);
      return SeenStoreOpen::kFailed;
    }
    return SeenStoreOpen::kOpened;
  }

  int32_t Read(uint8_t* buffer, uint32_t size, char* why, size_t whySize) override {
    if (read_ == INVALID_HANDLE_VALUE) return 0;
    DWORD n = 0;
    if (!ReadFile(read_, buffer, size, &n, nullptr)) {
      SayError(why, whySize, GetLastError());
      return -1;
    }
    return static_cast<int32_t>(n);
  }

  void CloseRead() override {
    if (read_ != INVALID_HANDLE_VALUE) CloseHandle(read_);
    read_ = INVALID_HANDLE_VALUE;
  }

  bool BeginWrite(char* why, size_t whySize) override {
    Abandon();
    if (file_.path()[0] == '\0') {
      std::snprintf(why, whySize, "no folder for application data");
      return false;
    }
    if (!CreateDirectoryA(file_.folder(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      SayError(why, whySize, GetLastError());
      return false;
    }
    write_ = CreateFileA(file_.temp(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (write_ == INVALID_HANDLE_VALUE) {
      SayError(why, whySize, GetLastError());
      return false;
    }
    return true;
  }

  bool Write(const uint8_t* bytes, uint32_t n, char* why, size_t whySize) override {
    DWORD written = 0;
    if (write_ == INVALID_HANDLE_VALUE || !WriteFile(write_, bytes, n, &written, nullptr) ||
        written != n) {
      SayError(why, whySize,
               write_ == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : GetLastError());
      return false;
    }
    return true;
  }

  bool Commit(char* why, size_t whySize) override {
    if (write_ == INVALID_HANDLE_VALUE) {
      SayError(why, whySize, ERROR_INVALID_HANDLE);
      return false;
    }
    DWORD error = FlushFileBuffers(write_) ? 0 : GetLastError();
    CloseHandle(write_);
    write_ = INVALID_HANDLE_VALUE;
    if (error == 0 && !MoveFileExA(file_.temp(), file_.path(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      error = GetLastError();
    }
    if (error != 0) {
      SayError(why, whySize, error);
      DeleteFileA(file_.temp());
      return false;
    }
    return true;
  }

  void Abandon() override {
    if (write_ == INVALID_HANDLE_VALUE) return;
    CloseHandle(write_);
    write_ = INVALID_HANDLE_VALUE;
    DeleteFileA(file_.temp());
  }

 private:
  AppDataFile file_;
  HANDLE read_ = INVALID_HANDLE_VALUE;
  HANDLE write_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<SeenStorePort> MakeSeenStore() { return std::make_unique<FileSeenStore>(); }

}  // namespace kc::win32
