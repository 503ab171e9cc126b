// The seen list and one check's listing against it, its stored form, and loading and saving it
// through a store that fails on demand.
#include "pop3/seen_ids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "pop3/seen_file.h"
#include "pop3/seen_keeping.h"
#include "support/fake_seen_store.h"

namespace kc {
namespace {

uint64_t H(const std::string& id) { return Fnv1a64(id.data(), id.size()); }

// A listing of the given IDs (message i + 1 for ids[i]) measured against seen (null: all seen).
void Tally(UidlTally& tally, const std::vector<std::string>& ids, const SeenIds* seen) {
  ASSERT_TRUE(tally.Begin(static_cast<int32_t>(ids.size()), seen));
  for (size_t i = 0; i < ids.size(); ++i) {
    ASSERT_EQ(tally.Add(static_cast<int32_t>(i + 1), H(ids[i])), UidlTally::Added::kTaken);
  }
  tally.End();
}

TEST(SeenIds, FnvMatchesItsPublishedValues) {
  EXPECT_EQ(Fnv1a64("", 0), 0xcbf29ce484222325ull);
  EXPECT_EQ(Fnv1a64("a", 1), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(Fnv1a64("foobar", 6), 0x85944171f73967e8ull);
  EXPECT_NE(AccountKey("ab", 255, "c", 80), AccountKey("a", 255, "bc", 80));
}

// Every hash at the ends of the 64-bit range and between is found, however unevenly the list
// is spread (the search starts where an even spread would put the hash).
TEST(SeenIds, FindsHashesAtTheEndsOfTheRange) {
  const uint64_t top = ~uint64_t{0};
  const std::vector<uint64_t> stored = {0, 1, 1, 2, uint64_t{1} << 63, top - 1, top, top};
  SeenIds seen;
  uint64_t* area = seen.LoadArea();
  ASSERT_NE(area, nullptr);
  std::copy(stored.begin(), stored.end(), area);
  ASSERT_TRUE(seen.AdoptLoaded(7, static_cast<uint32_t>(stored.size()), false));
  const struct {
    uint64_t hash;
    uint32_t at;
    uint32_t count;
  } cases[] = {{0, 0, 1},       {1, 1, 2},       {2, 3, 1},  {3, 0, 0}, {uint64_t{1} << 63, 4, 1},
               {top - 2, 0, 0}, {top - 1, 5, 1}, {top, 6, 2}};
  for (const auto& c : cases) {
    uint32_t count = 99;
    const uint32_t at = seen.Find(c.hash, &count);
    EXPECT_EQ(count, c.count) << c.hash;
    if (c.count != 0) {
      EXPECT_EQ(at, c.at) << c.hash;
    }
  }
  // A list of one.
  area = seen.LoadArea();
  area[0] = top / 3;
  ASSERT_TRUE(seen.AdoptLoaded(7, 1, false));
  EXPECT_EQ(seen.Count(top / 3), 1u);
  EXPECT_EQ(seen.Count(top), 0u);
  EXPECT_EQ(seen.Count(0), 0u);
}

// A fresh instance holds no list; the first listing is a baseline that takes every message.
TEST(SeenIds, BaselineThenNewThenGone) {
  SeenIds seen;
  EXPECT_FALSE(seen.known());
  EXPECT_FALSE(seen.Contains(H("a")));
  UidlTally tally;
  Tally(tally, {"a", "b", "c", "d", "e"}, nullptr);
  EXPECT_EQ(tally.newCount(), 0);
  EXPECT_TRUE(seen.Apply(tally, false));
  EXPECT_TRUE(seen.known());
  EXPECT_EQ(seen.size(), 5u);

  // Two arrive, "b" was deleted by another client.
  Tally(tally, {"a", "c", "d", "e", "f", "g"}, &seen);
  EXPECT_EQ(tally.newCount(), 2);
  ASSERT_EQ(tally.newNumberCount(), 2);
  EXPECT_EQ(tally.newNumbers()[0], 5);
  EXPECT_EQ(tally.newNumbers()[1], 6);
  EXPECT_TRUE(seen.Apply(tally, false));  // "b" dropped
  EXPECT_EQ(seen.size(), 4u);
  EXPECT_FALSE(seen.Contains(H("b")));
  EXPECT_FALSE(seen.Apply(tally, false));  // nothing changes a second time

  // The same listing again: still 2 new, until everything is taken as seen.
  Tally(tally, {"a", "c", "d", "e", "f", "g"}, &seen);
  EXPECT_EQ(tally.newCount(), 2);
  EXPECT_TRUE(seen.Apply(tally, true));
  Tally(tally, {"a", "c", "d", "e", "f", "g"}, &seen);
  EXPECT_EQ(tally.newCount(), 0);
  EXPECT_FALSE(seen.Apply(tally, true));

  // An empty mailbox empties the list, which stays a list (no new baseline).
  Tally(tally, {}, &seen);
  EXPECT_TRUE(seen.Apply(tally, false));
  EXPECT_TRUE(seen.known());
  EXPECT_EQ(seen.size(), 0u);
}

// Past 255 new messages the lowest numbers are fetched, ascending, whatever the listing order;
// numbers outside the mailbox are refused.
TEST(SeenIds, NewNumbersKeepTheLowestAscending) {
  SeenIds seen;
  UidlTally tally;
  Tally(tally, {}, nullptr);
  seen.Apply(tally, false);
  ASSERT_TRUE(tally.Begin(400, &seen));
  for (int32_t n = 400; n >= 1; --n) tally.Add(n, H("m" + std::to_string(n)));
  EXPECT_EQ(tally.Add(0, H("x")), UidlTally::Added::kOutside);
  EXPECT_EQ(tally.Add(401, H("x")), UidlTally::Added::kOutside);
  tally.End();
  EXPECT_EQ(tally.newCount(), 400);
  ASSERT_EQ(tally.newNumberCount(), kSenderSlots);
  for (int i = 0; i < kSenderSlots; ++i) EXPECT_EQ(tally.newNumbers()[i], i + 1);
}

// Beyond the bound the oldest messages count as seen and are not kept; the newest are.
TEST(SeenIds, MailboxBeyondTheBound) {
  const int32_t total = static_cast<int32_t>(kSeenIdCapacity) + 10;
  SeenIds seen;
  UidlTally tally;
  ASSERT_TRUE(tally.Begin(total, nullptr));
  for (int32_t n = 1; n <= total; ++n) tally.Add(n, H(std::to_string(n)));
  tally.End();
  EXPECT_EQ(tally.beyondBound(), 10);
  EXPECT_EQ(tally.size(), kSeenIdCapacity);
  seen.Apply(tally, false);
  EXPECT_EQ(seen.size(), kSeenIdCapacity);
  // One more arrives: it is new, the ten oldest still are not.
  ASSERT_TRUE(tally.Begin(total + 1, &seen));
  for (int32_t n = 1; n <= total + 1; ++n) tally.Add(n, H(std::to_string(n)));
  tally.End();
  EXPECT_EQ(tally.newCount(), 1);
  EXPECT_EQ(tally.beyondBound(), 11);
  EXPECT_EQ(tally.newNumbers()[0], total + 1);
}

// The lookup starts where an even spread of hashes puts it: it must still find every hash, how
// often it stands, and no absent one, however the hashes lie (clustered, at the extremes,
// repeated).
TEST(SeenIds, CountMatchesAPlainSearch) {
  uint64_t state = 88172645463325252ull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  const std::vector<std::vector<uint64_t>> lists = {
      {0},
      {~0ull, ~0ull},
      {0, 0, 1, ~0ull},
      [&] {  // all in a narrow band: far from where an even spread would put them
        std::vector<uint64_t> v;
        for (int i = 0; i < 5000; ++i) v.push_back(0x4000000000000000ull + (next() % 100000));
        return v;
      }(),
      [&] {
        std::vector<uint64_t> v;
        for (uint32_t i = 0; i < kSeenIdCapacity; ++i)
          v.push_back(i % 7 == 0 && i > 0 ? v.back() : next());
        return v;
      }(),
  };
  for (std::vector<uint64_t> list : lists) {
    std::sort(list.begin(), list.end());
    SeenIds seen;
    uint64_t* area = seen.LoadArea();
    ASSERT_NE(area, nullptr);
    std::copy(list.begin(), list.end(), area);
    ASSERT_TRUE(seen.AdoptLoaded(1, static_cast<uint32_t>(list.size()), false));
    std::vector<uint64_t> probes = {0, 1, ~0ull, ~0ull - 1, 0x4000000000000000ull};
    for (size_t i = 0; i < list.size(); i += 1 + list.size() / 3000) {
      probes.push_back(list[i]);
      probes.push_back(list[i] + 1);
      probes.push_back(list[i] - 1);
    }
    for (uint64_t p : probes) {
      auto range = std::equal_range(list.begin(), list.end(), p);
      uint32_t count = 0;
      uint32_t at = seen.Find(p, &count);
      ASSERT_EQ(count, static_cast<uint32_t>(range.second - range.first))
          << p << " in " << list.size();
      if (count != 0) {
        EXPECT_EQ(at, static_cast<uint32_t>(range.first - list.begin())) << p;
      }
    }
  }
}

// A listing that leaves a message out, or is empty against STAT, changes nothing: the next
// whole listing finds no message new.
TEST(SeenIds, ShortListingChangesNothing) {
  SeenIds seen;
  UidlTally tally;
  Tally(tally, {"a", "b", "c", "d", "e"}, nullptr);
  ASSERT_TRUE(seen.Apply(tally, false));
  for (int listed : {0, 3}) {
    ASSERT_TRUE(tally.Begin(5, &seen));
    for (int n = 1; n <= listed; ++n)
      tally.Add(n, H(std::string(1, static_cast<char>('a' + n - 1))));
    tally.End();
    EXPECT_FALSE(tally.complete()) << listed;
    EXPECT_FALSE(seen.Apply(tally, false)) << listed;
    EXPECT_FALSE(seen.Apply(tally, true)) << listed;
    EXPECT_EQ(seen.size(), 5u) << listed;
  }
  Tally(tally, {"a", "b", "c", "d", "e"}, &seen);
  EXPECT_EQ(tally.newCount(), 0);
}

// A number given twice counts once, the first entry; new never exceeds the mailbox.
TEST(SeenIds, RepeatedNumberCountsOnce) {
  SeenIds seen;
  UidlTally tally;
  Tally(tally, {"a"}, nullptr);
  seen.Apply(tally, false);
  ASSERT_TRUE(tally.Begin(1, &seen));
  EXPECT_EQ(tally.Add(1, H("a")), UidlTally::Added::kTaken);
  for (int i = 0; i < 39; ++i) {
    EXPECT_EQ(tally.Add(1, H("x" + std::to_string(i))), UidlTally::Added::kRepeated);
  }
  tally.End();
  EXPECT_TRUE(tally.complete());
  EXPECT_EQ(tally.repeated(), 39);
  EXPECT_EQ(tally.newCount(), 0);
  EXPECT_EQ(tally.newNumberCount(), 0);
  // And one number given twice cannot stand in for a message left out.
  ASSERT_TRUE(tally.Begin(2, &seen));
  tally.Add(1, H("a"));
  tally.Add(1, H("b"));
  tally.End();
  EXPECT_FALSE(tally.complete());
}

// A server that gives two messages one ID: the list keeps how often each ID was listed, so a
// third copy is new, one copy deleted leaves one in the list, and the counts are stored.
TEST(SeenIds, IdListedMoreOftenThanSeenIsNew) {
  SeenIds seen;
  UidlTally tally;
  Tally(tally, {"p", "dup", "dup", "q"}, nullptr);
  seen.Apply(tally, false);
  EXPECT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen.Count(H("dup")), 2u);

  Tally(tally, {"p", "dup", "dup", "q", "dup", "r"}, &seen);
  EXPECT_EQ(tally.newCount(), 2);
  ASSERT_EQ(tally.newNumberCount(), 2);
  EXPECT_EQ(tally.newNumbers()[0], 5);  // the later copy is the new one
  EXPECT_EQ(tally.newNumbers()[1], 6);
  EXPECT_FALSE(seen.Apply(tally, false));  // the new ones stay new
  EXPECT_TRUE(seen.Apply(tally, true));
  EXPECT_EQ(seen.Count(H("dup")), 3u);

  Tally(tally, {"p", "dup", "q", "r"}, &seen);  // two copies deleted
  EXPECT_EQ(tally.newCount(), 0);
  EXPECT_TRUE(seen.Apply(tally, false));
  EXPECT_EQ(seen.Count(H("dup")), 1u);
  Tally(tally, {"p", "dup", "q", "r", "dup"}, &seen);
  EXPECT_EQ(tally.newCount(), 1);

  test::FakeSeenStore store;
  char line[512];
  ASSERT_TRUE(SaveSeenIds(seen, store, line, sizeof line)) << line;
  SeenIds again;
  ASSERT_EQ(LoadSeenIds(again, store, seen.account(), 0, line, sizeof line), SeenLoad::kLoaded)
      << line;
  EXPECT_EQ(again.Count(H("dup")), 1u);
  EXPECT_EQ(again.size(), 4u);
}

// A tally kept from check to check settles most messages against its last listing; it must
// reach what a fresh tally reaches by lookups alone, whatever happens to the mailbox between
// checks: arrivals, deletions anywhere, an ID listed twice, a short listing, everything marked.
TEST(SeenIds, LastListingGivesWhatLookupsGive) {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state](uint64_t bound) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state % bound;
  };
  std::vector<std::string> box;
  int made = 0;
  auto arrive = [&](int k) {
    for (int i = 0; i < k; ++i) box.push_back("id" + std::to_string(++made));
  };
  arrive(300);
  SeenIds kept, fresh;
  UidlTally reused;
  {
    UidlTally first;
    Tally(reused, box, nullptr);
    Tally(first, box, nullptr);
    ASSERT_EQ(kept.Apply(reused, false), fresh.Apply(first, false));
  }
  uint32_t carried = 0;
  for (int step = 0; step < 400; ++step) {
    switch (next(8)) {
      case 0: arrive(1 + static_cast<int>(next(3))); break;
      case 1:  // a deletion anywhere renumbers what follows
        if (!box.empty()) box.erase(box.begin() + static_cast<long>(next(box.size())));
        break;
      case 2:
        if (!box.empty()) box.pop_back();
        break;
      case 3:  // a copy with an ID the mailbox has already
        if (!box.empty()) box.push_back(box[next(box.size())]);
        break;
      case 4: {  // a listing cut short: neither list may change
        ASSERT_TRUE(reused.Begin(static_cast<int32_t>(box.size()) + 1, &kept));
        for (size_t i = 0; i < box.size(); ++i) reused.Add(static_cast<int32_t>(i + 1), H(box[i]));
        reused.End();
        ASSERT_FALSE(kept.Apply(reused, false));
        break;
      }
      default: break;  // nothing changed
    }
    UidlTally once;
    Tally(reused, box, &kept);
    Tally(once, box, &fresh);
    carried += reused.carriedCount();
    ASSERT_EQ(reused.newCount(), once.newCount()) << step;
    ASSERT_EQ(reused.newNumberCount(), once.newNumberCount()) << step;
    for (int i = 0; i < once.newNumberCount(); ++i) {
      ASSERT_EQ(reused.newNumbers()[i], once.newNumbers()[i]) << step;
    }
    const bool markAll = next(10) == 0;
    ASSERT_EQ(kept.Apply(reused, false), fresh.Apply(once, false)) << step;
    if (markAll) {
      ASSERT_EQ(kept.Apply(reused, true), fresh.Apply(once, true)) << step;
    }
    ASSERT_EQ(std::vector<uint64_t>(kept.hashes(), kept.hashes() + kept.size()),
              std::vector<uint64_t>(fresh.hashes(), fresh.hashes() + fresh.size()))
        << step;
  }
  // Most checks found the mailbox as the last one left it.
  EXPECT_GT(carried, 300u * 100u);
}

