#include "posix/report_descriptor.h"

namespace kc {

namespace {

// Item types and tags (HID 1.11, section 6.2.2).
constexpr int kTypeMain = 0;
constexpr int kTypeGlobal = 1;
constexpr int kMainInput = 0x8;
constexpr int kMainOutput = 0x9;
constexpr int kMainFeature = 0xB;
constexpr int kGlobalReportSize = 0x7;
constexpr int kGlobalReportId = 0x8;
constexpr int kGlobalReportCount = 0x9;
constexpr int kGlobalPush = 0xA;
constexpr int kGlobalPop = 0xB;
constexpr uint8_t kLongItemPrefix = 0xFE;

constexpr int kKinds = 3;                          // input, output, feature
constexpr int kMaxPushDepth = 16;                  // deeper stacks are not met in real descriptors
constexpr uint64_t kMaxReportBits = 8ull * 65534;  // plus the ID byte, still a 16-bit length

struct Globals {
  uint32_t reportSize = 0;
  uint32_t reportCount = 0;
  uint32_t reportId = 0;
};

}  // namespace

bool ParseReportDescriptor(const uint8_t* descriptor, size_t length, ReportLengths* out) {
  *out = ReportLengths{0, 0, 0};
  // Bits per report ID (0 when the reports are not numbered, else 1 to 255) and kind.
  uint64_t bits[256][kKinds] = {};
  bool present[kKinds] = {false, false, false};
  Globals globals;
  Globals stack[kMaxPushDepth];
  int depth = 0;

  size_t pos = 0;
  while (pos < length) {
    uint8_t prefix = descriptor[pos];
    if (prefix == kLongItemPrefix) {  // long item: size byte, tag byte, data; carries nothing here
      if (length - pos < 3) return false;
      size_t dataSize = descriptor[pos + 1];
      if (length - pos - 3 < dataSize) return false;
      pos += 3 + dataSize;
      continue;
    }
    size_t dataSize = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (length - pos - 1 < dataSize) return false;
    uint32_t value = 0;
    for (size_t i = 0; i < dataSize; ++i) {
      value |= static_cast<uint32_t>(descriptor[pos + 1 + i]) << (8 * i);
    }
    int type = (prefix >> 2) & 3;
    int tag = prefix >> 4;
    pos += 1 + dataSize;

    if (type == kTypeGlobal) {
      switch (tag) {
        case kGlobalReportSize: globals.reportSize = value; break;
        case kGlobalReportCount: globals.reportCount = value; break;
        case kGlobalReportId:
          if (value == 0 || value > 255) return false;  // IDs are 1 to 255
          globals.reportId = value;
          break;
        case kGlobalPush:
          if (depth == kMaxPushDepth) return false;
          stack[depth++] = globals;
          break;
        case kGlobalPop:
          if (depth == 0) return false;
          globals = stack[--depth];
          break;
        default: break;
      }
    } else if (type == kTypeMain) {
      int kind = tag == kMainInput ? 0 : tag == kMainOutput ? 1 : tag == kMainFeature ? 2 : -1;
      if (kind < 0) continue;  // collections and their ends
      present[kind] = true;
      uint64_t& total = bits[globals.reportId][kind];
      total += static_cast<uint64_t>(globals.reportSize) * globals.reportCount;
      if (total > kMaxReportBits) return false;
    }
  }

  uint16_t lengths[kKinds] = {0, 0, 0};
  for (int kind = 0; kind < kKinds; ++kind) {
    if (!present[kind]) continue;
    uint64_t longest = 0;
    for (const auto& row : bits) {
      if (row[kind] > longest) longest = row[kind];
    }
    lengths[kind] = static_cast<uint16_t>((longest + 7) / 8 + 1);
  }
  *out = ReportLengths{lengths[0], lengths[1], lengths[2]};
  return true;
}

}  // namespace kc
