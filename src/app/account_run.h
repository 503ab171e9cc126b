// What the controller keeps of each account between checks, and what the last check found in
// it. Account 1's seen list and notice judge are the App's own members; the others' live here.
#pragma once
#include <cstdint>
#include <memory>

#include "app/account_tokens.h"
#include "oauth/session.h"
#include "pop3/seen_ids.h"
#include "pop3/sender_table.h"
#include "settings/settings.h"
#include "shell/new_mail_note.h"

namespace kc {

// The longest label: one display row.
constexpr size_t kAccountLabelSize = kAccountNameSize;
// The outcome of one account's check in English, as the console tells it.
constexpr size_t kAccountOutcomeSize = 512;

struct AccountRun {
  // Kept between checks.
  SeenIds* seen = nullptr;           // the new-only option's list (account 1: App::seen)
  NewMailNotice* notice = nullptr;   // what the user was told of (account 1: App::mailNotice)
  std::unique_ptr<SeenIds> ownSeen;  // accounts 2 to 8
  std::unique_ptr<NewMailNotice> ownNotice;
  std::unique_ptr<UidlTally> tally;           // accounts 2 to 8 with the option: their last listing
  std::unique_ptr<AccountTokenStore> tokens;  // the token store, pointed at this account
  std::unique_ptr<OAuthSession> session;
  bool seenLoaded = false;                 // the store was read for seen->account()
  bool markNextCheck = false;              // the mail program was started: the next check marks all
  bool checkMarksAll = false;              // the check under way was asked to mark all
  const UidlTally* lastListing = nullptr;  // the last check's listing, when it read one
  // The server did not answer UIDL: until the settings change, checks of this account do not
  // ask it (said once).
  bool uidlSilent = false;
  bool uidlSilentTold = false;
  uint64_t uidlSilentAccount = 0;
  bool noUidlBoxShown = false;  // the box about a server without UIDL, once per run
  uint64_t noUidlBoxAccount = 0;

  // The check under way or the last one, with more than one account.
  bool planned = false;  // this check runs it (not skipped)
  bool answered = false;
  bool network = false;  // it failed for want of a network
  int32_t count = 0;     // the count it shows: every message, or the new ones
  bool toldNew = false;  // it found mail the user was not told of
  char outcome[kAccountOutcomeSize] = {};
  std::unique_ptr<SenderTable> senders;  // its senders, copied from the poller's
};

// The label of account n (1 to 8): its NAME when set, else its USER up to the first '@'; at
// most 16 bytes, each printable ASCII or half-width katakana (any other byte becomes '?'); the
// account's number when that leaves nothing.
void AccountLabel(const Settings& settings, int n, char* out, size_t size);

// Why account n cannot be checked, for the trace ("no server", "no user", "no password"), or
// null when its settings are complete.
const char* AccountIncomplete(const AccountSettings& account);

// The earlier complete account (1 to n - 1) with the same server, port (PORT, else the usual
// one for the TLS mode) and user as account n, or 0. Server names compare without case.
int SameMailboxAs(const Settings& settings, int n);

}  // namespace kc
