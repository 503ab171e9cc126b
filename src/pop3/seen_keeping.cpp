#include "pop3/seen_keeping.h"

#include <cstdio>

#include "pop3/seen_file.h"
#include "text/bounded.h"

namespace kc {

namespace {

constexpr uint32_t kChunk = 4096;
constexpr uint16_t kPop3Port = 110;
constexpr uint16_t kPop3sPort = 995;

}  // namespace

uint64_t SeenAccountKey(const AccountSettings& s) {
  const int32_t mode = UsesStartTls(s) ? 2 : UsesTls(s) ? 1 : 0;
  uint16_t port = mode == 1 ? kPop3sPort : kPop3Port;
  if (s.port > 0 && s.port <= 0xFFFF) port = static_cast<uint16_t>(s.port);
  return AccountKey(s.server, kServerSize, s.user, kUserSize, port, mode);
}

uint64_t FirstFormAccountKey(const AccountSettings& s) {
  return AccountKey(s.server, kServerSize, s.user, kUserSize);
}

SeenLoad LoadSeenIds(SeenIds& seen, SeenStorePort& store, uint64_t account,
                     uint64_t firstFormAccount, char* line, size_t size) {
  line[0] = '\0';
  seen.Forget(account);
  char why[160] = "";
  const char* where = store.Where();
  switch (store.OpenRead(why, sizeof why)) {
    case SeenStoreOpen::kMissing: return SeenLoad::kMissing;
    case SeenStoreOpen::kFailed:
      std::snprintf(line, size,
                    "list of seen messages %s cannot be read (%s): a new baseline is taken", where,
                    why);
      return SeenLoad::kUnreadable;
    case SeenStoreOpen::kOpened: break;
  }
  uint64_t* area = seen.LoadArea();
  if (area == nullptr) {
    store.CloseRead();
    std::snprintf(line, size, "no memory for the list of seen messages: a new baseline is taken");
    return SeenLoad::kNoMemory;
  }
  SeenFileReader reader;
  reader.Begin(area, kSeenIdCapacity);
  uint8_t buffer[kChunk];
  bool readFailed = false;
  for (;;) {
    int32_t n = store.Read(buffer, sizeof buffer, why, sizeof why);
    if (n < 0) {
      readFailed = true;
      break;
    }
    if (n == 0 || !reader.Feed(buffer, static_cast<size_t>(n))) break;
  }
  store.CloseRead();
  if (readFailed) {
    seen.Forget(account);
    std::snprintf(line, size,
                  "list of seen messages %s cannot be read (%s): a new baseline is taken", where,
                  why);
    return SeenLoad::kUnreadable;
  }
  // A list of the first form held no flag: one that filled the bound was cut at it.
  const bool cut = reader.version() == 1 ? reader.count() == kSeenIdCapacity : reader.cut();
  if (!reader.End() || !seen.AdoptLoaded(reader.account(), reader.count(), cut)) {
    seen.Forget(account);
    std::snprintf(line, size, "list of seen messages %s is damaged (%s): a new baseline is taken",
                  where, reader.problem()[0] != '\0' ? reader.problem() : "IDs out of order");
    return SeenLoad::kDamaged;
  }
  const bool ours =
      reader.version() == 1 ? reader.account() == firstFormAccount : reader.account() == account;
  if (!ours) {
    seen.Forget(account);
    std::snprintf(
        line, size,
        "list of seen messages %s is of another server, port or user ID: a new baseline is "
        "taken",
        where);
    return SeenLoad::kOtherAccount;
  }
  // From here on the list is this account's, in whichever form it was read.
  if (reader.version() == 1) seen.AdoptLoaded(account, reader.count(), cut);
  std::snprintf(line, size, "list of seen messages read: %lu IDs from %s",
                static_cast<unsigned long>(seen.size()), where);
  return SeenLoad::kLoaded;
}

bool SaveSeenIds(const SeenIds& seen, SeenStorePort& store, char* line, size_t size) {
  line[0] = '\0';
  char why[160] = "";
  const char* where = store.Where();
  bool ok = store.BeginWrite(why, sizeof why);
  if (ok) {
    SeenFileWriter writer;
    writer.Begin(seen.account(), seen.hashes(), seen.size(), seen.cut());
    uint8_t buffer[kChunk];
    for (size_t n; ok && (n = writer.Next(buffer, sizeof buffer)) != 0;) {
      ok = store.Write(buffer, static_cast<uint32_t>(n), why, sizeof why);
    }
    if (ok) {
      ok = store.Commit(why, sizeof why);
    } else {
      store.Abandon();
    }
  }
  if (!ok) {
    std::snprintf(line, size,
                  "list of seen messages not saved: %s: %s; it is kept in memory until the "
                  "next save",
                  where[0] != '\0' ? where : "(no place)", why);
  }
  return ok;
}

}  // namespace kc