// Past the bound: 70,000 messages, the 100 newest deleted. The 100 older ones that move inside
// the window are not new; one that arrives after is; the list keeps its mark across a save.
TEST(SeenIds, OlderMessagesMovingInsideTheWindowAreNotNew) {
  std::vector<std::string> ids;
  for (int n = 1; n <= 70000; ++n) ids.push_back("m" + std::to_string(n));
  SeenIds seen;
  UidlTally tally;
  Tally(tally, ids, nullptr);
  seen.Apply(tally, false);
  EXPECT_TRUE(seen.cut());
  ids.resize(69900);
  Tally(tally, ids, &seen);
  EXPECT_EQ(tally.newCount(), 0);
  EXPECT_EQ(tally.movedIn(), 100);
  EXPECT_TRUE(seen.Apply(tally, false));  // they are in the list now
  EXPECT_EQ(seen.size(), kSeenIdCapacity);

  test::FakeSeenStore store;
  char line[512];
  ASSERT_TRUE(SaveSeenIds(seen, store, line, sizeof line)) << line;
  SeenIds again;
  ASSERT_EQ(LoadSeenIds(again, store, seen.account(), 0, line, sizeof line), SeenLoad::kLoaded);
  EXPECT_TRUE(again.cut());
  ids.resize(69800);
  ids.push_back("arrived");
  Tally(tally, ids, &again);
  EXPECT_EQ(tally.newCount(), 1);
  EXPECT_EQ(tally.movedIn(), 99);  // the window starts at 4,266 now, the list at 4,365
  ASSERT_EQ(tally.newNumberCount(), 1);
  EXPECT_EQ(tally.newNumbers()[0], 69801);
}

