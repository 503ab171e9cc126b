// The settings key HKEY_LOCAL_MACHINE\SOFTWARE\KESTOVA in the Windows registry.
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
    LONG status = RegQueryValueExA(key_, name, nullptr, &valueType, scratch.data(), &count);
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
    return RegSetValueExA(key_, name, 0, type, data, size) == ERROR_SUCCESS;
  }

  void CloseKey() override {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

std::unique_ptr<RegistryPort> MakeRegistry() { return std::make_unique<Win32Registry>(); }

}  // namespace kc::win32
