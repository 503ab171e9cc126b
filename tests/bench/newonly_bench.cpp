// One check with the new-only option (STAT, UIDL, TOP for the new messages only) through the
// real poller over the POSIX WinSock back end, with the list of seen messages read from the
// program's own store as the program reads it, against the POP3 server on 127.0.0.1 at the
// "pop3" service port. Beside it, in the same run and each in a child process of its own:
//   - a minimal sequential client of our own with a blocking socket that sends the same
//     commands (USER, PASS, STAT, UIDL read to its end, TOP for the last K messages, QUIT),
//     knowing beforehand which messages are new;
//   - the poller's plain check of the same mailbox (STAT and TOP for up to 255 messages), for
//     its peak memory.
//
//   newonly_bench --prepare --messages N --new K --state DIR [--user U] [--password P]
//   newonly_bench --messages N --new K --state DIR [--runs R] [--rounds K] [--header]
//
// --prepare stores as seen every message but the last K in DIR/kestova/seen.dat (the store
// $XDG_STATE_HOME names), as a check of the program would have left it.
//
// Prints one row: messages, new, median wall time per check of the new-only poller and of the
// baseline, their ratio, peak resident memory of the new-only poller, of the plain poller and
// the difference, and of the baseline. Run it through scripts/bench-newonly.sh.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
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

#include "pop3/poller.h"
#include "pop3/seen_ids.h"
#include "pop3/seen_keeping.h"
#include "pop3/uidl_reply.h"
#include "posix/backends.h"
#include "posix/winsock.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int messages = 0;
  int fresh = 2;  // the new messages: the last ones
  std::string user = "kestova";
  std::string password = "secret";
  std::string server = "127.0.0.1";
  std::string state;
  int runs = 10;
  int rounds = 3;
  bool header = false;
  bool prepare = false;
};

enum class Client { kNewOnly, kPlain, kBaseline };

struct RunReport {
  int ok;
  int checks;
  double wallMs[64];
  double cpuMs[64];  // user and system time of the process during the check
};

double CpuMsNow() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

class StderrBox final : public kc::MessageBoxPort {
 public:
  void Show(kc::WindowRef, const char* text, const char*) override {
    std::fprintf(stderr, "message box: %s\n", text);
  }
};

// ---- the program's way ------------------------------------------------------------------

bool RunPollerChecks(const Options& o, bool newOnly, RunReport* report) {
  kc::posix::EventLoop loop;
  std::unique_ptr<kc::WinSockPort> winsock = kc::posix::MakeWinSock(loop);
  // The program's trace, written as the program writes it, to /dev/null.
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
  std::unique_ptr<kc::TlsPort> tls = kc::posix::MakeTls();
  kc::WindowRef mainWindow = 0;
  auto poller = std::make_unique<kc::Poller>(
      kc::PollerPorts{*winsock, loop, box, trace, clock, *tls}, *settings, mainWindow);
  // The list is read once, as the program reads it at its first check.
  auto seen = std::make_unique<kc::SeenIds>();
  std::unique_ptr<kc::SeenStorePort> store = kc::posix::MakeSeenStore();
  auto fail = [&](const char* what, long a, long b) {
    if (savedStderr >= 0) dup2(savedStderr, STDERR_FILENO);
    std::fprintf(stderr, "%s (%ld, %ld)\n", what, a, b);
    return false;
  };
  if (newOnly) {
    char line[512];
    kc::SeenLoad loaded = kc::LoadSeenIds(*seen, *store, kc::SeenAccountKey(*settings),
                                          kc::FirstFormAccountKey(*settings), line, sizeof line);
    if (loaded != kc::SeenLoad::kLoaded) return fail(line, 0, 0);
  }
  bool done = false;
  bool good = false;
  mainWindow = loop.CreateWindow(
      [&](kc::WindowRef w, uint32_t msg, kc::WParam wp, kc::LParam lp) -> kc::LResult {
        switch (msg) {
          case kc::SM_GETHOST: poller->OnGetHost(w, wp, lp); break;
          case kc::SM_SOCKET: poller->OnSocketEvent(w, wp, lp); break;
          case kc::kWmTimer:
            if (wp == kc::TIMER_SERVERWAIT) poller->OnServerWaitTimeout(w);
            break;
          case kc::SM_CHECKDONE:
            poller->StopWinSock();
            if (const kc::CheckResult* result = poller->TakeResult()) {
              good = !result->failed && result->mailCount == o.messages;
              if (newOnly) {
                good = good && result->listingRead && result->newCount == o.fresh;
                // What the program does with the listing at the end of the check.
                if (good && seen->Apply(*result->listing, false)) good = false;
              }
            }
            done = true;
            break;
          default: break;
        }
        return 0;
      });
  int total = std::min(o.runs, 64);
  for (int i = -1; i < total; ++i) {  // one warm-up check first
    done = good = false;
    Clock::time_point start = Clock::now();
    double cpuStart = CpuMsNow();
    if (poller->StartWinSock()) {
      if (newOnly) poller->UseUidl(seen.get(), false);
      poller->StartCheck(mainWindow);
    }
    loop.RunNested([&] { return done; });
    trace.Flush();
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    double cpu = CpuMsNow() - cpuStart;
    if (!good) return fail("poller check failed or found another count", newOnly, i);
    if (i >= 0) report->wallMs[i] = ms;
    if (i >= 0) report->cpuMs[i] = cpu;
  }
  report->checks = total;
  loop.Destroy(mainWindow);
  trace.Flush();
  if (savedStderr >= 0) dup2(savedStderr, STDERR_FILENO);
  return true;
}

