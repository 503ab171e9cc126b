// The sender of a message, from the header block of its TOP reply.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

// The From: text kept of one reply: its value with its folded continuation lines.
constexpr size_t kFromTextSize = 4096;

// Reads the bytes of one TOP reply, status line first, in pieces of any size, and keeps the
// value of its first From: header, in fixed memory:
// - the header is the first line of the header block whose name is "From" in any case,
//   optionally followed by blanks, then a colon; the status line is not a header, and the
//   search ends at the blank line that ends the header block;
// - the value starts after the colon and the blanks that follow it, and goes on over the
//   following lines that begin with a blank or a tab (folding), line breaks included;
// - carriage returns and NUL bytes are never part of it: every line break is kept as CR LF;
// - every other control byte but the tab, and every C1 byte that starts no code page 932
//   character, is replaced with '?' (text/inert.h);
// - text beyond kFromTextSize - 1 bytes is dropped.
class FromCollector {
 public:
  void Reset();
  void Feed(const char* data, size_t n);
  // The reply is over: a last byte that waited for the rest of its character is judged alone.
  void Finish();
  // The value gathered so far, NUL-terminated; empty when no From: header was found.
  const char* text() const { return text_; }
  size_t length() const { return length_; }

 private:
  enum class Scan : uint8_t {
    kStatusLine,  // the reply's own first line
    kLineStart,   // at the start of a header line
    kOnlyCr,      // a line of nothing but carriage returns so far
    kName,        // matching "from"
    kNameBlank,   // "from" and blanks, before the colon
    kSkipLine,    // a line that is not the From: header
    kValueStart,  // after the colon: leading blanks are skipped
    kValue,       // inside a line of the value
    kAfterBreak,  // a line break of the value: the next byte says whether it goes on
    kDone         // the value (or the header block) has ended
  };
  void Append(char c);
  void AppendValueBytes(const char* bytes, size_t n);  // without CR and NUL bytes
  void JudgeValue(bool more);
  void AppendBreak();

  Scan scan_ = Scan::kStatusLine;
  uint8_t nameMatched_ = 0;
  size_t length_ = 0;
  // text_[0, judged_) has been made inert; a lead byte after it waits for its trail byte.
  size_t judged_ = 0;
  char text_[kFromTextSize] = {};
};

// Copies the From: value of a whole reply into out (see FromCollector), cut to fit outSize
// (NUL included), the rest of out cleared. Returns the length of the text in out.
size_t ExtractFromText(const char* response, size_t length, char* out, size_t outSize);

// Puts the sender named by a From text into slot (slotSize bytes, all rewritten): the text
// between the first '<' and the first '>' after it; without such a pair, the first line that
// is not empty, without its leading blanks. Carriage returns and line feeds are left out, every
// other control byte is replaced with '?'. Cut to slotSize - 1 bytes.
void SenderFromText(const char* fromText, char* slot, size_t slotSize);

}  // namespace kc
