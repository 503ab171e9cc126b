// One full mailbox check through the real poller over the POSIX WinSock back end, against the
// POP3 server on 127.0.0.1 at the "pop3" service port, beside a minimal sequential client with
// a blocking socket that sends the same commands. Both are measured in the same run, each in
// a child process of its own so that CPU time and peak memory are its own.
//
//   pop3_bench --messages N [--user U] [--password P] [--runs R] [--rounds K] [--header]
//              [--label TEXT]
//              [--tls [--other-ms MS --other-kib KIB]] [--port P] [--pipelined]
//
// --port sends every client to that port (a latency proxy in front of the server, for one);
// --pipelined measures a third client of our own beside them: the blocking client that sends
// all its TOP commands and QUIT at once (RFC 2449 PIPELINING) and reads the replies in order.
//
// With --tls both speak TLS from the first byte to the "pop3s" port: the poller through its TLS
// port (OpenSSL over memory buffers on the event loop), the baseline as a minimal blocking
// OpenSSL client that verifies the certificate the same way (SSL_CERT_FILE names the trust
// bundle). --other-ms and --other-kib add a third client measured by the caller (Python's
// poplib.POP3_SSL in scripts/bench-pop3.sh) to the row, with its ratio to the baseline.
//
// Prints one row: messages (or the label of the mailbox), median wall time per check of each, their
// ratio, CPU time per steady-state check (set-up and warm-up left out), peak resident memory of
// each process, and the heap allocations of one check (all, and those the poller itself makes,
// outside its calls into the back end and the loop). Run it through scripts/bench-pop3.sh, which
// provides Dovecot in a network namespace of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/check_status.h"
#include "pop3/poller.h"
#include "posix/backends.h"
#include "posix/winsock.h"

// ---- heap allocation counting -------------------------------------------------------------
// The program's own malloc family forwards to glibc's and counts the calls, so one check's
// allocations can be told apart from the set-up's.

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);

namespace {
unsigned long allocations = 0;
unsigned long coreAllocations = 0;
bool inCore = false;
void Count() {
  ++allocations;
  if (inCore) ++coreAllocations;
}
}  // namespace

extern "C" void* malloc(size_t size) noexcept {
  Count();
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) noexcept {
  Count();
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, size_t size) noexcept {
  Count();
  return __libc_realloc(block, size);
}

namespace {

using Clock = std::chrono::steady_clock;

// User + system CPU time of this process so far.
double ProcessCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 + usage.ru_stime.tv_sec * 1e3 +
         usage.ru_stime.tv_usec / 1e3;
}

struct Options {
  int messages = 0;
  std::string user = "kestova";
  std::string password = "secret";
  std::string server = "127.0.0.1";
  int runs = 10;
  int rounds = 3;
  bool header = false;
  bool tls = false;
  double otherMs = 0;  // a third client's median, measured by the caller
  long otherKiB = 0;
  std::string label;  // names the mailbox in place of its count
  int port = 0;       // 0: the service's port
  bool pipelined = false;
};

enum class Client { kPoller, kBaseline, kPipelined };

// What a child reports to the parent.
struct RunReport {
  int ok;
  int checks;
  double wallMs[64];
  double cpuMs;  // user + system of the measured checks, the warm-up and set-up left out
  unsigned long allocations;      // during the last check
  unsigned long coreAllocations;  // of those, inside the poller's handlers
};

class StderrBox final : public kc::MessageBoxPort {
 public:
  void Show(kc::WindowRef, const char* text, const char*) override {
    std::fprintf(stderr, "message box: %s\n", text);
  }
};

// Calls from the poller into its ports leave the poller's own count: what the back end and
// the event loop allocate is counted apart.
struct OutsideCore {
  bool saved = inCore;
  OutsideCore() { inCore = false; }
  ~OutsideCore() { inCore = saved; }
};

