#include "pop3/seen_ids.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

namespace kc {

namespace {

// The seen list's array: room for kSeenIdCapacity hashes and the padding behind the last one.
uint64_t* NewListArray(size_t padding) {
  return new (std::nothrow) uint64_t[kSeenIdCapacity + padding];
}

// Generations are unique across every list of the process: a tally that remembers a list by
// its address and generation never mistakes another list (another account's, or one made
// later at the same address) for it.
uint32_t NextGeneration() {
  static std::atomic<uint32_t> last{0};
  return ++last;
}

size_t FieldLength(const char* field, size_t size) {
  const void* end = std::memchr(field, '\0', size);
  return end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - field) : size;
}

}  // namespace

uint64_t Fnv1a64(const void* bytes, size_t length, uint64_t start) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  constexpr uint64_t kPrime = 0x100000001b3ull;
  uint64_t h = start;
  size_t i = 0;
  // Four bytes a round: the same hash with a quarter of the loop's own work.
  for (; i + 4 <= length; i += 4) {
    h = (h ^ p[i]) * kPrime;
    h = (h ^ p[i + 1]) * kPrime;
    h = (h ^ p[i + 2]) * kPrime;
    h = (h ^ p[i + 3]) * kPrime;
  }
  for (; i < length; ++i) h = (h ^ p[i]) * kPrime;
  return h;
}

uint64_t AccountKey(const char* server, size_t serverSize, const char* user, size_t userSize) {
  // The NUL between the two keeps "ab"+"c" apart from "a"+"bc".
  uint64_t h = Fnv1a64(server, FieldLength(server, serverSize));
  h = Fnv1a64("", 1, h);
  return Fnv1a64(user, FieldLength(user, userSize), h);
}

uint64_t AccountKey(const char* server, size_t serverSize, const char* user, size_t userSize,
                    uint16_t port, int32_t tlsMode) {
  // A mark byte first, so that no key of this form equals a key of server and user alone.
  const uint8_t tail[] = {0xFF, static_cast<uint8_t>(port & 0xFF), static_cast<uint8_t>(port >> 8),
                          static_cast<uint8_t>(tlsMode)};
  return Fnv1a64(tail, sizeof tail, AccountKey(server, serverSize, user, userSize));
}

// ----- SeenIds -----

bool SeenIds::Allocate() {
  if (!hashes_) hashes_.reset(NewListArray(kScanLimit));
  if (!index_) index_.reset(new (std::nothrow) uint32_t[kIndexBuckets + 1]);
  return hashes_ != nullptr && index_ != nullptr;
}

// The position of the first hash of each bucket (the top kIndexBits bits): a lookup then
// searches the dozen or so hashes of its bucket, however unevenly the IDs' hashes fall.
void SeenIds::RebuildIndex() {
  uint32_t i = 0;
  for (uint32_t b = 0; b < kIndexBuckets; ++b) {
    while (i < count_ && (hashes_[i] >> (64 - kIndexBits)) < b) ++i;
    index_[b] = i;
  }
  index_[kIndexBuckets] = count_;
  // Behind the last hash, kScanLimit of the largest value: Find's fixed-length scan reads them
  // and counts none as below.
  std::fill(hashes_.get() + count_, hashes_.get() + count_ + kScanLimit, ~uint64_t{0});
}

void SeenIds::Prefetch(uint64_t hash) const {
#if defined(__GNUC__)
  if (known_ && count_ != 0) {
    // The bucket's first and last hash: a bucket of a few hashes may cross a cache line.
    const uint32_t bucket = static_cast<uint32_t>(hash >> (64 - kIndexBits));
    const uint32_t first = index_[bucket];
    const uint32_t end = index_[bucket + 1];
    __builtin_prefetch(hashes_.get() + first);
    if (end > first) __builtin_prefetch(hashes_.get() + end - 1);
  }
#else
  (void)hash;
#endif
}

