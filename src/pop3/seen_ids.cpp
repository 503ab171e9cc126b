#include "pop3/seen_ids.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kc {

namespace {

uint64_t* NewHashArray() { return new (std::nothrow) uint64_t[kSeenIdCapacity]; }

}  // namespace

uint64_t Fnv1a64(const void* bytes, size_t length, uint64_t start) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  uint64_t h = start;
  for (size_t i = 0; i < length; ++i) {
    h ^= p[i];
    h *= 0x100000001b3ull;
  }
  return h;
}

uint64_t AccountKey(const char* server, size_t serverSize, const char* user, size_t userSize) {
  const void* serverEnd = std::memchr(server, '\0', serverSize);
  const void* userEnd = std::memchr(user, '\0', userSize);
  size_t s = serverEnd != nullptr
                 ? static_cast<size_t>(static_cast<const char*>(serverEnd) - server)
                 : serverSize;
  size_t u =
      userEnd != nullptr ? static_cast<size_t>(static_cast<const char*>(userEnd) - user) : userSize;
  // The NUL between the two keeps "ab"+"c" apart from "a"+"bc".
  uint64_t h = Fnv1a64(server, s);
  h = Fnv1a64("", 1, h);
  return Fnv1a64(user, u, h);
}

// ----- SeenIds -----

bool SeenIds::Allocate() {
  if (!hashes_) hashes_.reset(NewHashArray());
  return hashes_ != nullptr;
}

bool SeenIds::Contains(uint64_t hash) const {
  if (!known_ || count_ == 0) return false;
  return std::binary_search(hashes_.get(), hashes_.get() + count_, hash);
}

void SeenIds::Forget(uint64_t account) {
  count_ = 0;
  known_ = false;
  account_ = account;
}

uint64_t* SeenIds::LoadArea() {
  known_ = false;
  count_ = 0;
  return Allocate() ? hashes_.get() : nullptr;
}

bool SeenIds::AdoptLoaded(uint64_t account, uint32_t count) {
  account_ = account;
  known_ = false;
  count_ = 0;
  if (!hashes_ || count > kSeenIdCapacity) return false;
  for (uint32_t i = 1; i < count; ++i) {
    if (hashes_[i - 1] >= hashes_[i]) return false;
  }
  count_ = count;
  known_ = true;
  return true;
}

bool SeenIds::Apply(const UidlTally& tally, bool takeAll) {
  if (!tally.complete() || !Allocate()) return false;
  const uint64_t* listed = tally.hashes();
  const uint32_t listedCount = tally.size();
  if (takeAll || !known_) {
    bool same = known_ && count_ == listedCount &&
                (listedCount == 0 || std::memcmp(hashes_.get(), listed, listedCount * 8u) == 0);
    if (listedCount != 0) std::memcpy(hashes_.get(), listed, listedCount * sizeof(uint64_t));
    count_ = listedCount;
    known_ = true;
    return !same;
  }
  // Both sorted: what stays is what is on the server still, in place.
  uint32_t kept = 0;
  uint32_t j = 0;
  for (uint32_t i = 0; i < count_; ++i) {
    while (j < listedCount && listed[j] < hashes_[i]) ++j;
    if (j < listedCount && listed[j] == hashes_[i]) hashes_[kept++] = hashes_[i];
  }
  bool changed = kept != count_;
  count_ = kept;
  return changed;
}

// ----- UidlTally -----

bool UidlTally::Begin(int32_t mailCount, const SeenIds* seen) {
  complete_ = false;
  count_ = 0;
  seen_ = seen;
  mailCount_ = mailCount < 0 ? 0 : mailCount;
  newCount_ = 0;
  listed_ = 0;
  beyondBound_ = 0;
  newNumberCount_ = 0;
  if (!hashes_) hashes_.reset(NewHashArray());
  return hashes_ != nullptr;
}

bool UidlTally::Add(int32_t number, uint64_t hash) {
  if (!hashes_ || number < 1 || number > mailCount_) return false;
  ++listed_;
  // Only the newest kSeenIdCapacity messages are kept; the older ones count as seen.
  if (mailCount_ - number >= static_cast<int32_t>(kSeenIdCapacity) || count_ >= kSeenIdCapacity) {
    ++beyondBound_;
    return true;
  }
  hashes_[count_++] = hash;
  if (seen_ == nullptr || seen_->Contains(hash)) return true;
  ++newCount_;
  // The lowest numbers are kept, in ascending order, whatever order the server lists them in.
  int32_t at = newNumberCount_;
  if (at == kSenderSlots) {
    if (number >= newNumbers_[kSenderSlots - 1]) return true;
    --at;
  } else {
    ++newNumberCount_;
  }
  while (at > 0 && newNumbers_[at - 1] > number) {
    newNumbers_[at] = newNumbers_[at - 1];
    --at;
  }
  newNumbers_[at] = number;
  return true;
}

void UidlTally::End() {
  if (hashes_) {
    std::sort(hashes_.get(), hashes_.get() + count_);
    count_ =
        static_cast<uint32_t>(std::unique(hashes_.get(), hashes_.get() + count_) - hashes_.get());
  }
  complete_ = hashes_ != nullptr;
}

}  // namespace kc