class WinSockOutsideCore final : public kc::WinSockPort {
 public:
  explicit WinSockOutsideCore(kc::WinSockPort& inner) : in_(inner) {}
  int Startup(uint16_t w, uint16_t* g) override {
    OutsideCore o;
    return in_.Startup(w, g);
  }
  int Cleanup() override {
    OutsideCore o;
    return in_.Cleanup();
  }
  uintptr_t AsyncGetHostByName(kc::WindowRef w, uint32_t m, const char* n, uint8_t* b,
                               uint32_t l) override {
    OutsideCore o;
    return in_.AsyncGetHostByName(w, m, n, b, l);
  }
  bool FirstAddress(const uint8_t* b, uint8_t a[4]) override {
    OutsideCore o;
    return in_.FirstAddress(b, a);
  }
  kc::SocketRef Socket() override {
    OutsideCore o;
    return in_.Socket();
  }
  int AsyncSelect(kc::SocketRef s, kc::WindowRef w, uint32_t m, long e) override {
    OutsideCore o;
    return in_.AsyncSelect(s, w, m, e);
  }
  bool GetServiceByName(const char* n, const char* p, uint16_t* port) override {
    OutsideCore o;
    return in_.GetServiceByName(n, p, port);
  }
  uint16_t Htons(uint16_t v) override { return in_.Htons(v); }
  int Connect(kc::SocketRef s, const kc::Ipv4Endpoint& to) override {
    OutsideCore o;
    return in_.Connect(s, to);
  }
  int LastError() override { return in_.LastError(); }
  int Send(kc::SocketRef s, const char* d, int l) override {
    OutsideCore o;
    return in_.Send(s, d, l);
  }
  int Recv(kc::SocketRef s, char* b, int l) override {
    OutsideCore o;
    return in_.Recv(s, b, l);
  }
  int Shutdown(kc::SocketRef s, int h) override {
    OutsideCore o;
    return in_.Shutdown(s, h);
  }
  int CloseSocket(kc::SocketRef s) override {
    OutsideCore o;
    return in_.CloseSocket(s);
  }

 private:
  kc::WinSockPort& in_;
};

class TlsOutsideCore final : public kc::TlsPort {
 public:
  explicit TlsOutsideCore(kc::TlsPort& inner) : in_(inner) {}
  bool Begin(const char* h) override {
    OutsideCore o;
    return in_.Begin(h);
  }
  bool Feed(const char* d, size_t n) override {
    OutsideCore o;
    return in_.Feed(d, n);
  }
  kc::TlsStep Handshake() override {
    OutsideCore o;
    return in_.Handshake();
  }
  void Describe(char* p, size_t ps, char* c, size_t cs) override {
    OutsideCore o;
    in_.Describe(p, ps, c, cs);
  }
  void CheckPeer(kc::TlsPeer* peer) override {
    OutsideCore o;
    in_.CheckPeer(peer);
  }
  bool Write(const char* d, size_t n) override {
    OutsideCore o;
    return in_.Write(d, n);
  }
  int Read(char* out, size_t n) override {
    OutsideCore o;
    return in_.Read(out, n);
  }
  size_t TakeOutput(char* out, size_t n) override {
    OutsideCore o;
    return in_.TakeOutput(out, n);
  }
  void Close() override {
    OutsideCore o;
    in_.Close();
  }
  void End() override {
    OutsideCore o;
    in_.End();
  }
  int ErrorCode() override { return in_.ErrorCode(); }
  void ErrorText(char* out, size_t n) override { in_.ErrorText(out, n); }

 private:
  kc::TlsPort& in_;
};