uint32_t SeenIds::Find(uint64_t hash, uint32_t* count) const {
  *count = 0;
  if (!known_ || count_ == 0) return 0;
  const uint64_t* a = hashes_.get();
  const uint32_t bucket = static_cast<uint32_t>(hash >> (64 - kIndexBits));
  const uint64_t* first = a + index_[bucket];
  const uint64_t* end = a + index_[bucket + 1];
  // A bucket holds a few hashes. Those below hash are counted over a fixed kScanLimit
  // positions, without a branch that depends on the data (a scan that stops at the first hash
  // not below mispredicts its exit about once a lookup): the positions past the bucket hold
  // larger hashes (a later bucket, or the padding behind the list). A crowded bucket (IDs whose
  // hashes bunch together) is still searched in logarithmic time.
  if (end - first <= kScanLimit) {
    ptrdiff_t below = 0;
    for (ptrdiff_t i = 0; i < kScanLimit; ++i) below += first[i] < hash ? 1 : 0;
    first += below;
  } else {
    first = std::lower_bound(first, end, hash);
  }
  // Equal hashes share their bucket.
  const uint64_t* last = first;
  while (last != end && *last == hash) ++last;
  *count = static_cast<uint32_t>(last - first);
  return static_cast<uint32_t>(first - a);
}

uint32_t SeenIds::Count(uint64_t hash) const {
  uint32_t count = 0;
  Find(hash, &count);
  return count;
}

void SeenIds::Forget(uint64_t account) {
  generation_ = NextGeneration();
  count_ = 0;
  known_ = false;
  cut_ = false;
  account_ = account;
}

uint64_t* SeenIds::LoadArea() {
  generation_ = NextGeneration();
  known_ = false;
  count_ = 0;
  return Allocate() ? hashes_.get() : nullptr;
}

bool SeenIds::AdoptLoaded(uint64_t account, uint32_t count, bool cut) {
  generation_ = NextGeneration();
  account_ = account;
  known_ = false;
  cut_ = false;
  count_ = 0;
  if (!hashes_ || !index_ || count > kSeenIdCapacity) return false;
  for (uint32_t i = 1; i < count; ++i) {
    if (hashes_[i - 1] > hashes_[i]) return false;
  }
  count_ = count;
  known_ = true;
  cut_ = cut;
  RebuildIndex();
  return true;
}

bool SeenIds::Apply(const UidlTally& tally, bool takeAll) {
  if (!tally.complete() || !Allocate()) return false;
  const bool cut = tally.beyondBound() > 0;
  if (known_ && tally.MeasuredAgainst(*this) && tally.movedIn() == 0 &&
      (!takeAll || tally.newCount() == 0)) {
    // The usual check: what stays is what the listing matched, in place and in order; nothing
    // to sort.
    if (tally.matchedCount() == count_ && cut == cut_) {
      tally.NoteApplied(*this);
      return false;
    }
    // Messages settled against the last listing hold no position; without them, the positions
    // matched are what stays.
    if (tally.carriedCount() == 0) {
      uint32_t kept = 0;
      for (uint32_t i = 0; i < count_; ++i) {
        if (tally.Matched(i)) hashes_[kept++] = hashes_[i];
      }
      count_ = kept;
      cut_ = cut;
      generation_ = NextGeneration();
      RebuildIndex();
      tally.NoteApplied(*this);
      return true;
    }
  }
  const uint64_t* listed = tally.hashes();
  const uint32_t kept = tally.keptCount();
  const uint32_t total = tally.size();
  const uint32_t count = takeAll || !known_ ? total : kept;
  // Unchanged when the same hashes would be written: the two runs are compared in place.
  bool same = known_ && cut_ == cut && count_ == count;
  if (same && (takeAll || !known_)) {
    // Both runs of the listing, merged, against the list.
    uint32_t i = 0, a = 0, b = kept;
    while (same && i < count_) {
      uint64_t next;
      if (b >= total || (a < kept && listed[a] <= listed[b])) {
        next = listed[a++];
      } else {
        next = listed[b++];
      }
      same = hashes_[i++] == next;
    }
  } else if (same) {
    same = count == 0 || std::memcmp(hashes_.get(), listed, count * sizeof(uint64_t)) == 0;
  }
  if (takeAll || !known_) {
    std::merge(listed, listed + kept, listed + kept, listed + total, hashes_.get());
  } else if (count != 0) {
    std::memcpy(hashes_.get(), listed, count * sizeof(uint64_t));
  }
  count_ = count;
  cut_ = cut;
  known_ = true;
  if (!same) {
    generation_ = NextGeneration();
    RebuildIndex();
  }
  tally.NoteApplied(*this);
  return !same;
}

