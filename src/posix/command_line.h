// The command line of the mail program as a Windows program would read it.
#pragma once
#include <string>
#include <vector>

namespace kc::posix {

// Splits a command line into argv the way a Windows program parses its own command line:
// the first token ends at the next blank, or at the next quote when it begins with one (no
// escapes in the program name); later tokens are separated by blanks and tabs, quotes group
// and are removed, 2n backslashes before a quote give n backslashes, 2n+1 give n and a
// literal quote, other backslashes are literal, and "" inside a quoted part is a literal quote.
std::vector<std::string> SplitCommandLine(const char* commandLine);

}  // namespace kc::posix
