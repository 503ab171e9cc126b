// What the POSIX event loop costs per wake-up: heap allocations and poll() returns per timer
// tick, and per server response delivered through the POSIX WinSock back end (poll, FD_READ
// posted, dispatched, recv) on a loopback TCP connection the benchmark serves itself.
//
//   idle_loop_bench [--responses N] [--ticks N]
//
// Each server response is one reply line written by the benchmark's end of the connection; the
// window procedure receives FD_READ, receives the bytes and restarts a 60-second timer, as the
// poller does for every reply. Needs no network namespace (an ephemeral loopback port). Run it
// through scripts/bench-idle.sh.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "posix/backends.h"
#include "posix/winsock.h"

// ---- heap allocation counting -------------------------------------------------------------

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);

namespace {
unsigned long allocations = 0;
}  // namespace

extern "C" void* malloc(size_t size) noexcept {
  ++allocations;
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) noexcept {
  ++allocations;
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, size_t size) noexcept {
  ++allocations;
  return __libc_realloc(block, size);
}

namespace {

constexpr uint32_t kTickTimer = 7;
constexpr uint32_t kServerWaitMs = 60000;
constexpr int kWarmUp = 20;
const char kReply[] = "+OK 3 1290\r\n";

struct Figures {
  unsigned long allocations = 0;
  uint64_t wakeups = 0;
  int events = 0;
};

int Arg(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::max(1, std::atoi(argv[i + 1]));
  }
  return fallback;
}

// Timer ticks: the shortest timer the loop keeps (10 ms), the loop waiting in poll() between
// ticks.
bool MeasureTicks(int ticks, Figures* out) {
  kc::posix::EventLoop loop;
  int seen = 0;
  int left = kWarmUp;  // ticks to wait for
  kc::WindowRef window =
      loop.CreateWindow([&](kc::WindowRef, uint32_t msg, kc::WParam wp, kc::LParam) -> kc::LResult {
        if (msg == kc::kWmTimer && wp == kTickTimer) {
          ++seen;
          --left;
        }
        return 0;
      });
  // Made once: the loop is measured, not the benchmark's own std::function.
  std::function<bool()> done = [&left] { return left <= 0; };
  // Descriptors that stay quiet, as the program's signal descriptor, standard input and the
  // single-instance socket do while it waits.
  int quiet[2];
  if (pipe(quiet) != 0) return false;
  int watch = loop.Watch(quiet[0], POLLIN, [](short) {});
  loop.StartTimer(window, kTickTimer, 1);
  loop.RunNested(done);
  int start = seen;
  left = ticks;
  unsigned long before = allocations;
  uint64_t wakeupsBefore = loop.wakeups();
  loop.RunNested(done);
  out->allocations = allocations - before;
  out->wakeups = loop.wakeups() - wakeupsBefore;
  out->events = seen - start;
  loop.Unwatch(watch);
  close(quiet[0]);
  close(quiet[1]);
  loop.Destroy(window);
  return true;
}

