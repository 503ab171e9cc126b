// What tells accounts apart for the user and for the check: an account's label and whether two
// accounts are one mailbox.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

// A byte the display and the tooltip show as itself: printable ASCII or half-width katakana.
bool LabelByte(unsigned char c);

// An account's label: its name when set, else its user up to the first '@', at most 16 bytes.
// A byte that does not show as itself becomes '?', and both bytes of a double-byte character do
// (its second byte alone could pass for a letter or a katakana that is not there). The account's
// number when that leaves nothing. name and user are NUL-terminated within their sizes.
void ComposeAccountLabel(const char* name, size_t nameSize, const char* user, size_t userSize,
                         long number, char* out, size_t size);

// The port a connection to the account uses: its PORT, else the service's port for the TLS
// mode (995 for TLS from the first byte, 110 for plain text and STLS).
int32_t MailboxPort(int32_t port, bool implicitTls);

// One mailbox: the same server (host names ignore case), port and user. An account without
// server or user is no mailbox yet and never the same as another.
bool SameMailbox(const char* server1, const char* user1, int32_t port1, const char* server2,
                 const char* user2, int32_t port2);

}  // namespace kc
