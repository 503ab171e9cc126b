// The accounts of a check: their labels, and which of them a check skips.
#include <cstring>

#include "app/account_run.h"
#include "settings/account_identity.h"
#include "text/bounded.h"

namespace kc {

namespace {

// The port a check of the account connects to.
int32_t EffectivePort(const AccountSettings& a) {
  return MailboxPort(a.port, UsesTls(a) && !UsesStartTls(a));
}

}  // namespace

void AccountLabel(const Settings& settings, int n, char* out, size_t size) {
  const AccountSettings& a = AccountAt(settings, n);
  ComposeAccountLabel(a.name, sizeof a.name, a.user, sizeof a.user, n, out, size);
}

const char* AccountIncomplete(const AccountSettings& account) {
  if (account.server[0] == '\0') return "no server";
  if (account.user[0] == '\0') return "no user";
  if (!UsesOAuth(account) && account.password[0] == '\0') return "no password";
  return nullptr;
}

int SameMailboxAs(const Settings& settings, int n) {
  const AccountSettings& a = AccountAt(settings, n);
  for (int earlier = 1; earlier < n; ++earlier) {
    const AccountSettings& b = AccountAt(settings, earlier);
    if (AccountIncomplete(b) == nullptr &&
        SameMailbox(a.server, a.user, EffectivePort(a), b.server, b.user, EffectivePort(b))) {
      return earlier;
    }
  }
  return 0;
}

}  // namespace kc
