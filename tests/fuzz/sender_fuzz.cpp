// Sender extraction from a TOP reply: the From text (folded lines included, control bytes made
// inert) and the sender put into a table slot, at every buffer size from the tightest up to the
// session's own, and the same text whatever pieces the reply arrives in.
//
// Input: the reply's bytes, NULs included.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "pop3/sender.h"
#include "pop3/sender_table.h"
#include "text/cp932.h"
#include "text/inert.h"

namespace {

// A buffer of exactly size bytes on the heap, so that a write past it is caught.
std::vector<char> Exact(size_t size, char fill) { return std::vector<char>(size, fill); }

// out holds a NUL-terminated text of `length` bytes and nothing but NULs after it.
void CheckTerminatedAndCleared(const char* out, size_t size, size_t length) {
  FUZZ_CHECK(length < size);
  for (size_t i = 0; i < length; ++i) FUZZ_CHECK(out[i] != '\0');
  for (size_t i = length; i < size; ++i) FUZZ_CHECK(out[i] == '\0');
}

// The text as a slot may show it: without line breaks, every other control byte a '?'.
std::string WithoutBreaks(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p != '\r' && *p != '\n') out += *p;
  }
  kc::MakeInert(&out[0], out.size());
  return out;
}

// No C1 byte (0x80-0x9F) stands but as a byte of a code page 932 pair.
void CheckNoLoneC1(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if (kc::IsCp932Lead(b) && i + 1 < length) {
      const unsigned char t = static_cast<unsigned char>(text[i + 1]);
      if (t >= 0x40 && t <= 0xFC && t != 0x7F) {
        ++i;
        continue;
      }
    }
    FUZZ_CHECK(!kc::IsC1Byte(text[i]));
  }
}

void CheckSlot(const char* fromText) {
  const size_t sizes[] = {1, 2, 17, static_cast<size_t>(kc::kSenderSlotSize)};
  const std::string flat = WithoutBreaks(fromText);
  for (size_t size : sizes) {
    std::vector<char> slot = Exact(size, '\x55');
    kc::SenderFromText(fromText, slot.data(), size);
    size_t length = std::strlen(slot.data());
    CheckTerminatedAndCleared(slot.data(), size, length);
    // The sender is a piece of the From text, never with a line break byte in it.
    FUZZ_CHECK(std::memchr(slot.data(), '\r', length) == nullptr);
    FUZZ_CHECK(std::memchr(slot.data(), '\n', length) == nullptr);
    for (size_t i = 0; i < length; ++i) FUZZ_CHECK(!kc::IsControlByte(slot[i]));
    CheckNoLoneC1(slot.data(), length);
    // A character cut at the slot's end is judged alone: its lead byte may show as '?'.
    std::string shown(slot.data(), length);
    if (!shown.empty() && shown.back() == kc::kControlMark) shown.pop_back();
    FUZZ_CHECK(flat.find(shown) != std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);

  const size_t sizes[] = {1, 2, 64, 255, 4096};
  std::string widest;
  for (size_t outSize : sizes) {
    std::vector<char> out = Exact(outSize, '\x55');
    size_t length = kc::ExtractFromText(bytes, size, out.data(), outSize);
    CheckTerminatedAndCleared(out.data(), outSize, length);
    // A tighter buffer holds the start of the same text.
    std::string now(out.data(), length);
    FUZZ_CHECK(now.compare(0, widest.size(), widest) == 0);
    widest = now;
  }
  // No carriage return but as part of a CR LF line break; no control byte but those and tabs.
  for (size_t i = 0; i < widest.size(); ++i) {
    const char c = widest[i];
    FUZZ_CHECK(!kc::IsControlByte(c) || c == '\r' || c == '\n' || c == '\t');
    if (widest[i] == '\r') FUZZ_CHECK(i + 1 < widest.size() && widest[i + 1] == '\n');
    if (widest[i] == '\n') FUZZ_CHECK(i > 0 && widest[i - 1] == '\r');
  }
  CheckNoLoneC1(widest.data(), widest.size());
  // The same text whatever pieces the reply comes in.
  kc::FromCollector collector;
  for (size_t cut : {size / 2, size / 3, size > 0 ? size - 1 : 0}) {
    collector.Reset();
    collector.Feed(bytes, cut);
    collector.Feed(bytes + cut, size - cut);
    collector.Finish();
    FUZZ_CHECK(std::string(collector.text(), collector.length()) == widest);
  }
  // The session's own path: the From text into a 255-byte slot; any text at all as well.
  CheckSlot(widest.c_str());
  const std::string text(bytes, strnlen(bytes, size));
  CheckSlot(text.c_str());
  return 0;
}
