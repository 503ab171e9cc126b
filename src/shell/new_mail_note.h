// Whether a check found mail the user has not been told of yet, and the notification's texts.
#pragma once
#include <cstddef>
#include <cstdint>

#include "pop3/sender_table.h"

namespace kc {

class SeenIds;

// The notification's title, in code page 932: formatted with the count.
extern const char kNoteTitle[];
// Senders the notification names, one a line.
constexpr int kNoteSenderLines = 3;
// New messages whose IDs are remembered between checks to tell new arrivals from mail the
// user was told of already (8 bytes each). Beyond it the count decides.
constexpr uint32_t kNoteToldCapacity = 1024;

// What one check found, as far as telling the user goes.
struct NoteCheck {
  bool failed = false;
  uint64_t account = 0;  // the server and the user ID, hashed: a new account starts afresh
  int32_t count = 0;     // the count the icon shows: every message, or the new ones
  // The new-only listing: the hashes of every listed ID, ascending, and the seen list they
  // were measured against. Null when the check counted every message.
  const uint64_t* listed = nullptr;
  uint32_t listedCount = 0;
  const SeenIds* seen = nullptr;
};

class NewMailNotice {
 public:
  // True when the check found mail the user was not told of: without the new-only listing a
  // count higher than the last check's; with it, a new message that was not new at the last
  // check. Never for the first check of an account or a way of counting (the baseline), never
  // for a failed check (which changes nothing here), never twice for the same messages.
  bool Judge(const NoteCheck& check);
  // Forgets everything: the next check is a baseline again.
  void Reset() { known_ = false; }

 private:
  void KeepNew(const NoteCheck& check, bool* unseenArrival);

  bool known_ = false;
  uint64_t account_ = 0;
  bool byListing_ = false;
  int32_t lastCount_ = 0;
  uint64_t told_[kNoteToldCapacity] = {};  // the last check's new messages, ascending
  uint32_t toldCount_ = 0;
  bool toldFull_ = false;  // there were more than told_ holds
};

// The title ("新着メール N 通") and the text: the first senders as the display lists them,
// one a line, each cut on a character boundary so that every line fits.
void ComposeNote(int32_t count, const SenderTable& senders, char* title, size_t titleSize,
                 char* text, size_t textSize);

// One account's senders for the notification of several accounts.
struct NoteAccount {
  const char* label = "";
  int32_t count = 0;
  const SenderTable* senders = nullptr;
};

// As ComposeNote, over several accounts: the title gives the total, each sender line begins
// with "<label>: ".
void ComposeAccountsNote(int32_t total, const NoteAccount* accounts, int count, char* title,
                         size_t titleSize, char* text, size_t textSize);

}  // namespace kc
