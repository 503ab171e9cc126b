// The settings key HKEY_LOCAL_MACHINE\SOFTWARE\KESTOVA in the Windows registry, and its subkeys
// (the accounts after the first).
#include <cstring>
#include <vector>

#include "win32/backends.h"

namespace kc::win32 {

namespace {

const char kSubKey[] = "SOFTWARE\\KESTOVA";

class Win32Registry final : public RegistryPort {
 public:
  ~Win32Registry() override { CloseKey(); }

  bool OpenKey() override {
    CloseKey();
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSubKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
      return false;
    }
    key_ = key;
    return true;
  }

  bool CreateKey() override {
    CloseKey();
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, &disposition) != ERROR_SUCCESS) {
      return false;
    }
    key_ = key;
    return true;
  }

  // The value is read into a scratch buffer of the caller's size, so that a failed read (a value
  // larger than the buffer leaves the buffer's content undefined) never touches the caller's.
  // Only a value that is not there counts as absent: ERROR_MORE_DATA, or any other failure
  // on a value that exists, is a value that cannot be read.
  ValueRead ReadValue(const char* name, uint8_t* buf, uint32_t size, uint32_t* length,
                      uint32_t* type) override {
    if (key_ == nullptr) return ValueRead::kAbsent;
    std::vector<BYTE> scratch(size > 0 ? size : 1);
    DWORD valueType = 0;
    DWORD count = size;
    LONG status = RegQueryValueExA(Current(), name, nullptr, &valueType, scratch.data(), &count);
    if (status == ERROR_FILE_NOT_FOUND) return ValueRead::kAbsent;
    *type = valueType;
    *length = count;
    if (status != ERROR_SUCCESS) {
      if (status != ERROR_MORE_DATA) *length = 0;  // the count is then not the value's
      return ValueRead::kUnreadable;
    }
    if (count > size) return ValueRead::kUnreadable;
    if (count > 0) std::memcpy(buf, scratch.data(), count);
    return ValueRead::kRead;
  }

  bool SetValue(const char* name, uint32_t type, const uint8_t* data, uint32_t size) override {
    if (key_ == nullptr) return false;
    return RegSetValueExA(Current(), name, 0, type, data, size) == ERROR_SUCCESS;
  }

  bool DeleteValue(const char* name) override {
    if (key_ == nullptr) return false;
    LONG status = RegDeleteValueA(Current(), name);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  }

  void CloseKey() override {
    CloseSubKey();
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
  }

  bool OpenSubKey(const char* name) override {
    CloseSubKey();
    if (key_ == nullptr) return false;
    HKEY sub = nullptr;
    if (RegOpenKeyExA(key_, name, 0, KEY_ALL_ACCESS, &sub) != ERROR_SUCCESS) return false;
    sub_ = sub;
    return true;
  }

  bool CreateSubKey(const char* name) override {
    CloseSubKey();
    if (key_ == nullptr) return false;
    HKEY sub = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(key_, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &sub, &disposition) != ERROR_SUCCESS) {
      return false;
    }
    sub_ = sub;
    return true;
  }

  void CloseSubKey() override {
    if (sub_ != nullptr) RegCloseKey(sub_);
    sub_ = nullptr;
  }

  // A name longer than the buffer (ERROR_MORE_DATA) is passed over; any other failure ends the
  // listing, as the end of the subkeys does.
  SubKeyFound EnumSubKey(uint32_t index, char* name, uint32_t size) override {
    if (key_ == nullptr || size == 0) return SubKeyFound::kEnd;
    DWORD length = size;
    LONG status = RegEnumKeyExA(key_, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) return SubKeyFound::kSkip;
    if (status != ERROR_SUCCESS) return SubKeyFound::kEnd;
    name[length < size ? length : size - 1] = '\0';
    return SubKeyFound::kName;
  }

  // RegDeleteKeyA removes only a subkey without subkeys of its own, which is what is wanted.
  bool DeleteSubKey(const char* name) override {
    if (key_ == nullptr) return false;
    LONG status = RegDeleteKeyA(key_, name);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  }

 private:
  HKEY Current() const { return sub_ != nullptr ? sub_ : key_; }

  HKEY key_ = nullptr;
  HKEY sub_ = nullptr;  // the open subkey, where values are read and set
};

}  // namespace

std::unique_ptr<RegistryPort> MakeRegistry() { return std::make_unique<Win32Registry>(); }

}  // namespace kc::win32
