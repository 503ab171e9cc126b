// Sender extraction from a TOP reply: the From text (folded lines included) and the sender put
// into a table slot, at every buffer size from the tightest up to the session's own.
//
// Input: the reply text as the session hands it over (it ends at the first NUL).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "pop3/sender.h"
#include "pop3/sender_table.h"

namespace {

// A buffer of exactly size bytes on the heap, so that a write past it is caught.
std::vector<char> Exact(size_t size, char fill) { return std::vector<char>(size, fill); }

// out holds a NUL-terminated text of `length` bytes and nothing but NULs after it.
void CheckTerminatedAndCleared(const char* out, size_t size, size_t length) {
  FUZZ_CHECK(length < size);
  for (size_t i = 0; i < length; ++i) FUZZ_CHECK(out[i] != '\0');
  for (size_t i = length; i < size; ++i) FUZZ_CHECK(out[i] == '\0');
}

void CheckSlot(const char* fromText) {
  const size_t sizes[] = {1, 2, 17, static_cast<size_t>(kc::kSenderSlotSize)};
  for (size_t size : sizes) {
    std::vector<char> slot = Exact(size, '\x55');
    kc::SenderFromText(fromText, slot.data(), size);
    size_t length = std::strlen(slot.data());
    CheckTerminatedAndCleared(slot.data(), size, length);
    // The sender is a piece of the From text.
    FUZZ_CHECK(std::strstr(fromText, slot.data()) != nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string response(reinterpret_cast<const char*>(data),
                             strnlen(reinterpret_cast<const char*>(data), size));
  const char* text = response.c_str();
  const char* header = std::strstr(text, "\nFrom: ");

  const size_t sizes[] = {1, 2, 64, 255, 4096};
  std::string widest;
  for (size_t outSize : sizes) {
    std::vector<char> out = Exact(outSize, '\x55');
    size_t length = kc::ExtractFromText(text, out.data(), outSize);
    CheckTerminatedAndCleared(out.data(), outSize, length);
    if (header == nullptr) {
      FUZZ_CHECK(length == 0);
    } else {
      // The value as it stands after the header, cut to the buffer.
      FUZZ_CHECK(std::memcmp(out.data(), header + 7, length) == 0);
    }
    widest.assign(out.data(), length);
  }
  // The session's own path: the From text out of its 4,096-byte buffer into a 255-byte slot.
  CheckSlot(widest.c_str());
  CheckSlot(text);
  return 0;
}
