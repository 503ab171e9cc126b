// Which messages the user has seen: the unique IDs the server gives them (UIDL), kept as
// 64-bit FNV-1a hashes in a sorted array of a fixed bound, and the listing of one check
// measured against them.
//
// Bound: kSeenIdCapacity IDs, 8 bytes each, in each of the two arrays (the seen list and the
// listing of the check under way), four bitmaps of kSeenIdCapacity bits for the listing and
// a 32 KiB index of the list: about 1 MiB in all, taken from the heap the first time a check reads
// a listing (a program without the option takes nothing). A mailbox of up to kSeenIdCapacity
// messages is held whole. In a larger one the oldest messages (the lowest numbers, beyond the last
// kSeenIdCapacity) count as seen and are not kept; mail arrives at the top of the numbering,
// so a new message is always among those kept. Such a list is marked as cut at the bound:
// when deletions bring older messages back inside the window, an unseen message numbered
// below the lowest one the list knows is one of those and counts as seen, not as new.
//
// The list is a multiset: an ID stands in it as often as the server listed it when it was
// taken, so that a server that gives two messages the same ID (against RFC 1939) still shows
// a second copy that arrives later as new.
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
// The server and the user ID, hashed: the account key of lists stored before the port and the
// TLS mode were part of it.
uint64_t AccountKey(const char* server, size_t serverSize, const char* user, size_t userSize);
// The account a list belongs to: server and user (AccountKey), the port the connection goes
// to and the TLS mode (0 none, 1 from the first byte, 2 STLS), so that two servers on one host
// name keep lists of their own.
uint64_t AccountKey(const char* server, size_t serverSize, const char* user, size_t userSize,
                    uint16_t port, int32_t tlsMode);

class UidlTally;

// The seen list: sorted, an ID as often as it was listed.
class SeenIds {
 public:
  // A list exists (loaded from the store, or made by a first check): without one, every
  // message of the next listing is taken as seen.
  bool known() const { return known_; }
  uint64_t account() const { return account_; }
  uint32_t size() const { return count_; }
  const uint64_t* hashes() const { return hashes_.get(); }
  // The list was taken from a mailbox larger than the bound: its oldest messages are not in it.
  bool cut() const { return cut_; }
  // Changes at every change of the list: a listing measured against it can tell that the
  // positions it matched still stand.
  uint32_t generation() const { return generation_; }
  // How often hash stands in the list.
  uint32_t Count(uint64_t hash) const;
  bool Contains(uint64_t hash) const { return Count(hash) != 0; }
  // The first position of hash in hashes() and how often it stands there.
  uint32_t Find(uint64_t hash, uint32_t* count) const;
  // Asks for the memory where Find will look for hash (a hint; does nothing without a list).
  void Prefetch(uint64_t hash) const;

  // No list (a new baseline comes with the next listing).
  void Forget(uint64_t account);
  // The array a stored list is read into (kSeenIdCapacity hashes); null without memory.
  uint64_t* LoadArea();
  // Takes the count hashes read into LoadArea as the list of account; they must be in
  // ascending order, an ID repeated as often as it counts (the store's reader checks that).
  // False, and no list, otherwise.
  bool AdoptLoaded(uint64_t account, uint32_t count, bool cut);

  // The end of a check that read a whole listing: the list becomes what is on the server and
  // was not counted as new; with takeAll every message of the listing becomes seen. True when
  // the list changed (or was made). False, and nothing changed, for a listing that did not
  // cover the mailbox.
  bool Apply(const UidlTally& tally, bool takeAll);

 private:
  bool Allocate();
  void RebuildIndex();

  static constexpr unsigned kIndexBits = 13;
  static constexpr ptrdiff_t kScanLimit = 16;
  static constexpr uint32_t kIndexBuckets = uint32_t{1} << kIndexBits;

  std::unique_ptr<uint64_t[]> hashes_;
  // kIndexBuckets + 1 positions: where each bucket of hashes starts (RebuildIndex).
  std::unique_ptr<uint32_t[]> index_;
  uint32_t count_ = 0;
  uint32_t generation_ = 0;
  bool known_ = false;
  bool cut_ = false;
  uint64_t account_ = 0;
};

// One check's listing: every listed ID's hash, and which messages are new against the list.
//
// A tally used for one check after another keeps the last listing, by message, until the next
// one overwrites it. When the list has not changed since it was made from that listing, a
// message whose ID is the one the same number had last time is settled without a lookup: seen
// if it was seen then, new if it was new. Only the others are looked up in the list. Should one
// of those be in the list (messages renumbered by a deletion, or an ID listed twice), every
// message is matched again at the end by lookups, as without the last listing.
class UidlTally {
 public:
  enum class Added {
    kTaken,
    kOutside,  // a number the mailbox does not have
    kRepeated  // a number the listing gave already: the first entry counts
  };

  // A listing of a mailbox of mailCount messages starts. seen: the list to measure against;
  // null when every message is to be taken as seen (a baseline, or the check that follows the
  // mail program). False without memory.
  bool Begin(int32_t mailCount, const SeenIds* seen);
  Added Add(int32_t number, uint64_t hash);
  // The listing has ended: the new messages are settled and the hashes sorted.
  void End();

