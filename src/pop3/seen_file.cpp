#include "pop3/seen_file.h"

#include <cstring>

#include "pop3/seen_ids.h"

namespace kc {

namespace {

constexpr char kMark[] = "KCSEEN2\n";
constexpr char kFirstMark[] = "KCSEEN1\n";
constexpr uint32_t kFlagCut = 1;
constexpr uint64_t kFnvStart = 0xcbf29ce484222325ull;

uint64_t ReadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void WriteLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

// ----- Reader -----

void SeenFileReader::Begin(uint64_t* out, uint32_t capacity) {
  *this = SeenFileReader{};
  out_ = out;
  capacity_ = capacity;
  checksum_ = kFnvStart;
}

bool SeenFileReader::Damaged(const char* why) {
  if (problem_[0] == '\0') problem_ = why;
  return false;
}

bool SeenFileReader::TakeWord(uint64_t word) {
  if (taken_ < count_) {
    // The first form held each ID once; this one holds an ID as often as it was listed.
    if (taken_ > 0 && (out_[taken_ - 1] > word || (version_ == 1 && out_[taken_ - 1] == word))) {
      return Damaged("IDs out of order");
    }
    out_[taken_++] = word;
    return true;
  }
  if (trailerRead_) return Damaged("bytes after its end");
  trailerRead_ = true;
  if (word != checksum_) return Damaged("wrong checksum");
  return true;
}

bool SeenFileReader::Feed(const uint8_t* bytes, size_t n) {
  if (problem_[0] != '\0') return false;
  while (n > 0) {
    if (headerLength_ < kSeenFileHeaderSize) {
      size_t take = kSeenFileHeaderSize - headerLength_;
      if (take > n) take = n;
      std::memcpy(header_ + headerLength_, bytes, take);
      checksum_ = Fnv1a64(bytes, take, checksum_);
      headerLength_ += take;
      bytes += take;
      n -= take;
      if (headerLength_ < kSeenFileHeaderSize) return true;
      if (std::memcmp(header_, kMark, 8) == 0) {
        version_ = 2;
      } else if (std::memcmp(header_, kFirstMark, 8) == 0) {
        version_ = 1;
      } else {
        return Damaged("not a list of seen messages");
      }
      account_ = ReadLe64(header_ + 8);
      count_ = ReadLe32(header_ + 16);
      const uint32_t flags = ReadLe32(header_ + 20);
      if (flags & ~(version_ == 2 ? kFlagCut : 0u)) return Damaged("unknown format");
      cut_ = (flags & kFlagCut) != 0;
      if (count_ > capacity_ || out_ == nullptr) return Damaged("more IDs than it may hold");
      continue;
    }
    if (trailerRead_) return Damaged("bytes after its end");
    size_t take = 8 - wordLength_;
    if (take > n) take = n;
    std::memcpy(word_ + wordLength_, bytes, take);
    wordLength_ += take;
    bytes += take;
    n -= take;
    if (wordLength_ < 8) return true;
    wordLength_ = 0;
    uint64_t word = ReadLe64(word_);
    // The checksum covers everything before the trailer: the trailer is compared, not added.
    bool isTrailer = taken_ == count_;
    if (!TakeWord(word)) return false;
    if (!isTrailer) checksum_ = Fnv1a64(word_, 8, checksum_);
  }
  return true;
}

bool SeenFileReader::End() {
  if (problem_[0] != '\0') return false;
  if (headerLength_ < kSeenFileHeaderSize || !trailerRead_ || wordLength_ != 0) {
    return Damaged("cut short");
  }
  return true;
}

// ----- Writer -----

void SeenFileWriter::Begin(uint64_t account, const uint64_t* hashes, uint32_t count, bool cut) {
  *this = SeenFileWriter{};
  account_ = account;
  cut_ = cut;
  hashes_ = hashes;
  count_ = count;
  checksum_ = kFnvStart;
}

size_t SeenFileWriter::Next(uint8_t* out, size_t size) {
  size_t length = 0;
  if (!headerDone_) {
    if (size < kSeenFileHeaderSize) return 0;
    std::memcpy(out, kMark, 8);
    WriteLe64(out + 8, account_);
    for (int i = 0; i < 4; ++i) out[16 + i] = static_cast<uint8_t>(count_ >> (8 * i));
    const uint32_t flags = cut_ ? kFlagCut : 0;
    for (int i = 0; i < 4; ++i) out[20 + i] = static_cast<uint8_t>(flags >> (8 * i));
    checksum_ = Fnv1a64(out, kSeenFileHeaderSize, checksum_);
    headerDone_ = true;
    length = kSeenFileHeaderSize;
  }
  while (written_ < count_ && size - length >= 8) {
    WriteLe64(out + length, hashes_[written_++]);
    checksum_ = Fnv1a64(out + length, 8, checksum_);
    length += 8;
  }
  if (written_ == count_ && !trailerDone_ && size - length >= 8) {
    WriteLe64(out + length, checksum_);
    trailerDone_ = true;
    length += 8;
  }
  return length;
}

}  // namespace kc
