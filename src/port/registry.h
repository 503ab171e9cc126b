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

// The longest subkey name the registry allows, NUL included.
constexpr uint32_t kSubKeyNameSize = 256;

// What listing the subkeys found at one index.
enum class SubKeyFound : uint8_t {
  kName,  // the name is in the buffer
  kSkip,  // a subkey is there whose name could not be had: go on with the next index
  kEnd,   // no more subkeys (or no key is open, or the listing failed)
};

// The key HKEY_LOCAL_MACHINE\SOFTWARE\KESTOVA and its subkeys (accounts 2 to 8).
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
  // Removes a value of the key or subkey open; true when it is not there afterwards. The
  // default cannot remove anything.
  virtual bool DeleteValue(const char* /*name*/) { return false; }
  virtual void CloseKey() = 0;  // closes a subkey too

  // Subkeys of the open key. While one is open, ReadValue and SetValue act on it; CloseSubKey
  // goes back to the key itself. The defaults are a key without subkeys that cannot have any.
  virtual bool OpenSubKey(const char* /*name*/) { return false; }  // the existing subkey only
  virtual bool CreateSubKey(const char* /*name*/) { return false; }
  virtual void CloseSubKey() {}
  // The name of the subkey at `index` (0, 1, ... until kEnd), in the platform's order.
  virtual SubKeyFound EnumSubKey(uint32_t /*index*/, char* /*name*/, uint32_t /*size*/) {
    return SubKeyFound::kEnd;
  }
  // Removes a subkey that has no subkeys of its own; true when it is gone.
  virtual bool DeleteSubKey(const char* /*name*/) { return false; }

  // The read the described values use: success or failure only; any type is taken.
  bool QueryValue(const char* name, uint8_t* buf, uint32_t size, uint32_t* length) {
    uint32_t type = 0;
    return ReadValue(name, buf, size, length, &type) == ValueRead::kRead;
  }
};

}  // namespace kc
