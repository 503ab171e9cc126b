// The sign-in's refresh-token record in %LOCALAPPDATA%\KESTOVA\token.dat (the other accounts'
// in token-<key>.dat beside it), sealed with DPAPI (CryptProtectData for the current user, so
// only this user on this machine can open it). A new record goes to token.dat.tmp, is flushed,
// and replaces the old one with MoveFileExA(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH):
// the file is always a whole record, old or new.
#include <windows.h>
// (kept apart so that include sorting leaves the order alone)
#include <wincrypt.h>

#include <cstdio>
#include <cstring>

#include "win32/app_data_file.h"
#include "win32/backends.h"

namespace kc::win32 {

namespace {

// DPAPI adds a header and pads; a sealed record is never more than this.
constexpr DWORD kSealedMax = kTokenRecordSize + 4096;

// Extra entropy that ties the sealed bytes to this program: another program of the same user
// that calls CryptUnprotectData on the file without it gets nothing.
constexpr char kEntropy[] = "KESTOVA Checker refresh token";

void SayError(char* why, size_t size, const char* what, DWORD error) {
  char text[160] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) {
    text[--n] = '\0';
  }
  std::snprintf(why, size, "%s: %s (error %lu)", what, n > 0 ? text : "system error",
                static_cast<unsigned long>(error));
}

DATA_BLOB Blob(const void* bytes, DWORD n) {
  DATA_BLOB blob;
  blob.cbData = n;
  blob.pbData = static_cast<BYTE*>(const_cast<void*>(bytes));
  return blob;
}

class DpapiTokenStore final : public TokenStorePort {
 public:
  DpapiTokenStore() : file_("token") {}

  const char* Where() override { return file_.path(); }
  void UseAccount(uint64_t key) override { file_.UseAccount(key); }

  TokenLoad Load(uint8_t* bytes, uint32_t size, uint32_t* length, char* why,
                 size_t whySize) override {
    *length = 0;
    if (file_.path()[0] == '\0') return TokenLoad::kMissing;
    HANDLE file = CreateFileA(file_.path(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return TokenLoad::kMissing;
      }
      SayError(why, whySize, "cannot open the token file", error);
      return TokenLoad::kFailed;
    }
    BYTE* sealed = sealed_;
    DWORD got = 0, total = 0;
    BOOL read = TRUE;
    while (total < sizeof sealed_ &&
           (read = ReadFile(file, sealed + total, sizeof sealed_ - total, &got, nullptr)) &&
           got > 0) {
      total += got;
    }
    DWORD error = read ? 0 : GetLastError();
    CloseHandle(file);
    if (error != 0) {
      SayError(why, whySize, "cannot read the token file", error);
      return TokenLoad::kFailed;
    }
    if (total > kSealedMax) {
      std::snprintf(why, whySize, "the token file is too large to be a record");
      return TokenLoad::kFailed;
    }
    DATA_BLOB in = Blob(sealed, total), entropy = Blob(kEntropy, sizeof kEntropy - 1), out{};
    if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &out)) {
      SayError(why, whySize, "cannot unseal the token file", GetLastError());
      return TokenLoad::kFailed;
    }
    TokenLoad result = TokenLoad::kLoaded;
    if (out.cbData > size) {
      std::snprintf(why, whySize, "the unsealed record is larger than %lu bytes",
                    static_cast<unsigned long>(size));
      result = TokenLoad::kFailed;
    } else {
      std::memcpy(bytes, out.pbData, out.cbData);
      *length = out.cbData;
    }
    SecureZeroMemory(out.pbData, out.cbData);
    LocalFree(out.pbData);
    return result;
  }

  bool Save(const uint8_t* bytes, uint32_t length, char* why, size_t whySize) override {
    if (file_.path()[0] == '\0') {
      std::snprintf(why, whySize, "no folder for application data");
      return false;
    }
    DATA_BLOB in = Blob(bytes, length), entropy = Blob(kEntropy, sizeof kEntropy - 1), out{};
    if (!CryptProtectData(&in, L"KESTOVA Checker", &entropy, nullptr, nullptr,
                          CRYPTPROTECT_UI_FORBIDDEN, &out)) {
      SayError(why, whySize, "cannot seal the record", GetLastError());
      return false;
    }
    bool ok = WriteReplacing(out.pbData, out.cbData, why, whySize);
    LocalFree(out.pbData);
    return ok;
  }

  bool Erase(char* why, size_t whySize) override {
    if (file_.path()[0] == '\0' || DeleteFileA(file_.path())) return true;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    SayError(why, whySize, "cannot remove the token file", error);
    return false;
  }

 private:
  bool WriteReplacing(const BYTE* data, DWORD n, char* why, size_t whySize) {
    if (!CreateDirectoryA(file_.folder(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      SayError(why, whySize, "cannot make the folder", GetLastError());
      return false;
    }
    HANDLE file = CreateFileA(file_.temp(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      SayError(why, whySize, "cannot write the token file", GetLastError());
      return false;
    }
    DWORD written = 0, error = 0;
    if (!WriteFile(file, data, n, &written, nullptr)) {
      error = GetLastError();
    } else if (written != n) {
      error = ERROR_WRITE_FAULT;
    } else if (!FlushFileBuffers(file)) {
      error = GetLastError();
    }
    CloseHandle(file);
    if (error == 0 && !MoveFileExA(file_.temp(), file_.path(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      error = GetLastError();
    }
    if (error != 0) {
      SayError(why, whySize, "cannot write the token file", error);
      DeleteFileA(file_.temp());
      return false;
    }
    return true;
  }

  AppDataFile file_;
  // One byte more than a sealed record can be: a longer file is not one of ours.
  BYTE sealed_[kSealedMax + 1];
};

}  // namespace

std::unique_ptr<TokenStorePort> MakeTokenStore() { return std::make_unique<DpapiTokenStore>(); }

}  // namespace kc::win32
