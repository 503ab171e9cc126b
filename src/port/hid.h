// What the display logic needs of the platform's HID layer: list the HID interfaces present with
// their device paths, open one, read its identifiers and report lengths, write one output report
// synchronously, close it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

using HidHandle = uintptr_t;  // an open HID interface; 0 is none

struct HidAttributes {
  uint32_t size;  // 12, as the platform's record has it
  uint16_t vendorId;
  uint16_t productId;
  uint16_t versionNumber;
};

struct HidCaps {
  uint16_t inputReportByteLength;   // with the report ID byte
  uint16_t outputReportByteLength;  // with the report ID byte
};

enum class HidEnumResult { kFound, kSkip, kEnd };

class HidPort {
 public:
  virtual ~HidPort() = default;
  // Loads the HID library and learns the HID interface class; false when it cannot be loaded.
  virtual bool Load() = 0;
  // Starts a listing of the HID interfaces present; false when none can be listed.
  virtual bool BeginEnumeration() = 0;
  // The device path of the interface at index: kEnd past the last one, kSkip when this index
  // cannot be read (the search goes on with the next). The path is NUL-terminated and fits in
  // pathSize bytes; a path that would not fit is a kSkip, never a cut path.
  virtual HidEnumResult InterfacePath(uint32_t index, char* path, size_t pathSize) = 0;
  virtual void EndEnumeration() = 0;
  virtual HidHandle Open(const char* path) = 0;  // read and write, shared; 0 on failure
  virtual bool GetAttributes(HidHandle h, HidAttributes* attributes) = 0;
  // The report lengths; false when the device's report data cannot be read.
  virtual bool GetCaps(HidHandle h, HidCaps* caps) = 0;
  // Writes one whole output report synchronously.
  virtual bool WriteReport(HidHandle h, const uint8_t* report, uint32_t length) = 0;
  virtual void Close(HidHandle h) = 0;
};

}  // namespace kc