// ---- the baseline: a sequential client with a blocking socket -------------------------

class BlockingClient {
 public:
  ~BlockingClient() {
    if (fd_ >= 0) close(fd_);
  }
  bool Connect(const std::string& host) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    servent* service = getservbyname("pop3", "tcp");
    address.sin_port = service != nullptr ? static_cast<uint16_t>(service->s_port) : htons(110);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return false;
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  bool Send(const std::string& command) {
    size_t at = 0;
    while (at < command.size()) {
      ssize_t n = send(fd_, command.data() + at, command.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads one reply: a line, or up to "\r\n.\r\n" when multi. Every byte goes to sink (when
  // given); only the tail that may hold the end is kept, so a reply of any length fits.
  template <typename Sink>
  bool Read(bool multi, Sink&& sink) {
    bool started = false;
    bool negative = false;
    for (;;) {
      if (used_ > 0 && !started) {
        started = true;
        negative = buffer_[0] == '-';  // a negative reply is one line
      }
      const char* end = multi && !negative ? "\r\n.\r\n" : "\n";
      const size_t endLength = std::strlen(end);
      if (used_ > 0) {
        char* found = static_cast<char*>(memmem(buffer_, used_, end, endLength));
        if (found != nullptr) {
          size_t consumed = static_cast<size_t>(found - buffer_) + endLength;
          sink(buffer_, consumed);
          std::memmove(buffer_, buffer_ + consumed, used_ - consumed);
          used_ -= consumed;
          return !negative;
        }
        if (used_ >= endLength) {
          size_t settled = used_ - (endLength - 1);
          sink(buffer_, settled);
          std::memmove(buffer_, buffer_ + settled, used_ - settled);
          used_ -= settled;
        }
      }
      ssize_t n = recv(fd_, buffer_ + used_, sizeof buffer_ - used_, 0);
      if (n <= 0) return false;
      used_ += static_cast<size_t>(n);
    }
  }
  bool Exchange(const std::string& command, bool multi) {
    return Send(command) && Read(multi, [](const char*, size_t) {});
  }

 private:
  int fd_ = -1;
  char buffer_[4096];
  size_t used_ = 0;
};

bool Login(BlockingClient& c, const Options& o) {
  return c.Connect(o.server) && c.Read(false, [](const char*, size_t) {}) &&
         c.Exchange("USER " + o.user + "\r\n", false) &&
         c.Exchange("PASS " + o.password + "\r\n", false) && c.Exchange("STAT\r\n", false);
}

bool RunBaselineCheck(const Options& o) {
  BlockingClient c;
  if (!Login(c, o) || !c.Exchange("UIDL\r\n", true)) return false;
  for (int n = o.messages - o.fresh + 1; n <= o.messages; ++n) {
    if (!c.Exchange("TOP " + std::to_string(n) + " 0\r\n", true)) return false;
  }
  return c.Exchange("QUIT\r\n", false);
}

bool RunBaselineChecks(const Options& o, RunReport* report) {
  int total = std::min(o.runs, 64);
  for (int i = -1; i < total; ++i) {
    Clock::time_point start = Clock::now();
    double cpuStart = CpuMsNow();
    if (!RunBaselineCheck(o)) {
      std::fprintf(stderr, "baseline check failed\n");
      return false;
    }
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (i >= 0) report->wallMs[i] = ms;
    if (i >= 0) report->cpuMs[i] = CpuMsNow() - cpuStart;
  }
  report->checks = total;
  return true;
}

// ---- the list of seen messages, as a check of the program leaves it ---------------------

bool Prepare(const Options& o) {
  BlockingClient c;
  if (!Login(c, o) || !c.Send("UIDL\r\n")) return false;
  kc::SeenIds seen;
  kc::UidlTally tally;
  // The listing of the mailbox as it was before the last K arrived.
  if (!tally.Begin(o.messages - o.fresh, nullptr)) return false;
  struct Sink final : kc::UidlListingSink {
    void OnEntry(const kc::UidlEntry& e) override {
      if (e.number <= last) tally->Add(e.number, kc::Fnv1a64(e.id, e.length));
    }
    void OnMalformed(const char*, size_t, bool) override {}
    kc::UidlTally* tally = nullptr;
    int last = 0;
  } sink;
  sink.tally = &tally;
  sink.last = o.messages - o.fresh;
  kc::UidlListingReader reader;
  reader.Reset();
  if (!c.Read(true, [&](const char* bytes, size_t n) { reader.Feed(bytes, n, sink); })) {
    return false;
  }
  reader.Finish(sink);
  tally.End();
  auto settings = std::make_unique<kc::Settings>();
  std::snprintf(settings->server, sizeof settings->server, "%s", o.server.c_str());
  std::snprintf(settings->user, sizeof settings->user, "%s", o.user.c_str());
  seen.Forget(kc::SeenAccountKey(*settings));
  seen.Apply(tally, true);
  std::unique_ptr<kc::SeenStorePort> store = kc::posix::MakeSeenStore();
  char line[512];
  if (!kc::SaveSeenIds(seen, *store, line, sizeof line)) {
    std::fprintf(stderr, "%s\n", line);
    return false;
  }
  c.Exchange("QUIT\r\n", false);
  return seen.size() == static_cast<uint32_t>(o.messages - o.fresh);
}

// ---- measuring in a child -------------------------------------------------------------

struct Measurement {
  std::vector<double> wallMs;
  std::vector<double> cpuMs;
  long peakKiB = 0;
};

bool MeasureInChild(Client client, const Options& o, Measurement* m) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(pipeFds[0]);
    RunReport report{};
    report.ok = client == Client::kBaseline
                    ? RunBaselineChecks(o, &report)
                    : RunPollerChecks(o, client == Client::kNewOnly, &report);
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
  m->cpuMs.insert(m->cpuMs.end(), report.cpuMs, report.cpuMs + report.checks);
  m->peakKiB = std::max(m->peakKiB, usage.ru_maxrss);
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
    } else if ((v = value("--new")) != nullptr) {
      o->fresh = std::atoi(v);
    } else if ((v = value("--user")) != nullptr) {
      o->user = v;
    } else if ((v = value("--password")) != nullptr) {
      o->password = v;
    } else if ((v = value("--state")) != nullptr) {
      o->state = v;
    } else if ((v = value("--runs")) != nullptr) {
      o->runs = std::max(1, std::atoi(v));
    } else if ((v = value("--rounds")) != nullptr) {
      o->rounds = std::max(1, std::atoi(v));
    } else if (a == "--header") {
      o->header = true;
    } else if (a == "--prepare") {
      o->prepare = true;
    } else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return false;
    }
  }
  return !o->state.empty() && o->fresh >= 0 && o->fresh <= o->messages;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fprintf(stderr, "usage: newonly_bench [--prepare] --messages N --new K --state DIR ...\n");
    return 2;
  }
  setenv("XDG_STATE_HOME", o.state.c_str(), 1);
  if (o.prepare) return Prepare(o) ? 0 : 1;
  Measurement newOnly, plain, baseline;
  for (int round = 0; round < o.rounds; ++round) {
    // Alternate which goes first, so neither always meets a warmer server.
    bool pollerFirst = round % 2 == 0;
    Client order[2] = {pollerFirst ? Client::kNewOnly : Client::kBaseline,
                       pollerFirst ? Client::kBaseline : Client::kNewOnly};
    for (Client c : order) {
      if (!MeasureInChild(c, o, c == Client::kNewOnly ? &newOnly : &baseline)) {
        std::fprintf(stderr, "%s run failed\n", c == Client::kNewOnly ? "new-only" : "baseline");
        return 1;
      }
    }
    if (!MeasureInChild(Client::kPlain, o, &plain)) {
      std::fprintf(stderr, "plain run failed\n");
      return 1;
    }
  }
  double newMs = Median(newOnly.wallMs), baseMs = Median(baseline.wallMs);
  double newCpu = Median(newOnly.cpuMs), baseCpu = Median(baseline.cpuMs);
  if (o.header) {
    std::printf("%8s %4s %12s %12s %7s %8s %8s %9s %12s %10s %9s %10s %10s\n", "messages", "new",
                "new-only ms", "baseline ms", "ratio", "cpu ms", "base cpu", "cpu ratio",
                "new-only KiB", "plain KiB", "diff KiB", "base KiB", "plain ms");
  }
  std::printf("%8d %4d %12.3f %12.3f %7.3f %8.3f %8.3f %9.3f %12ld %10ld %9ld %10ld %10.3f\n",
              o.messages, o.fresh, newMs, baseMs, baseMs > 0 ? newMs / baseMs : 0.0, newCpu,
              baseCpu, baseCpu > 0 ? newCpu / baseCpu : 0.0, newOnly.peakKiB, plain.peakKiB,
              newOnly.peakKiB - plain.peakKiB, baseline.peakKiB, Median(plain.wallMs));
  return 0;
}