// ----- The stored form -----

std::vector<uint8_t> Encode(uint64_t account, const std::vector<uint64_t>& hashes,
                            bool cut = false) {
  SeenFileWriter writer;
  writer.Begin(account, hashes.data(), static_cast<uint32_t>(hashes.size()), cut);
  std::vector<uint8_t> out;
  uint8_t buffer[40];
  for (size_t n; (n = writer.Next(buffer, sizeof buffer)) != 0;)
    out.insert(out.end(), buffer, buffer + n);
  return out;
}

// A list as the first stored form had it: "KCSEEN1\n", the key of server and user, each ID once.
std::vector<uint8_t> FirstForm(uint64_t account, const std::vector<uint64_t>& hashes) {
  std::vector<uint8_t> bytes = Encode(account, hashes);
  bytes[6] = '1';
  const size_t body = bytes.size() - kSeenFileTrailerSize;
  uint64_t sum = Fnv1a64(bytes.data(), body);
  for (size_t i = 0; i < 8; ++i) bytes[body + i] = static_cast<uint8_t>(sum >> (8 * i));
  return bytes;
}

bool Decode(const std::vector<uint8_t>& bytes, size_t piece, std::vector<uint64_t>* out,
            std::string* problem, uint32_t capacity = 16) {
  std::vector<uint64_t> area(capacity);
  SeenFileReader reader;
  reader.Begin(area.data(), capacity);
  bool ok = true;
  for (size_t at = 0; ok && at < bytes.size(); at += piece) {
    ok = reader.Feed(bytes.data() + at, std::min(piece, bytes.size() - at));
  }
  ok = reader.End();
  *problem = reader.problem();
  out->assign(area.begin(), area.begin() + (ok ? reader.count() : 0));
  return ok;
}