class WindowOutsideCore final : public kc::WindowPort {
 public:
  explicit WindowOutsideCore(kc::WindowPort& inner) : in_(inner) {}
  void Post(kc::WindowRef w, uint32_t m, kc::WParam wp, kc::LParam lp) override {
    OutsideCore o;
    in_.Post(w, m, wp, lp);
  }
  kc::LResult Send(kc::WindowRef w, uint32_t m, kc::WParam wp, kc::LParam lp) override {
    OutsideCore o;
    return in_.Send(w, m, wp, lp);
  }
  void StartTimer(kc::WindowRef w, uint32_t id, uint32_t ms) override {
    OutsideCore o;
    in_.StartTimer(w, id, ms);
  }
  void StopTimer(kc::WindowRef w, uint32_t id) override {
    OutsideCore o;
    in_.StopTimer(w, id);
  }
  void Hide(kc::WindowRef w) override { in_.Hide(w); }
  void Destroy(kc::WindowRef w) override {
    OutsideCore o;
    in_.Destroy(w);
  }
  void PostQuit(int code) override { in_.PostQuit(code); }
  kc::LResult DefaultProc(kc::WindowRef w, uint32_t m, kc::WParam wp, kc::LParam lp) override {
    return in_.DefaultProc(w, m, wp, lp);
  }

 private:
  kc::WindowPort& in_;
};

// ---- the program's way: the poller on the event loop ----------------------------------

bool RunPollerChecks(const Options& o, RunReport* report) {
  kc::posix::EventLoop loop;
  std::unique_ptr<kc::WinSockPort> winsock = kc::posix::MakeWinSock(loop);
  // The program's own trace, written as the program writes it (one write per handled event),
  // to /dev/null: its cost is part of the check's.
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  int savedStderr = dup(STDERR_FILENO);
  if (null >= 0) {
    dup2(null, STDERR_FILENO);
    close(null);
  }
  kc::posix::StderrTrace trace;
  loop.SetAfterDispatch([&trace] { trace.Flush(); });
  StderrBox box;
  kc::posix::SystemClock clock;
  auto settings = std::make_unique<kc::Settings>();
  std::snprintf(settings->server, sizeof settings->server, "%s", o.server.c_str());
  std::snprintf(settings->user, sizeof settings->user, "%s", o.user.c_str());
  std::snprintf(settings->password, sizeof settings->password, "%s", o.password.c_str());
  if (o.tls) settings->ssl = kc::kSslImplicit;
  settings->port = o.port;
  kc::CheckStatus status;
  kc::WindowRef mainWindow = 0;
  WinSockOutsideCore winsockPort(*winsock);
  WindowOutsideCore windowPort(loop);
  std::unique_ptr<kc::TlsPort> tls = kc::posix::MakeTls();
  TlsOutsideCore tlsPort(*tls);
  auto poller = std::make_unique<kc::Poller>(
      kc::PollerPorts{winsockPort, windowPort, box, trace, clock, tlsPort}, *settings, mainWindow);
  bool done = false;
  mainWindow = loop.CreateWindow(
      [&](kc::WindowRef w, uint32_t msg, kc::WParam wp, kc::LParam lp) -> kc::LResult {
        inCore = true;
        switch (msg) {
          case kc::SM_GETHOST: poller->OnGetHost(w, wp, lp); break;
          case kc::SM_SOCKET: poller->OnSocketEvent(w, wp, lp); break;
          case kc::kWmTimer:
            if (wp == kc::TIMER_SERVERWAIT) poller->OnServerWaitTimeout(w);
            break;
          case kc::SM_CHECKDONE:
            poller->StopWinSock();
            if (const kc::CheckResult* result = poller->TakeResult()) {
              status.serverError = result->failed ? 1 : 0;
              status.mailCount = result->mailCount;
            }
            done = true;
            break;
          default: break;
        }
        inCore = false;
        return 0;
      });
  int total = std::min(o.runs, 64);
  double cpuStart = 0;
  for (int i = -1; i < total; ++i) {  // one warm-up check first
    if (i == 0) cpuStart = ProcessCpuMs();
    done = false;
    status.serverError = 0;
    unsigned long before = allocations, coreBefore = coreAllocations;
    Clock::time_point start = Clock::now();
    inCore = true;
    if (poller->StartWinSock()) poller->StartCheck(mainWindow);
    inCore = false;
    loop.RunNested([&] { return done; });
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (status.serverError != 0 || status.mailCount != o.messages) {
      if (savedStderr >= 0) dup2(savedStderr, STDERR_FILENO);
      std::fprintf(stderr, "poller check failed: error %d, count %d\n", status.serverError,
                   static_cast<int>(status.mailCount));
      return false;
    }
    if (i >= 0) report->wallMs[i] = ms;
    report->allocations = allocations - before;
    report->coreAllocations = coreAllocations - coreBefore;
  }
  report->cpuMs = ProcessCpuMs() - cpuStart;
  report->checks = total;
  loop.Destroy(mainWindow);
  trace.Flush();
  if (savedStderr >= 0) dup2(savedStderr, STDERR_FILENO);
  return true;
}

