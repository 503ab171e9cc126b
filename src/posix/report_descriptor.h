// The report lengths of a HID device, computed from its report descriptor the way the Windows
// HID parser reports them in HIDP_CAPS: for each kind of report, the longest report in bytes
// plus one byte for the report ID (counted whether or not the device numbers its reports), or 0
// when the descriptor has no report of that kind.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

struct ReportLengths {
  uint16_t input;
  uint16_t output;
  uint16_t feature;
};

// False when the descriptor is malformed (a cut item, a Pop without a Push, too deep a Push
// stack) or a report would not fit a 16-bit length; *out is then all zero.
bool ParseReportDescriptor(const uint8_t* descriptor, size_t length, ReportLengths* out);

}  // namespace kc