TEST(SeenFile, RoundTripInAnyPieces) {
  const std::vector<uint64_t> hashes = {1, 2, 0x8000000000000000ull, ~0ull};
  std::vector<uint8_t> bytes = Encode(42, hashes);
  EXPECT_EQ(bytes.size(), kSeenFileHeaderSize + 4 * 8 + kSeenFileTrailerSize);
  for (size_t piece : {size_t{1}, size_t{5}, size_t{8}, bytes.size()}) {
    std::vector<uint64_t> got;
    std::string problem;
    EXPECT_TRUE(Decode(bytes, piece, &got, &problem)) << problem;
    EXPECT_EQ(got, hashes);
  }
  std::vector<uint64_t> none;
  std::string problem;
  EXPECT_TRUE(Decode(Encode(42, {}), 3, &none, &problem));
}

// Every way a file can be damaged is found, and named.
TEST(SeenFile, DamageIsFound) {
  const std::vector<uint8_t> good = Encode(7, {10, 20, 30});
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* problem;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}, "cut short"});
  cases.push_back({"cut", std::vector<uint8_t>(good.begin(), good.end() - 3), "cut short"});
  auto flipped = good;
  flipped[kSeenFileHeaderSize + 16] ^= 1;  // 30 becomes 31: still in order
  cases.push_back({"a bit of a hash", flipped, "wrong checksum"});
  auto longer = good;
  longer.push_back(0);
  cases.push_back({"a byte more", longer, "bytes after its end"});
  auto mark = good;
  mark[0] = 'X';
  cases.push_back({"mark", mark, "not a list of seen messages"});
  auto order = Encode(7, {30, 20, 10});
  cases.push_back({"order", order, "IDs out of order"});
  cases.push_back({"twice in the first form", FirstForm(7, {10, 10}), "IDs out of order"});
  auto flags = good;
  flags[20] = 2;  // a flag this program does not know
  cases.push_back({"flags", flags, "unknown format"});
  auto many = good;
  many[16] = 0xFF;  // the count far beyond the capacity
  cases.push_back({"count", many, "more IDs than it may hold"});
  for (const Case& c : cases) {
    std::vector<uint64_t> got;
    std::string problem;
    EXPECT_FALSE(Decode(c.bytes, 4, &got, &problem)) << c.name;
    EXPECT_EQ(problem, c.problem) << c.name;
  }
}

