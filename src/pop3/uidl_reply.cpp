#include "pop3/uidl_reply.h"

#include <cstring>

#include "pop3/seen_ids.h"

namespace kc {

namespace {

// Fnv1a64's constants: the one-pass read of a line must give the same hash.
constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
// One compare: bytes below 0x21 wrap round to large values.
bool IsIdChar(char c) {
  return static_cast<unsigned char>(static_cast<unsigned char>(c) - 0x21) < 0x5E;
}

// How many of the eight bytes at p, from the first, are ID characters (0x21 to 0x7E).
size_t IdCharsOfEight(const unsigned char* p) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  // With the top bits cleared no byte carries into the next: below 0x21 leaves bit 7 clear
  // after adding 0x5F; 0x7F sets it after adding 1; a byte of 0x80 or more has it already.
  const uint64_t low7 = w & ~kHigh;
  const uint64_t fromBang = low7 + 0x5F * kOnes;
  const uint64_t fromDel = low7 + kOnes;
  const uint64_t bad = (~fromBang | fromDel | w) & kHigh;
  return bad == 0 ? 8 : static_cast<size_t>(__builtin_ctzll(bad)) / 8;
#else
  size_t k = 0;
  while (k < 8 && IsIdChar(static_cast<char>(p[k]))) ++k;
  return k;
#endif
}

// How many of the eight bytes at p, from the first, are decimal digits, and their value in
// *value when fewer than eight (eight or more are left to the caller).
size_t DigitsOfEight(const unsigned char* p, uint64_t* value) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  const uint64_t x = w ^ 0x3030303030303030ull;  // a digit becomes 0 to 9
  // A byte is no digit when its high half is set or its low half is above 9 (adding 6 then
  // carries into bit 4; the halves are apart, so nothing carries into the next byte).
  const uint64_t notDigit =
      (x & 0xF0F0F0F0F0F0F0F0ull) |
      (((x & 0x0F0F0F0F0F0F0F0Full) + 0x0606060606060606ull) & 0x1010101010101010ull);
  if (notDigit == 0) return 8;
  const size_t count = static_cast<size_t>(__builtin_ctzll(notDigit)) / 8;
  if (count == 0) return 0;
  // The digits moved to the top bytes (the first the most significant, bytes below it zero),
  // then added up in pairs, fours and the eight.
  uint64_t v = x << (64 - 8 * count);
  v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFull;
  v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFull;
  v = (v * 10000 + (v >> 32)) & 0xFFFFFFFFull;
  *value = v;
  return count;
#else
  uint64_t n = 0;
  size_t k = 0;
  for (; k < 8; ++k) {
    const unsigned digit = p[k] - static_cast<unsigned>('0');
    if (digit > 9) break;
    n = n * 10 + digit;
  }
  *value = n;
  return k;
#endif
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
  entry->hash = Fnv1a64(line + start, idLength, kFnvOffset);
  return true;
}

void UidlListingReader::Reset() {
  first_ = UidlEntry{};
  last_ = UidlEntry{};
  pending_ = UidlEntry{};
  length_ = 0;
  overlong_ = false;
  statusRead_ = false;
  lineStarted_ = false;
}