// ---- the baseline: a sequential client with a blocking socket -------------------------

// The baseline's TLS: one context per process, the certificate verified as the poller does.
SSL_CTX* BaselineContext() {
  static SSL_CTX* ctx = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(c);
    return c;
  }();
  return ctx;
}

class BlockingClient {
 public:
  ~BlockingClient() {
    if (ssl_ != nullptr) {
      SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    if (fd_ >= 0) close(fd_);
  }

  bool Connect(const std::string& host, bool tls, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    servent* service = getservbyname(tls ? "pop3s" : "pop3", "tcp");
    address.sin_port =
        service != nullptr ? static_cast<uint16_t>(service->s_port) : htons(tls ? 995 : 110);
    if (port != 0) address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return false;
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      return false;
    }
    if (!tls) return true;
    ssl_ = SSL_new(BaselineContext());
    return ssl_ != nullptr && SSL_set_fd(ssl_, fd_) == 1 &&
           X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str()) == 1 &&
           SSL_connect(ssl_) == 1;
  }

  // Sends a command (when given) and reads its reply up to the terminator; false on error.
  bool Exchange(const char* command, const char* terminator, bool* positive) {
    if (command != nullptr && !Send(command, std::strlen(command))) return false;
    // An RFC 1939 negative reply is one line even where a multi-line reply was asked for.
    for (;;) {
      if (used_ > 0) {
        bool firstLineNegative = buffer_[0] == '-';
        const char* end = firstLineNegative ? "\n" : terminator;
        char* found = static_cast<char*>(memmem(buffer_, used_, end, std::strlen(end)));
        if (found != nullptr) {
          size_t consumed = static_cast<size_t>(found - buffer_) + std::strlen(end);
          *positive = !firstLineNegative;
          reply_.assign(buffer_, consumed);
          std::memmove(buffer_, buffer_ + consumed, used_ - consumed);
          used_ -= consumed;
          return true;
        }
      }
      if (used_ == sizeof buffer_) return false;
      ssize_t n = ssl_ != nullptr
                      ? SSL_read(ssl_, buffer_ + used_, static_cast<int>(sizeof buffer_ - used_))
                      : recv(fd_, buffer_ + used_, sizeof buffer_ - used_, 0);
      if (n <= 0) return false;
      used_ += static_cast<size_t>(n);
    }
  }

  const std::string& reply() const { return reply_; }

  bool Send(const char* bytes, size_t length) {
    while (length > 0) {
      ssize_t sent = ssl_ != nullptr ? SSL_write(ssl_, bytes, static_cast<int>(length))
                                     : send(fd_, bytes, length, MSG_NOSIGNAL);
      if (sent <= 0) return false;
      bytes += sent;
      length -= static_cast<size_t>(sent);
    }
    return true;
  }

 private:
  int fd_ = -1;
  SSL* ssl_ = nullptr;
  char buffer_[65536];
  size_t used_ = 0;
  std::string reply_;
};

