// Files of the POSIX back end: reading and writing whole descriptors (going on after
// interruptions), the user's directories, and replacing a file so that it is never half written.
#pragma once
#include <cstddef>
#include <string>

namespace kc::posix {

// Appends what is left to read of fd, to its end, to *out. 0 when all was read; the errno of
// a read that failed; EFBIG as soon as *out holds more than limit bytes.
int ReadToEnd(int fd, size_t limit, std::string* out);

// Writes all length bytes; false when the descriptor takes no more (errno says why).
bool WriteAll(int fd, const char* bytes, size_t length);
inline bool WriteAll(int fd, const std::string& bytes) {
  return WriteAll(fd, bytes.data(), bytes.size());
}

// $HOME when it is an absolute path, else the password database's home; empty when neither.
std::string HomeDirectory();

// The directory part of path: "." without a slash, "/" for a file in the root.
std::string DirectoryOf(const std::string& path);

// Creates the directory and any missing parent, each with mode 0700; errno tells a failure.
bool MakeDirectories(const std::string& dir);

// Makes dir (mode 0700) unless it is there, then makes sure it is a private folder of this user:
// a directory, not a symbolic link, owned by the effective user, with no access for group or
// others. Where it is not, *why says so in words and the result is false. A folder in a shared
// place such as /tmp that another user made first must never hold this user's lock.
bool MakePrivateDirectory(const std::string& dir, std::string* why);

// Replaces a file as a whole: the new content goes to a temporary file (mode 0600) beside the
// target, which Commit flushes and renames over the target before it flushes the directory, so
// after a crash the target holds either the old content or the new one, never a mix. Every
// call returns 0 or the errno of the step that failed; a failed step leaves no temporary file.
// The temporary file has one fixed name (the target's and kTempSuffix), held under a lock
// while it is written: what a crash leaves there is taken over by the next save, and a second
// save of the same file at the same time fails with EBUSY.
class AtomicFileWriter {
 public:
  static constexpr const char* kTempSuffix = ".tmp";

  AtomicFileWriter() = default;
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
  ~AtomicFileWriter() { Abandon(); }

  int Begin(const std::string& path);
  int Write(const char* bytes, size_t length);
  int Commit();
  // Drops the temporary file; the target stays as it was.
  void Abandon();

 private:
  std::string path_;
  std::string temp_;
  int fd_ = -1;
};

}  // namespace kc::posix
