#include "shell/new_mail_note.h"

#include <algorithm>
#include <cstring>

#include "pop3/seen_ids.h"
#include "text/bounded.h"
#include "text/cp932.h"

namespace kc {

const char kNoteTitle[] = "新着メール %d 通";

bool NewMailNotice::Judge(const NoteCheck& check) {
  if (check.failed) return false;
  const bool byListing = check.listed != nullptr && check.seen != nullptr;
  const bool baseline = !known_ || account_ != check.account || byListing_ != byListing;
  bool unseenArrival = false;
  if (byListing) KeepNew(check, &unseenArrival);
  bool tell = false;
  if (!baseline) tell = byListing ? unseenArrival : check.count > lastCount_;
  known_ = true;
  account_ = check.account;
  byListing_ = byListing;
  lastCount_ = check.count;
  return tell;
}

// The new messages of this check are the listed IDs the seen list lacks (both ascending).
// *unseenArrival: one of them was not among the last check's new messages; when those were
// too many to keep, a count higher than the last check's stands for it.
void NewMailNotice::KeepNew(const NoteCheck& check, bool* unseenArrival) {
  const bool compareHashes = !toldFull_;
  uint64_t kept[kNoteToldCapacity];
  uint32_t keptCount = 0;
  bool keptFull = false;
  const uint64_t* seen = check.seen->hashes();
  const uint32_t seenCount = check.seen->known() ? check.seen->size() : 0;
  uint32_t s = 0;
  for (uint32_t i = 0; i < check.listedCount; ++i) {
    const uint64_t hash = check.listed[i];
    while (s < seenCount && seen[s] < hash) ++s;
    if (s < seenCount && seen[s] == hash) continue;
    if (compareHashes && !std::binary_search(told_, told_ + toldCount_, hash)) {
      *unseenArrival = true;
    }
    if (keptCount < kNoteToldCapacity) {
      kept[keptCount++] = hash;
    } else {
      keptFull = true;
    }
  }
  if (!compareHashes) *unseenArrival = check.count > lastCount_;
  std::memcpy(told_, kept, keptCount * sizeof kept[0]);
  toldCount_ = keptCount;
  toldFull_ = keptFull;
}

void ComposeNote(int32_t count, const SenderTable& senders, char* title, size_t titleSize,
                 char* text, size_t textSize) {
  FormatBounded(title, titleSize, kNoteTitle, static_cast<int>(count));
  text[0] = '\0';
  if (textSize == 0) return;
  // Each line gets an equal share of the text, so a long first sender never hides the others.
  const size_t share = (textSize - 1) / kNoteSenderLines;
  size_t used = 0;
  int lines = 0;
  for (int32_t i = 0; i < count && i < kSenderSlots && lines < kNoteSenderLines; ++i) {
    const char* sender = senders.slot[i];
    const size_t length = strnlen(sender, kSenderSlotSize);
    if (length == 0) continue;
    const size_t room = share - (lines > 0 ? 1 : 0);
    const size_t fit = Cp932Fit(sender, length, room);
    if (lines > 0) text[used++] = '\n';
    std::memcpy(text + used, sender, fit);
    used += fit;
    text[used] = '\0';
    ++lines;
  }
}

void ComposeAccountsNote(int32_t total, const NoteAccount* accounts, int count, char* title,
                         size_t titleSize, char* text, size_t textSize) {
  FormatBounded(title, titleSize, kNoteTitle, static_cast<int>(total));
  if (textSize == 0) return;
  text[0] = '\0';
  const size_t share = (textSize - 1) / kNoteSenderLines;
  size_t used = 0;
  int lines = 0;
  for (int a = 0; a < count && lines < kNoteSenderLines; ++a) {
    const NoteAccount& account = accounts[a];
    if (account.senders == nullptr) continue;
    const size_t labelLength = std::strlen(account.label);
    for (int32_t i = 0; i < account.count && i < kSenderSlots && lines < kNoteSenderLines; ++i) {
      const char* sender = account.senders->slot[i];
      const size_t length = strnlen(sender, kSenderSlotSize);
      if (length == 0) continue;
      const size_t room = share - (lines > 0 ? 1 : 0);
      // The label and its ": " come first; the sender takes what is left of the line.
      if (labelLength + 2 >= room) break;
      if (lines > 0) text[used++] = '\n';
      std::memcpy(text + used, account.label, labelLength);
      used += labelLength;
      text[used++] = ':';
      text[used++] = ' ';
      const size_t fit = Cp932Fit(sender, length, room - labelLength - 2);
      std::memcpy(text + used, sender, fit);
      used += fit;
      text[used] = '\0';
      ++lines;
    }
  }
}

}  // namespace kc
