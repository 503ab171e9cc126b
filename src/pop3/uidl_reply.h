// The listing a POP3 server sends in reply to UIDL: one line per message, "<number> <id>",
// after the status line and up to the dot line.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

// RFC 1939 has a server give IDs of 1 to 70 characters of 0x21 to 0x7E. Longer ones are taken
// too, as far as the line fits the line buffer: IDs are only hashed, and a server that breaks
// the limit still has mail to count.
constexpr size_t kUidMaxLength = 70;
// Bytes of a listing line that are kept: a longer line is malformed.
constexpr size_t kUidlLineSize = 128;

struct UidlEntry {
  int32_t number = 0;        // the message number, 1 or more
  const char* id = nullptr;  // not NUL-terminated
  size_t length = 0;
  uint64_t hash = 0;  // Fnv1a64 of the ID, taken while it is read
};

// One line of the listing, its line feed excluded: the number (decimal, 1 to 2147483647), one
// or more blanks, the ID (any length), then nothing but blanks and a carriage return. False for
// any other line.
bool ParseUidlLine(const char* line, size_t length, UidlEntry* entry);

class UidlListingSink {
 public:
  virtual void OnEntry(const UidlEntry& entry) = 0;
  // A line that is not an entry; its first kUidlLineSize bytes at most, overlong tells that
  // there were more.
  virtual void OnMalformed(const char* line, size_t length, bool overlong) = 0;

 protected:
  ~UidlListingSink() = default;
};

// Reads the reply in pieces of any size, as the framing hands them on, with a fixed buffer of
// one line: the status line is passed over, every other line becomes an entry or a malformed
// line. A listing may thus be of any length.
// The fewest bytes the rest of a listing can take when mailCount messages are listed, linesRead
// lines were read whole and the highest number read so far is lastNumber: each line still to
// come holds a number, a blank, an ID of a byte and a line feed, and the dot line ends the
// listing. A line begun in what was read is not counted. While the listing so far is 1 to
// lastNumber in order, the numbers to come are larger and have at least as many digits; else
// one digit is assumed.
size_t UidlListingLeastRest(int32_t mailCount, int32_t linesRead, int32_t lastNumber);

class UidlListingReader {
 public:
  void Reset();
  void Feed(const char* bytes, size_t n, UidlListingSink& sink);
  // The reply has ended (the framing took its dot line away): a last line without its line
  // feed counts as a line.
  void Finish(UidlListingSink& sink);
  // The first and the last entry read since Reset (number 0 when none yet), their IDs held by
  // the reader: valid between calls, after the bytes they came from are gone.
  const UidlEntry& first() const { return first_; }
  const UidlEntry& last() const { return last_; }

 private:
  // The usual line, "<number> <id>" and CR LF (or LF alone) wholly inside bytes, read and
  // hashed in one pass: the bytes it took, line feed included, or 0 for any other line, which
  // the general path then reads.
  size_t TakeUsualLine(const char* bytes, size_t n, UidlListingSink& sink);
  void EndLine(UidlListingSink& sink);
  // One line, its line feed excluded and at most kUidlLineSize bytes: an entry or malformed.
  void TakeLine(const char* line, size_t length, UidlListingSink& sink);
  void Report(const UidlEntry& entry, UidlListingSink& sink);
  // The last entry's ID is copied once, before the bytes it points to can change, not at every
  // entry.
  void KeepLast();

  UidlEntry first_;
  UidlEntry last_;
  UidlEntry pending_;  // the last entry while its ID still points into the caller's bytes
  char firstId_[kUidlLineSize] = {};
  char lastId_[kUidlLineSize] = {};
  char line_[kUidlLineSize] = {};
  size_t length_ = 0;
  bool overlong_ = false;
  bool statusRead_ = false;
  bool lineStarted_ = false;
};

}  // namespace kc
