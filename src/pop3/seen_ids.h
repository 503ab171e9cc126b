// Which messages the user has seen: the unique IDs the server gives them (UIDL), kept as
// 64-bit FNV-1a hashes in a sorted array of a fixed bound, and the listing of one check
// measured against them.
//
// Bound: kSeenIdCapacity IDs, 8 bytes each, in each of the two arrays (the seen list and the
// listing of the check under way): at most 1 MiB in all, taken from the heap the first time a
// check reads a listing (a program without the option takes nothing). A mailbox of up to
// kSeenIdCapacity messages is held whole. In a larger one the oldest messages (the lowest
// numbers, beyond the last kSeenIdCapacity) count as seen and are not kept; mail arrives at
// the top of the numbering, so a new message is always among those kept.
//
// Two different IDs share a hash with a chance of about n*n/2^65 (below 1 in 10^10 for 65,536
// IDs): such a message would count as seen. The hash only tells IDs apart; it guards nothing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pop3/sender_table.h"

namespace kc {

constexpr uint32_t kSeenIdCapacity = 65536;

// 64-bit FNV-1a over the bytes.
uint64_t Fnv1a64(const void* bytes, size_t length, uint64_t start = 0xcbf29ce484222325ull);
// The account a list belongs to: the server and the user ID, hashed.
uint64_t AccountKey(const char* server, size_t serverSize, const char* user, size_t userSize);

class UidlTally;

// The seen list: sorted, no hash twice.
class SeenIds {
 public:
  // A list exists (loaded from the store, or made by a first check): without one, every
  // message of the next listing is taken as seen.
  bool known() const { return known_; }
  uint64_t account() const { return account_; }
  uint32_t size() const { return count_; }
  const uint64_t* hashes() const { return hashes_.get(); }
  bool Contains(uint64_t hash) const;

  // No list (a new baseline comes with the next listing).
  void Forget(uint64_t account);
  // The array a stored list is read into (kSeenIdCapacity hashes); null without memory.
  uint64_t* LoadArea();
  // Takes the count hashes read into LoadArea as the list of account; they must be strictly
  // ascending (the store's reader checks that). False, and no list, otherwise.
  bool AdoptLoaded(uint64_t account, uint32_t count);

  // The end of a check that read a listing: hashes no longer on the server are dropped; with
  // takeAll every message of the listing becomes seen. True when the list changed (or was
  // made).
  bool Apply(const UidlTally& tally, bool takeAll);

 private:
  bool Allocate();

  std::unique_ptr<uint64_t[]> hashes_;
  uint32_t count_ = 0;
  bool known_ = false;
  uint64_t account_ = 0;
};

// One check's listing: every listed ID's hash, and which messages are new against the list.
class UidlTally {
 public:
  // A listing of a mailbox of mailCount messages starts. seen: the list to measure against;
  // null when every message is to be taken as seen (a baseline, or the check that follows the
  // mail program). False without memory.
  bool Begin(int32_t mailCount, const SeenIds* seen);
  // One entry. False when its number is not one of the mailbox's (the caller says so).
  bool Add(int32_t number, uint64_t hash);
  // The listing has ended: the hashes are sorted and each kept once.
  void End();

  bool complete() const { return complete_; }
  int32_t mailCount() const { return mailCount_; }
  int32_t newCount() const { return newCount_; }
  int32_t listed() const { return listed_; }
  // Messages below the bound: counted as seen, not kept.
  int32_t beyondBound() const { return beyondBound_; }
  // The lowest numbers of the new messages, ascending: at most kSenderSlots.
  int32_t newNumberCount() const { return newNumberCount_; }
  const int32_t* newNumbers() const { return newNumbers_; }
  uint32_t size() const { return count_; }
  const uint64_t* hashes() const { return hashes_.get(); }

 private:
  std::unique_ptr<uint64_t[]> hashes_;
  uint32_t count_ = 0;
  const SeenIds* seen_ = nullptr;
  int32_t mailCount_ = 0;
  int32_t newCount_ = 0;
  int32_t listed_ = 0;
  int32_t beyondBound_ = 0;
  int32_t newNumbers_[kSenderSlots] = {};
  int32_t newNumberCount_ = 0;
  bool complete_ = false;
};

}  // namespace kc
