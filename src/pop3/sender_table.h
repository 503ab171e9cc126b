// The senders of the last check: slot i holds the sender of message i + 1.
#pragma once
#include <cstdint>

namespace kc {

constexpr int kSenderSlots = 255;
constexpr int kSenderSlotSize = 255;

struct SenderTable {
  char slot[kSenderSlots][kSenderSlotSize] = {};
};

}  // namespace kc
