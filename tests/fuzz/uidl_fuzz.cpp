// The UIDL listing and the stored seen list, the two byte streams of the new-only option that
// come from outside.
//
// Input: the first byte picks a piece size (1 to 256); the rest is read as a UIDL reply in
// pieces of that size and as a whole, which must give the same entries; every entry has a
// number of 1 or more and an ID of 1 to 70 characters of 0x21..0x7E. The same bytes are then
// read as a stored list, which either is refused or holds strictly ascending hashes, no more
// than its bound.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "pop3/seen_file.h"
#include "pop3/seen_ids.h"
#include "pop3/uidl_reply.h"

namespace {

struct Collect final : kc::UidlListingSink {
  void OnEntry(const kc::UidlEntry& e) override {
    FUZZ_CHECK(e.number >= 1);
    FUZZ_CHECK(e.length >= 1 && e.length < kc::kUidlLineSize);
    FUZZ_CHECK(e.hash == kc::Fnv1a64(e.id, e.length));
    for (size_t i = 0; i < e.length; ++i) {
      unsigned char c = static_cast<unsigned char>(e.id[i]);
      FUZZ_CHECK(c >= 0x21 && c <= 0x7E);
    }
    text += std::to_string(e.number) + " " + std::string(e.id, e.length) + "\n";
  }
  void OnMalformed(const char*, size_t length, bool) override {
    FUZZ_CHECK(length <= kc::kUidlLineSize);
    ++malformed;
  }
  std::string text;
  int malformed = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = static_cast<size_t>(data[0]) + 1;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  const size_t n = size - 1;

  Collect whole;
  kc::UidlListingReader reader;
  reader.Reset();
  reader.Feed(bytes, n, whole);
  reader.Finish(whole);
  Collect pieces;
  reader.Reset();
  for (size_t at = 0; at < n; at += piece) {
    reader.Feed(bytes + at, n - at < piece ? n - at : piece, pieces);
  }
  reader.Finish(pieces);
  FUZZ_CHECK(whole.text == pieces.text && whole.malformed == pieces.malformed);

  constexpr uint32_t kCapacity = 64;
  std::vector<uint64_t> area(kCapacity);
  kc::SeenFileReader file;
  file.Begin(area.data(), kCapacity);
  for (size_t at = 0; at < n; at += piece) {
    if (!file.Feed(data + 1 + at, n - at < piece ? n - at : piece)) break;
  }
  if (file.End()) {
    FUZZ_CHECK(file.count() <= kCapacity);
    // The first form holds each ID once, the second an ID as often as it was listed.
    for (uint32_t i = 1; i < file.count(); ++i) {
      FUZZ_CHECK(file.version() == 1 ? area[i - 1] < area[i] : area[i - 1] <= area[i]);
    }
  } else {
    FUZZ_CHECK(file.problem()[0] != '\0');
  }
  return 0;
}
