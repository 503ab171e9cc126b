#include "pop3/sender.h"

#include <cstring>

#include "text/bounded.h"
#include "text/inert.h"

namespace kc {

namespace {

constexpr char kHeaderName[] = "from";
constexpr uint8_t kHeaderNameLength = sizeof kHeaderName - 1;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Copies length bytes of from into out, leaving line break bytes out (a folded address is one
// address) and the other control bytes inert, cut to outSize - 1 bytes; every byte of out after
// the text is cleared.
void CopyWithoutBreaks(char* out, size_t outSize, const char* from, size_t length) {
  if (outSize == 0) return;
  std::memset(out, 0, outSize);
  size_t n = 0;
  for (size_t i = 0; i < length && n < outSize - 1; ++i) {
    if (from[i] != '\r' && from[i] != '\n') out[n++] = from[i];
  }
  MakeInert(out, n);
}

}  // namespace

void FromCollector::Reset() {
  scan_ = Scan::kStatusLine;
  nameMatched_ = 0;
  length_ = 0;
  judged_ = 0;
  text_[0] = '\0';
}

void FromCollector::JudgeValue(bool more) {
  // The value is traced and shown: no byte of it may act on a terminal. Tabs of folding stay,
  // as the breaks do (which are never judged: each is added after everything before it was).
  if (judged_ >= length_) return;
  judged_ += more ? MakeInertSoFar(text_ + judged_, length_ - judged_, "\t")
                  : (MakeInert(text_ + judged_, length_ - judged_, "\t"), length_ - judged_);
}

void FromCollector::Append(char c) {
  if (length_ + 1 >= sizeof text_) return;
  text_[length_++] = c;
  text_[length_] = '\0';
}

void FromCollector::AppendValueBytes(const char* bytes, size_t n) {
  while (n > 0 && length_ + 1 < sizeof text_) {
    // The bytes up to the next CR or NUL go in with one copy; those two never do.
    const void* cr = std::memchr(bytes, '\r', n);
    size_t run = cr != nullptr ? static_cast<size_t>(static_cast<const char*>(cr) - bytes) : n;
    const void* nul = std::memchr(bytes, '\0', run);
    if (nul != nullptr) run = static_cast<size_t>(static_cast<const char*>(nul) - bytes);
    size_t room = sizeof text_ - 1 - length_;
    size_t take = run < room ? run : room;
    std::memcpy(text_ + length_, bytes, take);
    length_ += take;
    // A character may be cut between two pieces of the reply; a full buffer takes no more.
    JudgeValue(length_ + 1 < sizeof text_);
    if (run == n) break;
    bytes += run + 1;  // past the CR or NUL
    n -= run + 1;
  }
  text_[length_] = '\0';
}

void FromCollector::AppendBreak() {
  JudgeValue(false);  // a lead byte before a line break has no trail byte
  // A break is kept whole or not at all.
  if (length_ + 2 >= sizeof text_) return;
  Append('\r');
  Append('\n');
  judged_ = length_;
}

void FromCollector::Finish() { JudgeValue(false); }

void FromCollector::Feed(const char* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char c = data[i];
    switch (scan_) {
      case Scan::kStatusLine:
      case Scan::kSkipLine: {
        // Most of a long header block is lines to pass over: find their ends in one sweep.
        const void* lf = std::memchr(data + i, '\n', n - i);
        if (lf == nullptr) return;
        i = static_cast<size_t>(static_cast<const char*>(lf) - data);
        scan_ = Scan::kLineStart;
        break;
      }
      case Scan::kLineStart:
      case Scan::kOnlyCr:
        if (c == '\n') {
          scan_ = Scan::kDone;  // the blank line: the header block is over
        } else if (c == '\r') {
          scan_ = Scan::kOnlyCr;
        } else if (scan_ == Scan::kLineStart && LowerAscii(c) == kHeaderName[0]) {
          nameMatched_ = 1;
          scan_ = Scan::kName;
        } else {
          scan_ = Scan::kSkipLine;
        }
        break;
      case Scan::kName:
        if (nameMatched_ < kHeaderNameLength && LowerAscii(c) == kHeaderName[nameMatched_]) {
          ++nameMatched_;
        } else if (nameMatched_ == kHeaderNameLength && c == ':') {
          scan_ = Scan::kValueStart;
        } else if (nameMatched_ == kHeaderNameLength && IsBlank(c)) {
          scan_ = Scan::kNameBlank;
        } else {
          scan_ = c == '\n' ? Scan::kLineStart : Scan::kSkipLine;
        }
        break;
      case Scan::kNameBlank:
        if (c == ':') {
          scan_ = Scan::kValueStart;
        } else if (!IsBlank(c)) {
          scan_ = c == '\n' ? Scan::kLineStart : Scan::kSkipLine;
        }
        break;
      case Scan::kValueStart:
        if (IsBlank(c)) break;
        scan_ = Scan::kValue;
        [[fallthrough]];
      case Scan::kValue: {
        // The rest of this line of the value, up to its line feed, in one piece.
        const char* line = data + i;
        const void* lf = std::memchr(line, '\n', n - i);
        size_t end = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - data) : n;
        AppendValueBytes(line, end - i);
        if (lf == nullptr) return;
        i = end;
        AppendBreak();
        scan_ = Scan::kAfterBreak;
        break;
      }
      case Scan::kAfterBreak:
        if (IsBlank(c)) {
          Append(c);
          scan_ = Scan::kValue;
        } else {
          scan_ = Scan::kDone;
        }
        break;
      case Scan::kDone: return;
    }
  }
}

size_t ExtractFromText(const char* response, size_t length, char* out, size_t outSize) {
  if (outSize == 0) return 0;
  FromCollector collector;
  collector.Feed(response, length);
  collector.Finish();
  return CopyField(out, outSize, collector.text(), collector.length());
}

void SenderFromText(const char* fromText, char* slot, size_t slotSize) {
  const char* open = std::strchr(fromText, '<');
  const char* close = open != nullptr ? std::strchr(open + 1, '>') : nullptr;
  if (close != nullptr) {
    CopyWithoutBreaks(slot, slotSize, open + 1, static_cast<size_t>(close - open - 1));
    return;
  }
  const char* begin = fromText;
  while (IsBlank(*begin) || *begin == '\r' || *begin == '\n') ++begin;
  const char* end = std::strchr(begin, '\n');
  if (end == nullptr) end = begin + std::strlen(begin);
  CopyWithoutBreaks(slot, slotSize, begin, static_cast<size_t>(end - begin));
}

}  // namespace kc
