// The sender of a message, from the header block of its TOP reply.
#pragma once
#include <cstddef>

namespace kc {

// Copies the value of the first "From: " header of response (header name and blank matched
// exactly, the header found only at the start of a line) into out, folded continuation lines
// and line breaks included: the value ends before the next line that holds ": ", or at the end
// of the response. Without such a header out is made empty. The copy is cut to fit outSize
// (NUL included). Returns the length of the text in out.
size_t ExtractFromText(const char* response, char* out, size_t outSize);

// Puts the sender named by a From text into slot (slotSize bytes, all rewritten): the text
// between the first '<' and the first '>' after it; without such a pair, the text before the
// first "\r\n", else before the first line feed, else all of it. Cut to slotSize - 1 bytes.
void SenderFromText(const char* fromText, char* slot, size_t slotSize);

}  // namespace kc