// ----- Loading and saving -----

TEST(SeenKeeping, SavedListLoadsBackAndDamageMeansABaseline) {
  test::FakeSeenStore store;
  SeenIds seen;
  char line[512];
  EXPECT_EQ(LoadSeenIds(seen, store, 1, 0, line, sizeof line), SeenLoad::kMissing);
  EXPECT_STREQ(line, "");
  UidlTally tally;
  Tally(tally, {"a", "b"}, nullptr);
  seen.Apply(tally, false);
  ASSERT_TRUE(SaveSeenIds(seen, store, line, sizeof line)) << line;

  SeenIds again;
  EXPECT_EQ(LoadSeenIds(again, store, 1, 0, line, sizeof line), SeenLoad::kLoaded);
  EXPECT_TRUE(again.known());
  EXPECT_TRUE(again.Contains(H("a")));
  EXPECT_EQ(again.size(), 2u);

  EXPECT_EQ(LoadSeenIds(again, store, 2, 0, line, sizeof line), SeenLoad::kOtherAccount);
  EXPECT_FALSE(again.known());
  EXPECT_NE(std::string(line).find("another server, port or user ID"), std::string::npos) << line;

  store.stored.resize(store.stored.size() - 1);
  EXPECT_EQ(LoadSeenIds(again, store, 1, 0, line, sizeof line), SeenLoad::kDamaged);
  EXPECT_FALSE(again.known());
  EXPECT_STREQ(line,
               "list of seen messages /state/kestova/seen.dat is damaged (cut short): a new "
               "baseline is taken");

  store.failOpen = true;
  EXPECT_EQ(LoadSeenIds(again, store, 1, 0, line, sizeof line), SeenLoad::kUnreadable);
  EXPECT_NE(std::string(line).find("Permission denied"), std::string::npos) << line;
}