// ----- UidlTally -----

bool UidlTally::Begin(int32_t mailCount, const SeenIds* seen) {
  // The last listing, by message, may settle messages when the list was made from it and has
  // not changed since, and each number keeps its slot.
  const bool carry = seen != nullptr && block_ && complete_ && !sorted_ && appliedTo_ == seen &&
                     appliedGeneration_ == seen->generation();
  const int32_t lastLow = low_;
  const uint32_t lastWindow = window_;
  appliedTo_ = nullptr;
  complete_ = false;
  count_ = 0;
  kept_ = 0;
  sorted_ = false;
  matched_ = 0;
  pendingCount_ = 0;
  seen_ = seen;
  seenGeneration_ = seen != nullptr ? seen->generation() : 0;
  mailCount_ = mailCount < 0 ? 0 : mailCount;
  const int32_t capacity = static_cast<int32_t>(kSeenIdCapacity);
  low_ = mailCount_ > capacity ? mailCount_ - capacity + 1 : 1;
  window_ = static_cast<uint32_t>(mailCount_ - low_ + 1);
  lowestMatched_ = 0;
  newCount_ = 0;
  inWindow_ = 0;
  repeated_ = 0;
  beyondBound_ = 0;
  movedIn_ = 0;
  newNumberCount_ = 0;
  carried_ = 0;
  matchAgain_ = false;
  lastWindow_ = carry && low_ == lastLow ? lastWindow : 0;
  if (!block_) {
    block_.reset(new (std::nothrow) uint64_t[kSeenIdCapacity + 4 * kBitWords]);
    if (!block_) return false;
    hashes_ = block_.get();
    listedBits_ = hashes_ + kSeenIdCapacity;
    newBits_ = listedBits_ + kBitWords;
    matchedBits_ = newBits_ + kBitWords;
    lastNewBits_ = matchedBits_ + kBitWords;
  }
  if (lastWindow_ != 0) {
    std::memcpy(lastNewBits_, newBits_, (lastWindow_ + 63) / 64 * sizeof(uint64_t));
  }
  std::memset(listedBits_, 0, 3 * kBitWords * sizeof(uint64_t));
  return true;
}

void UidlTally::NoteApplied(const SeenIds& seen) const {
  // A listing sorted into runs no longer holds its hashes by message.
  const bool byMessage = complete_ && !sorted_;
  appliedTo_ = byMessage ? &seen : nullptr;
  appliedGeneration_ = byMessage ? seen.generation() : 0;
}

UidlTally::Added UidlTally::Add(int32_t number, uint64_t hash) {
  if (!block_ || number < 1 || number > mailCount_) return Added::kOutside;
  // Only the newest kSeenIdCapacity messages are kept; the older ones count as seen.
  if (number < low_) {
    ++beyondBound_;
    return Added::kTaken;
  }
  const uint32_t slot = static_cast<uint32_t>(number - low_);
  if (Bit(listedBits_, slot)) {
    ++repeated_;
    return Added::kRepeated;
  }
  SetBit(listedBits_, slot);
  ++inWindow_;
  const uint64_t last = hashes_[slot];
  hashes_[slot] = hash;
  if (seen_ == nullptr || matchAgain_) return Added::kTaken;
  if (slot < lastWindow_ && last == hash) {
    // The same ID under the same number as in the last listing: as it was then.
    if (Bit(lastNewBits_, slot)) {
      SetBit(newBits_, slot);
    } else {
      ++carried_;
      if (lowestMatched_ == 0 || number < lowestMatched_) lowestMatched_ = number;
    }
    return Added::kTaken;
  }
  // The lookup of an entry waits until kLookAhead more have come, with the list's memory at
  // its place asked for now: the lookups of a long listing then seldom wait for memory. The
  // entries are matched in the order they came all the same.
  seen_->Prefetch(hash);
  Pending& next = pending_[pendingCount_ % kLookAhead];
  if (pendingCount_ >= kLookAhead) Match(next.number, next.hash);
  next = Pending{number, hash};
  ++pendingCount_;
  return Added::kTaken;
}

