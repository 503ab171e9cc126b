#include "shell/launcher.h"

#include <cstdio>
#include <cstring>

#include "text/bounded.h"
#include "text/cp932.h"

namespace kc {

namespace {

constexpr size_t kPathSize = 260;       // the work copy of the command: 259 bytes and a NUL
constexpr size_t kPartSize = 256;       // directory, file name and extension: 255 bytes and a NUL
constexpr size_t kLaunchBufSize = 280;  // full path, arguments and command line of the launch
constexpr uint32_t kMsPerMinute = 60000;

// Copies [begin, end) into part, cut to 255 bytes.
void CopyPart(char (&part)[kPartSize], const char* begin, const char* end) {
  CopyBounded(part, kPartSize, begin, static_cast<size_t>(end - begin));
}

// Appends text to out (capacity `size`), cutting what does not fit; returns the new length.
size_t Append(char* out, size_t size, size_t used, const char* text) {
  return used + CopyBounded(out + used, size - used, text);
}

}  // namespace

void SplitProgramPath(const char* path, char* fullPath, char* args) {
  // 1. The work copy, at most 259 bytes.
  char work[kPathSize];
  CopyBounded(work, sizeof work, path);

  // 2. The drive.
  char drive[3] = {};
  const char* rest = work;
  if (work[0] != '\0' && work[1] == ':') {
    drive[0] = work[0];
    drive[1] = work[1];
    rest = work + 2;
  }

  // 3. The last separator and the last dot, stepping over double-byte characters. A lead byte
  // right before the NUL has no trail byte: it is taken as a byte of its own.
  const char* afterSeparator = nullptr;
  const char* lastDot = nullptr;
  const char* p = rest;
  while (*p != '\0') {
    unsigned char c = static_cast<unsigned char>(*p);
    if (IsCp932Lead(c) && p[1] != '\0') {
      p += 2;
      continue;
    }
    if (c == '\\' || c == '/') afterSeparator = p + 1;
    if (c == '.') lastDot = p;
    ++p;
  }
  const char* end = p;

  // 4 to 6. Directory, file name and extension, each cut to 255 bytes.
  char dir[kPartSize];
  char name[kPartSize];
  char ext[kPartSize];
  const char* file = afterSeparator != nullptr ? afterSeparator : rest;
  CopyPart(dir, rest, file);
  if (lastDot != nullptr && lastDot >= file) {
    CopyPart(name, file, lastDot);
    CopyPart(ext, lastDot, end);
  } else {
    CopyPart(name, file, end);
    ext[0] = '\0';
  }

  // 7. Arguments: the extension's text from its first blank on.
  char* blank = std::strchr(ext, ' ');
  if (blank != nullptr) {
    Append(args, kPathSize, 0, blank);
    *blank = '\0';
  }

  // 8. The full path.
  size_t used = Append(fullPath, kPathSize, 0, drive);
  used = Append(fullPath, kPathSize, used, dir);
  used = Append(fullPath, kPathSize, used, name);
  Append(fullPath, kPathSize, used, ext);
}

uint32_t LaunchWaitMs(int32_t interval) {
  if (interval < 0) return 0;
  uint64_t ms = static_cast<uint64_t>(interval / 2) * kMsPerMinute;
  return ms > kMaxLaunchWaitMs ? kMaxLaunchWaitMs : static_cast<uint32_t>(ms);
}

bool Launcher::LaunchMailer(WindowRef window) {
  if (settings_.mailer[0] == '\0') {
    notice_.NoMailProgram();  // nothing else happens, not even the busy picture
    return false;
  }

  char fullPath[kLaunchBufSize] = {};
  char args[kLaunchBufSize] = {};
  SplitProgramPath(settings_.mailer, fullPath, args);
  char commandLine[kLaunchBufSize];
  // Path and arguments are disjoint pieces of the 259-byte setting, so the line always fits.
  if (std::snprintf(commandLine, sizeof commandLine, "\"%s\"%s", fullPath, args) < 0) {
    commandLine[0] = '\0';
  }

  // The busy picture is up before the program starts.
  window_.Send(window, SM_LAUNCH, 0, 0);
  ProcessRef process = process_.Start(fullPath, commandLine);
  // A start that failed has nothing to wait for: the check follows at once.
  if (process != 0) {
    process_.Wait(process, LaunchWaitMs(settings_.interval));
    process_.Close(process);
  }
  window_.Post(window, SM_CHECK, 0, 0);
  return process != 0;
}

}  // namespace kc
