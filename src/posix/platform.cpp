#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pop3/winsock_errors.h"
#include "posix/backends.h"
#include "posix/files.h"

namespace kc::posix {

std::string NameWinSockNumbers(const char* text) {
  std::string out;
  AppendNamingWinSockNumbers(out, text);
  return out;
}

void AppendNamingWinSockNumbers(std::string& out, const char* text) {
  const char* p = text;
  for (;;) {
    const char* colon = std::strchr(p, ':');
    if (colon == nullptr) {
      out.append(text);
      return;
    }
    p = colon + 1;
    if (*p != ' ') continue;
    ++p;
    out.append(text, static_cast<size_t>(p - text));
    const char* digits = p;
    int number = 0;
    while (*p >= '0' && *p <= '9' && p - digits < 6) number = number * 10 + (*p++ - '0');
    out.append(digits, static_cast<size_t>(p - digits));
    text = p;
    if (p - digits != 5 || (*p >= '0' && *p <= '9')) continue;
    if (const char* name = WinSockErrorName(number)) {
      out += " (";
      out += name;
      out += ")";
    }
  }
}

namespace {
StderrTrace* currentTrace = nullptr;
// A trace that grows beyond this inside one event is written at once.
constexpr size_t kTraceFlushSize = 64 * 1024;
}  // namespace

StderrTrace::StderrTrace() {
  pending_.reserve(kTraceFlushSize);
  currentTrace = this;
}

StderrTrace::~StderrTrace() {
  Flush();
  if (currentTrace == this) currentTrace = nullptr;
}

void StderrTrace::Trace(const char* text) {
  AppendNamingWinSockNumbers(pending_, text);
  if (pending_.size() >= kTraceFlushSize) Flush();
}

void StderrTrace::Flush() {
  const char* p = pending_.data();
  size_t length = pending_.size();
  while (length > 0) {
    ssize_t n = write(STDERR_FILENO, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    length -= static_cast<size_t>(n);
  }
  pending_.clear();
}

void StderrTrace::FlushCurrent() {
  if (currentTrace != nullptr) currentTrace->Flush();
}

void TellUser(const std::string& line) { WriteAll(STDOUT_FILENO, line + "\n"); }

namespace {

// One converter per direction, opened on first use and kept: opening one costs a large block.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  std::string Convert(const char* text, size_t length) {
    if (!ok()) return std::string(text, length);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    std::string out;
    std::string in(text, length);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char buffer[512];
    while (inLeft > 0) {
      char* outPtr = buffer;
      size_t outLeft = sizeof buffer;
      size_t r = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
      out.append(buffer, sizeof buffer - outLeft);
      if (r == static_cast<size_t>(-1) && errno != E2BIG) {
        out.push_back('?');  // a byte the code page does not know
        ++inPtr;
        --inLeft;
      }
    }
    return out;
  }

 private:
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t cd_;
};

}  // namespace

std::string Cp932ToUtf8(const char* text) {
  static Converter toUtf8("UTF-8", "CP932");
  return toUtf8.Convert(text, std::strlen(text));
}

std::string Utf8ToCp932(const std::string& text) {
  static Converter toCp932("CP932", "UTF-8");
  return toCp932.Convert(text.data(), text.size());
}