bool RunBaselineCheck(const Options& o, bool pipelined) {
  BlockingClient c;
  bool ok = false;
  char command[256];
  if (!c.Connect(o.server, o.tls, o.port) || !c.Exchange(nullptr, "\n", &ok) || !ok) return false;
  std::snprintf(command, sizeof command, "USER %s\r\n", o.user.c_str());
  if (!c.Exchange(command, "\n", &ok) || !ok) return false;
  std::snprintf(command, sizeof command, "PASS %s\r\n", o.password.c_str());
  if (!c.Exchange(command, "\n", &ok) || !ok) return false;
  if (!c.Exchange("STAT\r\n", "\n", &ok) || !ok) return false;
  long count = 0, size = 0;
  if (std::sscanf(c.reply().c_str(), "+OK %ld %ld", &count, &size) != 2 || count != o.messages) {
    return false;
  }
  if (pipelined && count > 0) {
    // Every TOP and QUIT in one send; the replies come back in the same order.
    std::string batch;
    for (long i = 1; i <= std::min(count, 255L); ++i) {
      batch += "TOP " + std::to_string(i) + " 0\r\n";
    }
    batch += "QUIT\r\n";
    if (!c.Send(batch.data(), batch.size())) return false;
    for (long i = 1; i <= std::min(count, 255L); ++i) {
      if (!c.Exchange(nullptr, "\r\n.\r\n", &ok) || !ok) return false;
    }
    return c.Exchange(nullptr, "\n", &ok) && ok;
  }
  for (long i = 1; i <= std::min(count, 255L); ++i) {  // the headers the poller fetches
    std::snprintf(command, sizeof command, "TOP %ld 0\r\n", i);
    if (!c.Exchange(command, "\r\n.\r\n", &ok) || !ok) return false;
  }
  return c.Exchange("QUIT\r\n", "\n", &ok) && ok;
}

bool RunBaselineChecks(const Options& o, bool pipelined, RunReport* report) {
  int total = std::min(o.runs, 64);
  double cpuStart = 0;
  for (int i = -1; i < total; ++i) {
    if (i == 0) cpuStart = ProcessCpuMs();
    unsigned long before = allocations;
    Clock::time_point start = Clock::now();
    if (!RunBaselineCheck(o, pipelined)) {
      std::fprintf(stderr, "baseline check failed\n");
      return false;
    }
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (i >= 0) report->wallMs[i] = ms;
    report->allocations = allocations - before;
    report->coreAllocations = 0;
  }
  report->cpuMs = ProcessCpuMs() - cpuStart;
  report->checks = total;
  return true;
}

// ---- measuring in a child -------------------------------------------------------------

struct Measurement {
  std::vector<double> wallMs;
  double cpuMs = 0;  // user + system of the measured checks (no warm-up, no set-up)
  long peakKiB = 0;  // the child's peak resident set
  int checks = 0;    // including the warm-up
  unsigned long allocations = 0;
  unsigned long coreAllocations = 0;
};