  // The listing named every message of the mailbox (each number once): only then may it
  // change the list.
  bool complete() const { return complete_; }
  int32_t mailCount() const { return mailCount_; }
  int32_t newCount() const { return newCount_; }
  // Entries the listing gave for messages of the mailbox, a repeated number once when it is
  // one of those kept.
  int32_t listed() const { return static_cast<int32_t>(inWindow_) + beyondBound_; }
  // Entries whose number the listing had given already.
  int32_t repeated() const { return repeated_; }
  // Messages below the bound: counted as seen, not kept.
  int32_t beyondBound() const { return beyondBound_; }
  // Unseen messages below the lowest one the list knew, in a list cut at the bound: older
  // messages that deletions brought inside the window, counted as seen.
  int32_t movedIn() const { return movedIn_; }
  // The lowest numbers of the new messages, ascending: at most kSenderSlots.
  int32_t newNumberCount() const { return newNumberCount_; }
  const int32_t* newNumbers() const { return newNumbers_; }
  // After End: every hash kept (size()), sorted in two runs: those taken as seen first
  // (keptCount()), then the new ones. The runs are sorted the first time they are asked for:
  // a check that changes nothing, or only drops IDs, never needs them.
  uint32_t size() const { return count_; }
  uint32_t keptCount() const {
    SortRuns();
    return kept_;
  }
  const uint64_t* hashes() const {
    SortRuns();
    return hashes_;
  }
  // The listing was measured against seen as it stands (no change since): matched tells which
  // of its positions the listing named.
  bool MeasuredAgainst(const SeenIds& seen) const {
    return seen_ == &seen && seenGeneration_ == seen.generation();
  }
  bool Matched(uint32_t position) const { return Bit(matchedBits_, position); }
  // Positions of the list the listing named: those matched by a lookup (Matched) and those
  // settled against the last listing, which carry no bit.
  uint32_t matchedCount() const { return matched_ + carried_; }
  // Messages settled against the last listing, without a lookup: when there are any,
  // Matched() does not tell every position the listing named.
  uint32_t carriedCount() const { return carried_; }
  // The list was made from this listing (SeenIds::Apply): the next check of this tally against
  // the same list, unchanged, may settle messages against it.
  void NoteApplied(const SeenIds& seen) const;

 private:
  static constexpr uint32_t kBitWords = kSeenIdCapacity / 64;
  static bool Bit(const uint64_t* bits, uint32_t i) { return (bits[i / 64] >> (i % 64)) & 1u; }
  static void SetBit(uint64_t* bits, uint32_t i) { bits[i / 64] |= uint64_t{1} << (i % 64); }
  static void ClearBit(uint64_t* bits, uint32_t i) { bits[i / 64] &= ~(uint64_t{1} << (i % 64)); }
  void Match(int32_t number, uint64_t hash);
  void MatchAgain();
  void SettleNew();
  void SortRuns() const;

  // One block: the hashes by message (slot = number - low_), then the bitmaps of the slots
  // listed, the slots new, the seen list's positions matched and the slots new in the last
  // listing.
  std::unique_ptr<uint64_t[]> block_;
  uint64_t* hashes_ = nullptr;
  uint64_t* listedBits_ = nullptr;
  uint64_t* newBits_ = nullptr;
  uint64_t* matchedBits_ = nullptr;
  uint64_t* lastNewBits_ = nullptr;
  uint32_t count_ = 0;
  // The last listing, by message in hashes_ and lastNewBits_, may settle messages: slots below
  // lastWindow_ (0: none).
  uint32_t lastWindow_ = 0;
  uint32_t carried_ = 0;
  // A message not settled against the last listing was found in the list: the end matches
  // every message again.
  bool matchAgain_ = false;
  // What SeenIds::Apply made from this listing: the list, its generation then, and the window.
  mutable const SeenIds* appliedTo_ = nullptr;
  mutable uint32_t appliedGeneration_ = 0;
  // Entries whose lookup waits (Add).
  static constexpr uint32_t kLookAhead = 32;
  struct Pending {
    int32_t number;
    uint64_t hash;
  };
  Pending pending_[kLookAhead] = {};
  uint32_t pendingCount_ = 0;
  mutable uint32_t kept_ = 0;
  mutable bool sorted_ = false;
  uint32_t matched_ = 0;
  uint32_t seenGeneration_ = 0;
  const SeenIds* seen_ = nullptr;
  int32_t mailCount_ = 0;
  int32_t low_ = 1;      // the lowest number kept
  uint32_t window_ = 0;  // numbers low_ to mailCount_
  int32_t lowestMatched_ = 0;
  int32_t newCount_ = 0;
  uint32_t inWindow_ = 0;  // numbers of the window listed, each once
  int32_t repeated_ = 0;
  int32_t beyondBound_ = 0;
  int32_t movedIn_ = 0;
  int32_t newNumbers_[kSenderSlots] = {};
  int32_t newNumberCount_ = 0;
  bool complete_ = false;
};

}  // namespace kc
