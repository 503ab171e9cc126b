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

// Replaces a file as a whole: the new content goes to a temporary file (mode 0600) beside the
// target, which Commit flushes and renames over the target before it flushes the directory, so
// after a crash the target holds either the old content or the new one, never a mix. Every
// call returns 0 or the errno of the step that failed; a failed step leaves no temporary file.
class AtomicFileWriter {
 public:
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