bool MeasureInChild(Client client, const Options& o, Measurement* m) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(pipeFds[0]);
    RunReport report{};
    report.ok = client == Client::kPoller
                    ? RunPollerChecks(o, &report)
                    : RunBaselineChecks(o, client == Client::kPipelined, &report);
    ssize_t n = write(pipeFds[1], &report, sizeof report);
    _exit(n == static_cast<ssize_t>(sizeof report) ? 0 : 1);
  }
  close(pipeFds[1]);
  RunReport report{};
  size_t got = 0;
  while (got < sizeof report) {
    ssize_t n = read(pipeFds[0], reinterpret_cast<char*>(&report) + got, sizeof report - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(pipeFds[0]);
  int waitStatus = 0;
  rusage usage{};
  if (wait4(pid, &waitStatus, 0, &usage) != pid) return false;
  if (got != sizeof report || report.ok == 0) return false;
  m->wallMs.insert(m->wallMs.end(), report.wallMs, report.wallMs + report.checks);
  m->cpuMs += report.cpuMs;
  m->peakKiB = std::max(m->peakKiB, usage.ru_maxrss);
  m->checks += report.checks;
  m->allocations = report.allocations;
  m->coreAllocations = report.coreAllocations;
  return true;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (a != name || i + 1 >= argc) return nullptr;
      return argv[++i];
    };
    const char* v = nullptr;
    if ((v = value("--messages")) != nullptr) {
      o->messages = std::atoi(v);
    } else if ((v = value("--user")) != nullptr) {
      o->user = v;
    } else if ((v = value("--password")) != nullptr) {
      o->password = v;
    } else if ((v = value("--server")) != nullptr) {
      o->server = v;
    } else if ((v = value("--runs")) != nullptr) {
      o->runs = std::max(1, std::atoi(v));
    } else if ((v = value("--rounds")) != nullptr) {
      o->rounds = std::max(1, std::atoi(v));
    } else if ((v = value("--other-ms")) != nullptr) {
      o->otherMs = std::atof(v);
    } else if ((v = value("--other-kib")) != nullptr) {
      o->otherKiB = std::atol(v);
    } else if (a == "--tls") {
      o->tls = true;
    } else if ((v = value("--port")) != nullptr) {
      o->port = std::atoi(v);
    } else if (a == "--pipelined") {
      o->pipelined = true;
    } else if ((v = value("--label")) != nullptr) {
      o->label = v;
    } else if (a == "--header") {
      o->header = true;
    } else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) return 2;
  Measurement poller, baseline, pipelined;
  for (int round = 0; round < o.rounds; ++round) {
    // Alternate which goes first, so neither always meets a warmer server.
    bool pollerFirst = round % 2 == 0;
    for (int k = 0; k < 2; ++k) {
      bool isPoller = (k == 0) == pollerFirst;
      if (!MeasureInChild(isPoller ? Client::kPoller : Client::kBaseline, o,
                          isPoller ? &poller : &baseline)) {
        std::fprintf(stderr, "%s run failed with %d messages\n", isPoller ? "poller" : "baseline",
                     o.messages);
        return 1;
      }
    }
    if (o.pipelined && !MeasureInChild(Client::kPipelined, o, &pipelined)) {
      std::fprintf(stderr, "pipelining run failed with %d messages\n", o.messages);
      return 1;
    }
  }
  double pollerMs = Median(poller.wallMs), baselineMs = Median(baseline.wallMs);
  if (o.header) {
    std::printf("%8s %12s %12s %7s %12s %12s %10s %10s %12s %12s", "messages", "poller ms",
                "baseline ms", "ratio", "poller CPU", "base CPU", "poller KiB", "base KiB",
                "allocs/check", "by poller");
    if (o.otherMs > 0) std::printf(" %10s %7s %10s", "poplib ms", "ratio", "poplib KiB");
    if (o.pipelined) std::printf(" %10s %11s", "pipe ms", "poller/pipe");
    std::printf("\n");
  }
  std::string name = o.label.empty() ? std::to_string(o.messages) : o.label;
  std::printf("%8s %12.3f %12.3f %7.3f %10.3fms %10.3fms %10ld %10ld %12lu %12lu", name.c_str(),
              pollerMs, baselineMs, baselineMs > 0 ? pollerMs / baselineMs : 0.0,
              poller.cpuMs / poller.checks, baseline.cpuMs / baseline.checks, poller.peakKiB,
              baseline.peakKiB, poller.allocations, poller.coreAllocations);
  if (o.otherMs > 0) {
    std::printf(" %10.3f %7.3f %10ld", o.otherMs, baselineMs > 0 ? o.otherMs / baselineMs : 0.0,
                o.otherKiB);
  }
  if (o.pipelined) {
    double pipeMs = Median(pipelined.wallMs);
    std::printf(" %10.3f %11.3f", pipeMs, pipeMs > 0 ? pollerMs / pipeMs : 0.0);
  }
  std::printf("\n");
  return 0;
}
