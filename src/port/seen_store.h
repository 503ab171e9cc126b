// Where the list of seen messages is kept between runs: a file of the user's own (Linux:
// $XDG_STATE_HOME/kestova/seen.dat; Windows: %LOCALAPPDATA%\KESTOVA\seen.dat), one for each
// account. Read and
// written in pieces; a write replaces the stored list atomically at Commit, so a reader or a
// crash finds the old list or the new one, never a mix.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

enum class SeenStoreOpen { kOpened, kMissing, kFailed };

class SeenStorePort {
 public:
  virtual ~SeenStorePort() = default;
  // Where the list is kept, for the user's lines; "" when there is no such place.
  virtual const char* Where() = 0;
  // Whose list the calls that follow read and write: 0 the first account's (seen.dat), any
  // other key that account's own file beside it, "seen-<key as 16 lowercase hex digits>.dat".
  virtual void UseAccount(uint64_t /*key*/) {}
  // kFailed: why holds the reason (the system's words).
  virtual SeenStoreOpen OpenRead(char* why, size_t whySize) = 0;
  // Bytes read (up to size), 0 at the end, -1 on a failure (why says which).
  virtual int32_t Read(uint8_t* buffer, uint32_t size, char* why, size_t whySize) = 0;
  virtual void CloseRead() = 0;
  // A new list is written beside the stored one; false (why) when it cannot be.
  virtual bool BeginWrite(char* why, size_t whySize) = 0;
  virtual bool Write(const uint8_t* bytes, uint32_t n, char* why, size_t whySize) = 0;
  // Makes the written list the stored one; false (why) leaves the stored list as it was.
  virtual bool Commit(char* why, size_t whySize) = 0;
  // Drops a write that was begun.
  virtual void Abandon() = 0;
};

}  // namespace kc