TEST(SeenKeeping, FailedWriteKeepsTheStoredListAndSaysWhy) {
  test::FakeSeenStore store;
  SeenIds seen;
  UidlTally tally;
  Tally(tally, {"a"}, nullptr);
  seen.Apply(tally, false);
  char line[512];
  ASSERT_TRUE(SaveSeenIds(seen, store, line, sizeof line));
  const std::vector<uint8_t> before = store.stored;
  Tally(tally, {"a", "b"}, &seen);
  seen.Apply(tally, true);
  store.failWrite = true;
  EXPECT_FALSE(SaveSeenIds(seen, store, line, sizeof line));
  EXPECT_STREQ(line,
               "list of seen messages not saved: /state/kestova/seen.dat: No space left on "
               "device; it is kept in memory until the next save");
  store.failWrite = false;
  store.failCommit = true;
  EXPECT_FALSE(SaveSeenIds(seen, store, line, sizeof line));
  EXPECT_EQ(store.stored, before);
  EXPECT_EQ(seen.size(), 2u);  // the list in memory is whole
}

// The account key tells ports and TLS modes apart; a list of the first form, kept by an earlier
// version under the key of server and user, still loads for that server and user.
TEST(SeenKeeping, KeyHasPortAndTlsAndFirstFormStillLoads) {
  Settings s;
  std::snprintf(s.server, sizeof s.server, "mail.example.org");
  std::snprintf(s.user, sizeof s.user, "bob");
  const uint64_t plain = SeenAccountKey(s);
  s.port = 110;
  EXPECT_EQ(SeenAccountKey(s), plain);  // the port it would use anyway
  s.port = 1110;
  EXPECT_NE(SeenAccountKey(s), plain);
  s.port = 0;
  s.ssl = kSslStartTls;
  EXPECT_NE(SeenAccountKey(s), plain);
  s.ssl = kSslImplicit;
  const uint64_t implicitTls = SeenAccountKey(s);
  s.port = 995;
  EXPECT_EQ(SeenAccountKey(s), implicitTls);
  s.ssl = kSslNone;
  s.port = 0;

  test::FakeSeenStore store;
  store.exists = true;
  std::vector<uint64_t> ab = {H("a"), H("b")};
  std::sort(ab.begin(), ab.end());
  store.stored = FirstForm(FirstFormAccountKey(s), ab);
  SeenIds seen;
  char line[512];
  ASSERT_EQ(LoadSeenIds(seen, store, SeenAccountKey(s), FirstFormAccountKey(s), line, sizeof line),
            SeenLoad::kLoaded)
      << line;
  EXPECT_EQ(seen.account(), SeenAccountKey(s));
  EXPECT_TRUE(seen.Contains(H("a")));
  ASSERT_TRUE(SaveSeenIds(seen, store, line, sizeof line));
  EXPECT_EQ(store.stored[6], '2');  // written in the new form
  std::snprintf(s.user, sizeof s.user, "alice");
  store.stored = FirstForm(AccountKey("mail.example.org", 17, "bob", 4), {1, 2});
  EXPECT_EQ(LoadSeenIds(seen, store, SeenAccountKey(s), FirstFormAccountKey(s), line, sizeof line),
            SeenLoad::kOtherAccount);
}

}  // namespace
}  // namespace kc
