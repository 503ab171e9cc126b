#include "pop3/uidl_reply.h"

#include <cstring>

namespace kc {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsIdChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 0x21 && u <= 0x7E;
}

}  // namespace

bool ParseUidlLine(const char* line, size_t length, UidlEntry* entry) {
  size_t i = 0;
  int64_t number = 0;
  size_t digits = 0;
  for (; i < length && line[i] >= '0' && line[i] <= '9'; ++i) {
    number = number * 10 + (line[i] - '0');
    if (++digits > 10 || number > INT32_MAX) return false;
  }
  if (digits == 0 || number == 0) return false;
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
  } else {
    UidlEntry entry;
    if (!overlong_ && ParseUidlLine(line_, length_, &entry)) {
      sink.OnEntry(entry);
    } else {
      sink.OnMalformed(line_, length_, overlong_);
    }
  }
  length_ = 0;
  overlong_ = false;
  lineStarted_ = false;
}

}  // namespace kc
