// The notification of new mail: judged after every check, shown only with the NOTIFY option.
#include "app/app.h"
#include "pop3/seen_ids.h"
#include "text/bounded.h"

namespace kc {

void App::TellNewMail(WindowRef window, const CheckResult* result) {
  NoteCheck check;
  check.failed = status.serverError == 1;
  check.account = AccountKey(settings.server, kServerSize, settings.user, kUserSize);
  check.count = status.mailCount;
  if (result != nullptr && result->listingRead && result->listing != nullptr) {
    check.listed = result->listing->hashes();
    check.listedCount = result->listing->size();
    check.seen = &seen;
  }
  // Judged with the option off too, so that turning it on never tells of old mail.
  if (!mailNotice.Judge(check) || settings.notify == 0) return;
  char title[kNoteTitleSize];
  char text[kNoteTextSize];
  ComposeNote(status.mailCount, senders, title, sizeof title, text, sizeof text);
  char line[128];
  FormatBounded(line, sizeof line, "New mail notification: %ld messages\r\n",
                static_cast<long>(status.mailCount));
  platform_.trace.Trace(line);
  platform_.notifier.ShowNewMail(window, title, text);
}

}  // namespace kc
