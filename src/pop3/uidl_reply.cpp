#include "pop3/uidl_reply.h"

#include <cstring>

namespace kc {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
// One compare: bytes below 0x21 wrap round to large values.
bool IsIdChar(char c) {
  return static_cast<unsigned char>(static_cast<unsigned char>(c) - 0x21) < 0x5E;
}

}  // namespace

bool ParseUidlLine(const char* line, size_t length, UidlEntry* entry) {
  size_t i = 0;
  int64_t number = 0;
  size_t digits = 0;
  // Ten digits at most fit an int64_t with room to spare: the range is checked once, after.
  for (; i < length; ++i) {
    const unsigned digit = static_cast<unsigned char>(line[i]) - static_cast<unsigned>('0');
    if (digit > 9) break;
    if (++digits > 10) return false;
    number = number * 10 + digit;
  }
  if (digits == 0 || number == 0 || number > INT32_MAX) return false;
  size_t blanks = i;
  while (i < length && IsBlank(line[i])) ++i;
  if (i == blanks) return false;
  size_t start = i;
  while (i < length && IsIdChar(line[i])) ++i;
  size_t idLength = i - start;
  if (idLength == 0) return false;
  while (i < length && IsBlank(line[i])) ++i;
  if (i < length && line[i] == '\r') ++i;
  if (i != length) return false;
  entry->number = static_cast<int32_t>(number);
  entry->id = line + start;
  entry->length = idLength;
  return true;
}

void UidlListingReader::Reset() {
  length_ = 0;
  overlong_ = false;
  statusRead_ = false;
  lineStarted_ = false;
}

void UidlListingReader::Feed(const char* bytes, size_t n, UidlListingSink& sink) {
  while (n > 0) {
    const char* lf = static_cast<const char*>(std::memchr(bytes, '\n', n));
    size_t piece = lf != nullptr ? static_cast<size_t>(lf - bytes) : n;
    if (lf != nullptr && statusRead_ && length_ == 0 && piece <= sizeof line_) {
      // A whole line that fits the line buffer is read where it stands, without the copy.
      TakeLine(bytes, piece, sink);
      lineStarted_ = false;
      bytes += piece + 1;
      n -= piece + 1;
      continue;
    }
    lineStarted_ = true;
    if (statusRead_) {
      size_t room = sizeof line_ - length_;
      size_t take = piece < room ? piece : room;
      std::memcpy(line_ + length_, bytes, take);
      length_ += take;
      if (take < piece) overlong_ = true;
    }
    if (lf == nullptr) return;
    EndLine(sink);
    bytes += piece + 1;
    n -= piece + 1;
  }
}

void UidlListingReader::Finish(UidlListingSink& sink) {
  if (lineStarted_) EndLine(sink);
}

void UidlListingReader::EndLine(UidlListingSink& sink) {
  if (!statusRead_) {
    statusRead_ = true;  // "+OK ...": the poller has seen it is positive
  } else if (overlong_) {
    sink.OnMalformed(line_, length_, true);
  } else {
    TakeLine(line_, length_, sink);
  }
  length_ = 0;
  overlong_ = false;
  lineStarted_ = false;
}

void UidlListingReader::TakeLine(const char* line, size_t length, UidlListingSink& sink) {
  UidlEntry entry;
  if (ParseUidlLine(line, length, &entry)) {
    sink.OnEntry(entry);
  } else {
    sink.OnMalformed(line, length, false);
  }
}

}  // namespace kc
