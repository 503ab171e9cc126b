// The settings' registry key, or what stands for it on the platform.
#pragma once
#include <cstdint>

namespace kc {

// Registry value types.
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

// The key HKEY_LOCAL_MACHINE\SOFTWARE\KESTOVA.
class RegistryPort {
 public:
  virtual ~RegistryPort() = default;
  virtual bool OpenKey() = 0;    // the existing key, all access; never creates it
  virtual bool CreateKey() = 0;  // opens the key, creating it when absent
  // Copies the value's bytes into buf and sets *length to their count. Fails, leaving buf
  // unchanged, when no key is open, the value is absent or it holds more than size bytes.
  virtual bool QueryValue(const char* name, uint8_t* buf, uint32_t size, uint32_t* length) = 0;
  virtual bool SetValue(const char* name, uint32_t type, const uint8_t* data, uint32_t size) = 0;
  virtual void CloseKey() = 0;
};

}  // namespace kc