// Nearly every line of a listing is "<number> <id>" and CR LF: such a line is read, checked
// and hashed in one pass over its bytes. Whatever else it finds (more blanks, a tab, a line
// longer than the line buffer, a line not whole in these bytes) is left to the general path,
// so both give the same entries.
size_t UidlListingReader::TakeUsualLine(const char* bytes, size_t n, UidlListingSink& sink) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  const size_t limit = n < kUidlLineSize ? n : kUidlLineSize;
  size_t i = 0;
  uint64_t number = 0;  // unsigned: eleven digits and more wrap round, and are refused below
  if (limit >= 8) i = DigitsOfEight(p, &number);
  if (i == 8 || limit < 8) {
    i = 0;
    number = 0;
    for (; i < limit; ++i) {
      const unsigned digit = p[i] - static_cast<unsigned>('0');
      if (digit > 9) break;
      number = number * 10 + digit;
    }
  }
  if (i == 0 || i > 10 || number == 0 || number > INT32_MAX) return 0;
  if (i >= limit || p[i] != ' ') return 0;
  const size_t start = ++i;
  uint64_t hash = kFnvOffset;
  // Eight bytes are checked at a time, then hashed one by one (the hash is byte-serial).
  while (limit - i >= 8) {
    const size_t good = IdCharsOfEight(p + i);
    if (good == 8) {
      const unsigned char* q = p + i;
      hash = (hash ^ q[0]) * kFnvPrime;
      hash = (hash ^ q[1]) * kFnvPrime;
      hash = (hash ^ q[2]) * kFnvPrime;
      hash = (hash ^ q[3]) * kFnvPrime;
      hash = (hash ^ q[4]) * kFnvPrime;
      hash = (hash ^ q[5]) * kFnvPrime;
      hash = (hash ^ q[6]) * kFnvPrime;
      hash = (hash ^ q[7]) * kFnvPrime;
      i += 8;
      continue;
    }
    for (size_t k = 0; k < good; ++k) hash = (hash ^ p[i + k]) * kFnvPrime;
    i += good;
    break;
  }
  if (limit - i < 8) {
    for (; i < limit; ++i) {
      const unsigned c = p[i];
      if (c - 0x21u >= 0x5Eu) break;  // one compare: bytes below 0x21 wrap round
      hash = (hash ^ c) * kFnvPrime;
    }
  }
  if (i == start) return 0;
  const size_t end = i;
  if (i < limit && p[i] == '\r') ++i;
  // The line feed may stand just past the kUidlLineSize bytes of the line.
  if (i >= n || p[i] != '\n') return 0;
  UidlEntry entry;
  entry.number = static_cast<int32_t>(number);
  entry.id = bytes + start;
  entry.length = end - start;
  entry.hash = hash;
  Report(entry, sink);
  return i + 1;
}

size_t UidlListingLeastRest(int32_t mailCount, int32_t linesRead, int32_t lastNumber) {
  const int64_t whole = static_cast<int64_t>(mailCount) - linesRead - 1;
  if (whole <= 0) return 0;
  int64_t digits = 1;
  if (lastNumber == linesRead && lastNumber >= 0) {
    for (int64_t next = static_cast<int64_t>(lastNumber) + 1; next >= 10; next /= 10) ++digits;
  }
  return static_cast<size_t>(whole * (digits + 3) + 2);
}

void UidlListingReader::Feed(const char* bytes, size_t n, UidlListingSink& sink) {
  while (n > 0) {
    if (statusRead_ && length_ == 0) {
      const size_t used = TakeUsualLine(bytes, n, sink);
      if (used != 0) {
        bytes += used;
        n -= used;
        continue;
      }
    }
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
      KeepLast();  // the last entry may stand in line_
      size_t room = sizeof line_ - length_;
      size_t take = piece < room ? piece : room;
      std::memcpy(line_ + length_, bytes, take);
      length_ += take;
      if (take < piece) overlong_ = true;
    }
    if (lf == nullptr) break;
    EndLine(sink);
    bytes += piece + 1;
    n -= piece + 1;
  }
  KeepLast();
}

void UidlListingReader::Finish(UidlListingSink& sink) {
  if (lineStarted_) EndLine(sink);
  KeepLast();
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
    Report(entry, sink);
  } else {
    sink.OnMalformed(line, length, false);
  }
}

void UidlListingReader::Report(const UidlEntry& entry, UidlListingSink& sink) {
  if (first_.number == 0) {
    first_ = entry;
    first_.length = entry.length < sizeof firstId_ ? entry.length : sizeof firstId_;
    std::memcpy(firstId_, entry.id, first_.length);
    first_.id = firstId_;
  }
  pending_ = entry;
  sink.OnEntry(entry);
}

void UidlListingReader::KeepLast() {
  if (pending_.number == 0) return;
  last_ = pending_;
  last_.length = pending_.length < sizeof lastId_ ? pending_.length : sizeof lastId_;
  std::memcpy(lastId_, pending_.id, last_.length);
  last_.id = lastId_;
  pending_.number = 0;
}

}  // namespace kc