// Server responses: one reply line at a time over loopback TCP.
bool MeasureResponses(int responses, Figures* out) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    std::perror("idle_loop_bench: listener");
    if (listener >= 0) close(listener);
    return false;
  }

  // The window procedure captures one pointer, as the program's main window does: a larger
  // capture would make the loop's copy of the procedure for every message a heap block.
  struct Client {
    kc::posix::EventLoop loop;
    std::unique_ptr<kc::WinSockPort> winsock = kc::posix::MakeWinSock(loop);
    kc::SocketRef s = kc::kInvalidSocket;
    bool connected = false;
    bool failed = false;
    int received = 0;  // complete replies received
    int want = 0;      // the replies to wait for
    size_t pending = 0;
    char buffer[4096];

    kc::LResult Proc(kc::WindowRef w, uint32_t msg, kc::LParam lp) {
      if (msg != kc::SM_SOCKET) return 0;
      long event = static_cast<long>(lp & 0xFFFF);
      if ((lp >> 16) != 0 || event == kc::kFdClose) failed = true;
      if (event == kc::kFdWrite) connected = true;
      if (event == kc::kFdRead) {
        int n = winsock->Recv(s, buffer, sizeof buffer);
        if (n <= 0) {
          failed = true;
          return 0;
        }
        pending += static_cast<size_t>(n);
        while (pending >= sizeof kReply - 1) {
          pending -= sizeof kReply - 1;
          ++received;
        }
        loop.StartTimer(w, kc::TIMER_SERVERWAIT, kServerWaitMs);
      }
      return 0;
    }
  };
  auto client = std::make_unique<Client>();
  Client* c = client.get();
  kc::posix::EventLoop& loop = c->loop;
  std::unique_ptr<kc::WinSockPort>& winsock = c->winsock;
  kc::SocketRef& s = c->s;
  bool& connected = c->connected;
  bool& failed = c->failed;
  int& received = c->received;
  kc::WindowRef window = loop.CreateWindow([c](kc::WindowRef w, uint32_t msg, kc::WParam,
                                               kc::LParam lp) { return c->Proc(w, msg, lp); });
  uint16_t granted = 0;
  if (winsock->Startup(kc::kWinSockVersion, &granted) == 0) s = winsock->Socket();
  kc::Ipv4Endpoint to{{127, 0, 0, 1}, address.sin_port};
  if (s == kc::kInvalidSocket ||
      winsock->AsyncSelect(s, window, kc::SM_SOCKET, kc::kSocketEventMask) != 0 ||
      (winsock->Connect(s, to) != 0 && winsock->LastError() != kc::kWsaEWouldBlock)) {
    std::fprintf(stderr, "idle_loop_bench: connect failed (%d)\n", winsock->LastError());
    close(listener);
    return false;
  }
  int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  if (server < 0) {
    std::perror("idle_loop_bench: accept");
    return false;
  }
  loop.RunNested([&] { return connected || failed; });

  // Made once: the loop is measured, not the benchmark's own std::function.
  std::function<bool()> replyReceived = [c] { return c->received >= c->want || c->failed; };
  auto respond = [&](int count) {
    for (int i = 0; i < count && !failed; ++i) {
      c->want = received + 1;
      if (write(server, kReply, sizeof kReply - 1) != static_cast<ssize_t>(sizeof kReply - 1)) {
        failed = true;
        break;
      }
      loop.RunNested(replyReceived);
    }
  };
  respond(kWarmUp);
  unsigned long before = allocations;
  uint64_t wakeupsBefore = loop.wakeups();
  int start = received;
  respond(responses);
  out->allocations = allocations - before;
  out->wakeups = loop.wakeups() - wakeupsBefore;
  out->events = received - start;
  winsock->CloseSocket(s);
  winsock->Cleanup();
  close(server);
  loop.Destroy(window);
  return !failed;
}

}  // namespace

int main(int argc, char** argv) {
  int responses = Arg(argc, argv, "--responses", 10000);
  int ticks = Arg(argc, argv, "--ticks", 200);
  Figures tick, response;
  if (!MeasureTicks(ticks, &tick) || !MeasureResponses(responses, &response)) return 1;
  std::printf("%-40s %8s %14s %16s\n", "event loop wake-up", "events", "allocs/event",
              "poll returns/event");
  std::printf("%-40s %8d %14.3f %16.3f\n", "timer tick (10 ms, a quiet fd watched)", tick.events,
              static_cast<double>(tick.allocations) / tick.events,
              static_cast<double>(tick.wakeups) / tick.events);
  std::printf("%-40s %8d %14.3f %16.3f\n", "server response (FD_READ, recv)", response.events,
              static_cast<double>(response.allocations) / response.events,
              static_cast<double>(response.wakeups) / response.events);
  return 0;
}
