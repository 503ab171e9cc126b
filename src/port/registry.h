// The settings' registry key, or what stands for it on the platform.
#pragma once
#include <cstdint>

namespace kc {

// Registry value types.
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

// What a read of one value found.
enum class ValueRead : uint8_t {
  kRead,        // the bytes are in the buffer
  kAbsent,      // no key is open, or the key has no such value
  kUnreadable,  // the value is there but its bytes could not be had: larger than the buffer,
                // or the read failed
};

// The key HKEY_LOCAL_MACHINE\SOFTWARE\KESTOVA.
class RegistryPort {
 public:
  virtual ~RegistryPort() = default;
  virtual bool OpenKey() = 0;    // the existing key, all access; never creates it
  virtual bool CreateKey() = 0;  // opens the key, creating it when absent
  // Reads a value into buf (size bytes at most). kRead: *length is the count of bytes copied
  // and *type the value's registry type. kUnreadable: *type and *length are what the platform
  // told of the value (its type and whole length; 0 where it told nothing). Unless kRead, buf
  // is left unchanged.
  virtual ValueRead ReadValue(const char* name, uint8_t* buf, uint32_t size, uint32_t* length,
                              uint32_t* type) = 0;
  virtual bool SetValue(const char* name, uint32_t type, const uint8_t* data, uint32_t size) = 0;
  virtual void CloseKey() = 0;

  // The read the described values use: success or failure only; any type is taken.
  bool QueryValue(const char* name, uint8_t* buf, uint32_t size, uint32_t* length) {
    uint32_t type = 0;
    return ReadValue(name, buf, size, length, &type) == ValueRead::kRead;
  }
};

}  // namespace kc