void StderrMessageBox::Show(WindowRef, const char* text, const char* caption) {
  StderrTrace::FlushCurrent();
  std::string line = "[" + Cp932ToUtf8(caption) + "] " + Cp932ToUtf8(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

int64_t SystemClock::Now() { return static_cast<int64_t>(time(nullptr)); }

bool SystemClock::ToLocal(int64_t t, LocalTime* out) {
  time_t value = static_cast<time_t>(t);
  tm parts{};
  if (localtime_r(&value, &parts) == nullptr) return false;
  *out = LocalTime{parts.tm_year + 1900, parts.tm_mon, parts.tm_mday, parts.tm_hour,
                   parts.tm_min,         parts.tm_sec, parts.tm_wday};
  return true;
}

uint32_t SystemClock::TickCount() { return static_cast<uint32_t>(EventLoop::NowMs()); }

std::string RuntimeDirFrom(const char* xdgRuntimeDir, const std::string& tmp,
                           const std::string& home, std::string* note) {
  note->clear();
  if (xdgRuntimeDir != nullptr && xdgRuntimeDir[0] == '/') return xdgRuntimeDir;
  // /tmp is shared: another user may have made the name first, to hold the lock there and so
  // keep this program from starting, or to read its socket.
  std::string shared = tmp + "/kestova-" + std::to_string(geteuid());
  std::string why;
  if (MakePrivateDirectory(shared, &why)) return shared;
  if (home.empty()) {
    *note = why + "; no home folder for another place: running without the instance lock";
    return std::string();
  }
  std::string own = home + "/.cache/kestova";
  std::string ownWhy;
  if (MakeDirectories(home + "/.cache") && MakePrivateDirectory(own, &ownWhy)) {
    *note = why + "; the instance lock is kept in " + own + " instead";
    return own;
  }
  if (ownWhy.empty()) ownWhy = home + "/.cache: " + std::strerror(errno);
  *note = why + "; nor can " + ownWhy + ": running without the instance lock";
  return std::string();
}

std::string RuntimeDir() {
  std::string note;
  std::string dir = RuntimeDirFrom(std::getenv("XDG_RUNTIME_DIR"), "/tmp", HomeDirectory(), &note);
  if (!note.empty()) std::fprintf(stderr, "kestova: %s\n", note.c_str());
  return dir;
}

namespace {

int lockFd = -1;
int listenFd = -1;
int listenWatch = 0;
EventLoop* instanceLoop = nullptr;
std::string socketPath;

bool FillAddress(sockaddr_un* address, const std::string& path) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Asks the running instance forward; it answers nothing. True when the request was delivered.
bool AskRunningInstanceForward() {
  sockaddr_un address;
  if (!FillAddress(&address, socketPath)) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // The connection is the request: the running instance comes forward when it accepts it,
  // and may close it before the line below arrives.
  bool asked = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (asked) {
    static const char kRequest[] = "forward\n";
    (void)!write(fd, kRequest, sizeof kRequest - 1);
  }
  close(fd);
  return asked;
}

}  // namespace

int AcquireSingleInstance(const char* name, EventLoop& loop, std::function<void()> onForward,
                          bool* askedForward) {
  *askedForward = false;
  std::string dir = RuntimeDir();
  if (dir.empty()) return 0;  // said why; as a lock that cannot be taken: run unguarded
  std::string base = dir + "/" + name;
  socketPath = base + ".sock";
  lockFd = open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd >= 0 && flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    close(lockFd);
    lockFd = -1;
    *askedForward = AskRunningInstanceForward();
    return -1;
  }
  // As on Windows, a lock that can be neither opened nor taken is not detected: run unguarded.
  sockaddr_un address;
  if (lockFd < 0 || !FillAddress(&address, socketPath)) return 0;
  unlink(socketPath.c_str());
  listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd < 0) return 0;
  if (bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd, 4) != 0) {
    close(listenFd);
    listenFd = -1;
    return 0;
  }
  instanceLoop = &loop;
  listenWatch = loop.Watch(listenFd, POLLIN, [onForward](short) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    close(fd);
    if (onForward) onForward();
  });
  return 0;
}

void ReleaseSingleInstance() {
  if (listenFd >= 0) {
    if (instanceLoop != nullptr) instanceLoop->Unwatch(listenWatch);
    close(listenFd);
    listenFd = -1;
    unlink(socketPath.c_str());
  }
  if (lockFd >= 0) {
    flock(lockFd, LOCK_UN);
    close(lockFd);
    lockFd = -1;
  }
}

}  // namespace kc::posix