// Each position of the list matches one message: an ID listed more often than it was seen
// makes its extra messages new.
void UidlTally::Match(int32_t number, uint64_t hash) {
  uint32_t count = 0;
  uint32_t at = seen_->Find(hash, &count);
  // Its position may be one a message settled against the last listing stands for.
  if (count != 0 && lastWindow_ != 0) matchAgain_ = true;
  for (uint32_t i = at; i < at + count; ++i) {
    if (Bit(matchedBits_, i)) continue;
    SetBit(matchedBits_, i);
    ++matched_;
    if (lowestMatched_ == 0 || number < lowestMatched_) lowestMatched_ = number;
    return;
  }
  SetBit(newBits_, static_cast<uint32_t>(number - low_));
}

void UidlTally::End() {
  complete_ = false;
  if (!block_) return;
  const uint32_t waiting = pendingCount_ < kLookAhead ? pendingCount_ : kLookAhead;
  for (uint32_t k = pendingCount_ - waiting; k < pendingCount_ && !matchAgain_; ++k) {
    const Pending& p = pending_[k % kLookAhead];
    Match(p.number, p.hash);
  }
  pendingCount_ = 0;
  // Every number of the mailbox: the kept window whole, each number once, and as many entries
  // below it as there are messages (those are not kept, so a repeat among them goes unseen).
  if (inWindow_ != window_ || beyondBound_ < low_ - 1) return;
  if (matchAgain_) MatchAgain();
  SettleNew();
  count_ = window_;
  complete_ = true;
}

// Every message of the window looked up in number order, as if there were no last listing.
void UidlTally::MatchAgain() {
  lastWindow_ = 0;
  carried_ = 0;
  matched_ = 0;
  lowestMatched_ = 0;
  std::memset(newBits_, 0, 2 * kBitWords * sizeof(uint64_t));  // and matchedBits_
  for (uint32_t slot = 0; slot < window_; ++slot) {
    if (slot + kLookAhead < window_) seen_->Prefetch(hashes_[slot + kLookAhead]);
    Match(low_ + static_cast<int32_t>(slot), hashes_[slot]);
  }
}

// The new messages: in a list cut at the bound, those below the lowest message the list knew
// are older ones that deletions moved inside the window. The lowest numbers are kept for TOP.
void UidlTally::SettleNew() {
  for (uint32_t w = 0; w * 64 < window_; ++w) {
    uint64_t word = newBits_[w];
    while (word != 0) {
      uint32_t bit = 0;
      while (((word >> bit) & 1u) == 0) ++bit;
      word &= word - 1;
      const uint32_t slot = w * 64 + bit;
      const int32_t number = low_ + static_cast<int32_t>(slot);
      if (seen_ != nullptr && seen_->cut() && (lowestMatched_ == 0 || number < lowestMatched_)) {
        ClearBit(newBits_, slot);
        ++movedIn_;
        continue;
      }
      ++newCount_;
      if (newNumberCount_ < kSenderSlots) newNumbers_[newNumberCount_++] = number;
    }
  }
}

// The hashes by message become two sorted runs: those taken as seen, then the new ones.
void UidlTally::SortRuns() const {
  if (sorted_ || !complete_) return;
  sorted_ = true;
  uint32_t lo = 0;
  uint32_t hi = window_;
  while (lo < hi) {
    if (!Bit(newBits_, lo)) {
      ++lo;
    } else if (Bit(newBits_, hi - 1)) {
      --hi;
    } else {
      std::swap(hashes_[lo], hashes_[hi - 1]);
      ClearBit(newBits_, lo);
      SetBit(newBits_, hi - 1);
      ++lo;
      --hi;
    }
  }
  kept_ = lo;
  std::sort(hashes_, hashes_ + kept_);
  std::sort(hashes_ + kept_, hashes_ + count_);
}

}  // namespace kc
