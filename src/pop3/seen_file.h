// The stored form of the seen list, read and written in pieces so that neither side needs a
// buffer of the whole list:
//
//   "KCSEEN2\n"         8 bytes
//   account             8 bytes, little-endian (AccountKey of server, user, port and TLS mode)
//   count               4 bytes, little-endian, at most kSeenIdCapacity
//   flags               4 bytes, little-endian: bit 0, the list was cut at the bound; the
//                       other bits zero
//   hashes              count x 8 bytes, little-endian, ascending; a hash stands as often as
//                       its ID was listed
//   checksum            8 bytes, little-endian: FNV-1a 64 of every byte before it
//
// The first form, "KCSEEN1\n", is still read: its account is the key of server and user
// alone, its flags word is zero and its hashes are strictly ascending (each ID once).
//
// Anything else (a short or long file, a wrong mark, count, flags or checksum, hashes out of
// order) is a damaged list.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

constexpr size_t kSeenFileHeaderSize = 24;
constexpr size_t kSeenFileTrailerSize = 8;

class SeenFileReader {
 public:
  // Hashes go to out, which holds capacity of them.
  void Begin(uint64_t* out, uint32_t capacity);
  // The next bytes of the file; false once the file is known to be damaged.
  bool Feed(const uint8_t* bytes, size_t n);
  // The whole file was fed: true when it was complete and sound.
  bool End();

  uint64_t account() const { return account_; }
  uint32_t count() const { return count_; }
  // 1 for the first form, 2 for this one.
  int version() const { return version_; }
  bool cut() const { return cut_; }
  // Why the file is damaged, in English ("" while it is not).
  const char* problem() const { return problem_; }

 private:
  bool Damaged(const char* why);
  bool TakeWord(uint64_t word);

  uint64_t* out_ = nullptr;
  uint32_t capacity_ = 0;
  uint8_t header_[kSeenFileHeaderSize] = {};
  size_t headerLength_ = 0;
  uint8_t word_[8] = {};
  size_t wordLength_ = 0;
  uint64_t account_ = 0;
  uint32_t count_ = 0;
  uint32_t taken_ = 0;
  int version_ = 0;
  bool cut_ = false;
  bool trailerRead_ = false;
  uint64_t checksum_ = 0;
  const char* problem_ = "";
};

// Produces the bytes of a list in pieces.
class SeenFileWriter {
 public:
  void Begin(uint64_t account, const uint64_t* hashes, uint32_t count, bool cut);
  // Up to size bytes (size at least 8) of what is left; 0 once everything was produced.
  size_t Next(uint8_t* out, size_t size);

 private:
  uint64_t account_ = 0;
  const uint64_t* hashes_ = nullptr;
  uint32_t count_ = 0;
  uint32_t written_ = 0;
  bool cut_ = false;
  bool headerDone_ = false;
  bool trailerDone_ = false;
  uint64_t checksum_ = 0;
};

}  // namespace kc
