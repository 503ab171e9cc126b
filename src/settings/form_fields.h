// The rules for the settings form's fields that more than one dialog has: the port and the
// certificate pin.
#pragma once
#include <cstdint>

namespace kc {

// The boxes of the form's OK rules, code page 932.
extern const char kIncompleteText[];     // a required field is empty
extern const char kBadPortText[];        // the port is not 1 to 65535 or empty
extern const char kBadPinText[];         // the pin is not a SHA-256 fingerprint or empty
extern const char kOAuthNeedsTlsText[];  // OAuth 2.0 without encryption
extern const char kNoProviderText[];     // OAuth 2.0 without a provider

// Reads a text as an unsigned 32-bit decimal number the way the dialog's number field is read:
// leading blanks skipped, digits up to the first other character; false (and 0) for a text that
// is empty, does not begin with a digit or does not fit in 32 bits.
bool ReadUnsignedNumber(const char* text, uint32_t* value);

// The port field: empty means the service's port (0); otherwise a number from 1 to 65535,
// blanks around it allowed. False for anything else, which the form refuses.
bool ReadPortText(const char* text, int32_t* port);

// The pin field: empty, or the 64 hex digits of a SHA-256 fingerprint with any colons and
// blanks between them, as the connection compares it.
bool PinTextOk(const char* text);

}  // namespace kc
