// The POSIX WinSock back end against real loopback sockets and a resolver that stays offline
// (the hosts file, or a DNS responder on 127.0.0.1 served by the same event loop).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "posix/winsock.h"

namespace kc::posix {
namespace {

constexpr uint32_t kSockMsg = SM_SOCKET;
constexpr uint32_t kHostMsg = SM_GETHOST;
constexpr uint32_t kGuardTimer = 77;

struct Event {
  uint32_t msg;
  WParam wp;
  LParam lp;
};

int Code(LParam lp) { return static_cast<int>(lp & 0xFFFF); }
int Error(LParam lp) { return static_cast<int>((static_cast<uint32_t>(lp) >> 16) & 0xFFFF); }

// A blocking TCP listener on 127.0.0.1 with a port of the kernel's choosing.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
      ADD_FAILURE() << "no loopback listener";
    }
    port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    if (fd_ >= 0) close(fd_);
  }
  uint16_t port() const { return port_; }
  int Accept() { return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A port on which nothing listens: bound once, then closed.
uint16_t ClosedPort() {
  Listener l;
  return l.port();
}

void WriteAll(int fd, const std::string& text) {
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

// A DNS responder on a loopback UDP port: names in `addresses` get one A record, every other
// name NXDOMAIN. With silent set it reads queries and answers none.
class FakeDns {
 public:
  FakeDns(EventLoop& loop, bool silent) : loop_(loop), silent_(silent) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
      ADD_FAILURE() << "no loopback UDP port";
    }
    port_ = ntohs(a.sin_port);
    watch_ = loop_.Watch(fd_, POLLIN, [this](short) { Answer(); });
  }
  ~FakeDns() {
    loop_.Unwatch(watch_);
    close(fd_);
  }
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  std::map<std::string, std::vector<uint8_t>> addresses;
  int queries = 0;

 private:
  void Answer() {
    uint8_t q[512];
    sockaddr_in from{};
    socklen_t size = sizeof from;
    ssize_t n = recvfrom(fd_, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &size);
    if (n < 17) return;
    ++queries;
    if (silent_) return;
    // The question: labels up to the root, then type and class.
    size_t at = 12;
    std::string name;
    while (at < static_cast<size_t>(n) && q[at] != 0) {
      size_t len = q[at];
      if (at + 1 + len > static_cast<size_t>(n)) return;
      if (!name.empty()) name += '.';
      name.append(reinterpret_cast<const char*>(q + at + 1), len);
      at += 1 + len;
    }
    size_t questionEnd = at + 5;
    if (questionEnd > static_cast<size_t>(n)) return;
    auto found = addresses.find(name);
    std::vector<uint8_t> r(q, q + questionEnd);
    r[2] = 0x81;  // response, recursion desired
    r[3] = found != addresses.end() ? 0x80 : 0x83;  // recursion available; NXDOMAIN
    r[4] = 0, r[5] = 1, r[6] = 0, r[7] = found != addresses.end() ? 1 : 0;
    r[8] = r[9] = r[10] = r[11] = 0;
    if (found != addresses.end()) {
      const uint8_t answer[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
      r.insert(r.end(), answer, answer + sizeof answer);
      r.insert(r.end(), found->second.begin(), found->second.end());
    }
    sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
  }

  EventLoop& loop_;
  bool silent_;
  int fd_ = -1;
  int watch_ = 0;
  uint16_t port_ = 0;
};

class WinSockPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window = loop.CreateWindow([this](WindowRef, uint32_t msg, WParam wp, LParam lp) -> LResult {
      if (msg == kWmTimer && wp == kGuardTimer) timedOut = true;
      if (msg == kSockMsg || msg == kHostMsg) events.push_back({msg, wp, lp});
      return 0;
    });
    ASSERT_NE(window, 0u);
  }

  void Make(const ResolverOptions& options = ResolverOptions{"f", "", 0, 0}) {
    ws = MakeWinSock(loop, options);
    uint16_t granted = 0;
    ASSERT_EQ(ws->Startup(kWinSockVersion, &granted), 0);
    ASSERT_EQ(granted, 0x0101);
  }

  // Dispatches messages until done() holds or ms have passed; returns done().
  bool PumpUntil(const std::function<bool()>& done, uint32_t ms = 5000) {
    timedOut = false;
    loop.StartTimer(window, kGuardTimer, ms);
    loop.RunNested([&] { return done() || timedOut; });
    loop.StopTimer(window, kGuardTimer);
    return done();
  }
  void PumpFor(uint32_t ms) { PumpUntil([] { return false; }, ms); }
  bool WaitEvents(size_t count) {
    return PumpUntil([&] { return events.size() >= count; });
  }

  // The socket events so far, as "CONNECT(0) WRITE(0) READ(0) CLOSE(0)".
  std::string SocketEvents() const {
    static const std::map<int, std::string> names = {
        {kFdRead, "READ"}, {kFdWrite, "WRITE"}, {kFdConnect, "CONNECT"}, {kFdClose, "CLOSE"}};
    std::string out;
    for (const Event& e : events) {
      if (e.msg != kSockMsg) continue;
      auto name = names.find(Code(e.lp));
      if (!out.empty()) out += ' ';
      out += (name != names.end() ? name->second : std::to_string(Code(e.lp))) + "(" +
             std::to_string(Error(e.lp)) + ")";
    }
    return out;
  }

  // A selected socket whose connect to the port is under way.
  SocketRef StartConnect(uint16_t port) {
    SocketRef s = ws->Socket();
    EXPECT_NE(s, kInvalidSocket);
    EXPECT_EQ(ws->AsyncSelect(s, window, kSockMsg, kSocketEventMask), 0);
    Ipv4Endpoint to{{127, 0, 0, 1}, htons(port)};
    EXPECT_EQ(ws->Connect(s, to), -1);
    EXPECT_EQ(ws->LastError(), kWsaEWouldBlock);
    return s;
  }

  std::string Receive(SocketRef s, int length) {
    char buffer[8192];
    int n = ws->Recv(s, buffer, length);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "<" + std::to_string(n) + ">";
  }

  EventLoop loop;
  WindowRef window = 0;
  bool timedOut = false;
  std::vector<Event> events;
  std::unique_ptr<WinSockPort> ws;
};

TEST_F(WinSockPosixTest, NormalExchangeGivesTheWindowsEventOrder) {
  Make();
  Listener server;
  SocketRef s = StartConnect(server.port());
  ASSERT_TRUE(WaitEvents(2));
  int peer = server.Accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(SocketEvents(), "CONNECT(0) WRITE(0)");
  EXPECT_EQ(events[0].wp, s);

  // FD_READ once; more data does not repeat it until recv is called.
  WriteAll(peer, "+OK ready\r\n");
  ASSERT_TRUE(WaitEvents(3));
  WriteAll(peer, "second\r\n");
  PumpFor(100);
  EXPECT_EQ(SocketEvents(), "CONNECT(0) WRITE(0) READ(0)");
  // A receive that leaves data behind brings FD_READ again.
  EXPECT_EQ(Receive(s, 4), "+OK ");
  ASSERT_TRUE(WaitEvents(4));
  EXPECT_EQ(Receive(s, 4096), "ready\r\nsecond\r\n");

  EXPECT_EQ(ws->Send(s, "QUIT\r\n", 6), 6);
  char got[16] = {};
  ASSERT_EQ(read(peer, got, sizeof got), 6);
  EXPECT_STREQ(got, "QUIT\r\n");

  // The last reply and the close arrive together: FD_READ first, FD_CLOSE only once the
  // data has been read, and only once.
  WriteAll(peer, "+OK bye\r\n");
  close(peer);
  ASSERT_TRUE(WaitEvents(5));
  PumpFor(100);
  EXPECT_EQ(SocketEvents(), "CONNECT(0) WRITE(0) READ(0) READ(0) READ(0)");
  EXPECT_EQ(Receive(s, 4096), "+OK bye\r\n");
  ASSERT_TRUE(WaitEvents(6));
  EXPECT_EQ(Receive(s, 4096), "<0>");
  PumpFor(100);
  EXPECT_EQ(SocketEvents(), "CONNECT(0) WRITE(0) READ(0) READ(0) READ(0) CLOSE(0)");

  EXPECT_EQ(ws->Shutdown(s, 1), 0);
  EXPECT_EQ(ws->CloseSocket(s), 0);
  EXPECT_EQ(ws->Cleanup(), 0);
}

TEST_F(WinSockPosixTest, RefusedConnectIsOneConnectEventWithTheError) {
  Make();
  SocketRef s = StartConnect(ClosedPort());
  ASSERT_TRUE(WaitEvents(1));
  PumpFor(100);
  EXPECT_EQ(SocketEvents(), "CONNECT(10061)");
  EXPECT_EQ(events[0].wp, s);
  EXPECT_EQ(ws->CloseSocket(s), 0);
}

TEST_F(WinSockPosixTest, PeerCloseWithoutDataAndPeerReset) {
  struct Case {
    bool reset;
    const char* expected;
  };
  for (const Case& c : {Case{false, "CONNECT(0) WRITE(0) CLOSE(0)"},
                        Case{true, "CONNECT(0) WRITE(0) CLOSE(10054)"}}) {
    SCOPED_TRACE(c.expected);
    events.clear();
    Make();
    Listener server;
    SocketRef s = StartConnect(server.port());
    ASSERT_TRUE(WaitEvents(2));
    int peer = server.Accept();
    if (c.reset) {
      linger hard{1, 0};
      setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    close(peer);
    ASSERT_TRUE(WaitEvents(3));
    PumpFor(100);
    EXPECT_EQ(SocketEvents(), c.expected);
    EXPECT_EQ(ws->CloseSocket(s), 0);
  }
}

TEST_F(WinSockPosixTest, WriteEventReturnsOnlyAfterASendWouldBlock) {
  Make();
  Listener server;
  SocketRef s = StartConnect(server.port());
  ASSERT_TRUE(WaitEvents(2));
  int peer = server.Accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(ws->Send(s, "x", 1), 1);
  PumpFor(50);
  EXPECT_EQ(SocketEvents(), "CONNECT(0) WRITE(0)");

  static char block[65536];
  int sent = 0;
  while (ws->Send(s, block, sizeof block) > 0) {
    if (++sent > 4096) FAIL() << "the send buffer never filled";
  }
  EXPECT_EQ(ws->LastError(), kWsaEWouldBlock);
  PumpFor(50);
  EXPECT_EQ(SocketEvents(), "CONNECT(0) WRITE(0)");

  fcntl(peer, F_SETFL, fcntl(peer, F_GETFL) | O_NONBLOCK);
  ASSERT_TRUE(PumpUntil([&] {
    while (read(peer, block, sizeof block) > 0) {
    }
    return events.size() >= 3;
  }));
  PumpFor(50);
  EXPECT_EQ(SocketEvents(), "CONNECT(0) WRITE(0) WRITE(0)");
  close(peer);
  EXPECT_EQ(ws->CloseSocket(s), 0);
}

TEST_F(WinSockPosixTest, StaleHandlesAndCallsBeforeStartupFail) {
  ws = MakeWinSock(loop, ResolverOptions{"f", "", 0, 0});
  uint8_t buffer[kHostEntrySize];
  EXPECT_EQ(ws->AsyncGetHostByName(window, kHostMsg, "localhost", buffer, sizeof buffer), 0u);
  EXPECT_EQ(ws->LastError(), kWsaNotInitialised);
  EXPECT_EQ(ws->Socket(), kInvalidSocket);
  EXPECT_EQ(ws->Cleanup(), -1);
  EXPECT_EQ(ws->LastError(), kWsaNotInitialised);

  // Startup and Cleanup are counted; the last Cleanup closes what is left.
  uint16_t granted = 0;
  ASSERT_EQ(ws->Startup(kWinSockVersion, &granted), 0);
  ASSERT_EQ(ws->Startup(kWinSockVersion, &granted), 0);
  SocketRef s = ws->Socket();
  ASSERT_NE(s, kInvalidSocket);
  EXPECT_EQ(ws->Cleanup(), 0);
  char c;
  EXPECT_EQ(ws->Recv(s, &c, 1), -1);
  EXPECT_EQ(ws->LastError(), kWsaENotConn);  // still open
  EXPECT_EQ(ws->Cleanup(), 0);
  EXPECT_EQ(ws->Recv(s, &c, 1), -1);
  EXPECT_EQ(ws->LastError(), kWsaENotSock);  // closed by the last Cleanup

  // Socket handles are never handed out twice.
  ASSERT_EQ(ws->Startup(kWinSockVersion, &granted), 0);
  SocketRef t = ws->Socket();
  EXPECT_NE(t, s);
  EXPECT_EQ(ws->CloseSocket(t), 0);
  EXPECT_EQ(ws->CloseSocket(t), -1);
  EXPECT_EQ(ws->LastError(), kWsaENotSock);
  EXPECT_EQ(ws->Send(t, "x", 1), -1);
  EXPECT_EQ(ws->Cleanup(), 0);
}

TEST_F(WinSockPosixTest, ServiceLookupComesFromTheServicesDatabase) {
  Make();
  uint16_t port = 0;
  ASSERT_TRUE(ws->GetServiceByName("pop3", "tcp", &port));
  EXPECT_EQ(port, htons(110));
  EXPECT_FALSE(ws->GetServiceByName("kc-no-such-service", "tcp", &port));
  EXPECT_EQ(ws->Htons(0x1234), htons(0x1234));
}

TEST_F(WinSockPosixTest, LookupsFromTheHostsFile) {
  Make();
  struct Case {
    const char* name;
    int error;
  };
  uintptr_t previous = 0;
  for (const Case& c : {Case{"localhost", 0}, Case{"127.0.0.1", 0},
                        Case{"kc-no-such-host.invalid", kWsaHostNotFound}}) {
    SCOPED_TRACE(c.name);
    events.clear();
    uint8_t buffer[kHostEntrySize];
    std::memset(buffer, 0xAB, sizeof buffer);
    uintptr_t handle = ws->AsyncGetHostByName(window, kHostMsg, c.name, buffer, sizeof buffer);
    ASSERT_NE(handle, 0u);
    EXPECT_NE(handle, previous);
    previous = handle;
    EXPECT_TRUE(events.empty());  // posted, never delivered inside the call
    ASSERT_TRUE(WaitEvents(1));
    EXPECT_EQ(events[0].wp, handle);
    EXPECT_EQ(Error(events[0].lp), c.error);
    uint8_t address[4] = {};
    if (c.error == 0) {
      ASSERT_TRUE(ws->FirstAddress(buffer, address));
      EXPECT_EQ(std::vector<uint8_t>(address, address + 4), (std::vector<uint8_t>{127, 0, 0, 1}));
    } else {
      EXPECT_EQ(buffer[0], 0xAB);  // a failed lookup leaves the buffer alone
      EXPECT_FALSE(ws->FirstAddress(buffer, address));
    }
  }
}

TEST_F(WinSockPosixTest, LookupsThroughDnsRunInsideThePollLoop) {
  FakeDns dns(loop, false);
  dns.addresses["mail.example.test"] = {192, 0, 2, 25};
  Make(ResolverOptions{"b", dns.server(), 500, 1});
  struct Case {
    const char* name;
    int error;
  };
  for (const Case& c : {Case{"mail.example.test", 0}, Case{"nosuch.example.test", kWsaHostNotFound}}) {
    SCOPED_TRACE(c.name);
    events.clear();
    uint8_t buffer[kHostEntrySize] = {};
    uintptr_t handle = ws->AsyncGetHostByName(window, kHostMsg, c.name, buffer, sizeof buffer);
    ASSERT_NE(handle, 0u);
    ASSERT_TRUE(WaitEvents(1));
    EXPECT_EQ(events[0].wp, handle);
    EXPECT_EQ(Error(events[0].lp), c.error);
    uint8_t address[4] = {};
    EXPECT_EQ(ws->FirstAddress(buffer, address), c.error == 0);
    if (c.error == 0) {
      EXPECT_EQ(std::vector<uint8_t>(address, address + 4), (std::vector<uint8_t>{192, 0, 2, 25}));
    }
  }
  EXPECT_GE(dns.queries, 2);

  // Too small a buffer: WSAENOBUFS, with the length needed in the low 16 bits.
  events.clear();
  uint8_t tiny[8];
  ASSERT_NE(ws->AsyncGetHostByName(window, kHostMsg, "mail.example.test", tiny, sizeof tiny), 0u);
  ASSERT_TRUE(WaitEvents(1));
  EXPECT_EQ(Error(events[0].lp), kWsaENoBufs);
  EXPECT_GT(Code(events[0].lp), 8);
}

TEST_F(WinSockPosixTest, UnansweredAndUnreachableDnsFailWithTryAgain) {
  FakeDns silent(loop, true);
  for (const std::string& server : {silent.server(), "127.0.0.1:" + std::to_string(ClosedPort())}) {
    SCOPED_TRACE(server);
    events.clear();
    Make(ResolverOptions{"b", server, 200, 1});
    uint8_t buffer[kHostEntrySize];
    ASSERT_NE(ws->AsyncGetHostByName(window, kHostMsg, "mail.example.test", buffer, sizeof buffer), 0u);
    ASSERT_TRUE(WaitEvents(1));
    EXPECT_EQ(Error(events[0].lp), kWsaTryAgain);
  }
}

TEST_F(WinSockPosixTest, CleanupCancelsAnOpenLookup) {
  FakeDns silent(loop, true);
  Make(ResolverOptions{"b", silent.server(), 300, 1});
  uint8_t buffer[kHostEntrySize];
  std::memset(buffer, 0xCD, sizeof buffer);
  ASSERT_NE(ws->AsyncGetHostByName(window, kHostMsg, "mail.example.test", buffer, sizeof buffer), 0u);
  PumpFor(30);
  ASSERT_GT(silent.queries, 0);
  ASSERT_TRUE(events.empty());
  EXPECT_EQ(ws->Cleanup(), 0);
  PumpFor(500);  // well past the resolver's time-out
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(buffer[0], 0xCD);

  // The next start resolves again.
  uint16_t granted = 0;
  ASSERT_EQ(ws->Startup(kWinSockVersion, &granted), 0);
  ASSERT_NE(ws->AsyncGetHostByName(window, kHostMsg, "127.0.0.1", buffer, sizeof buffer), 0u);
  ASSERT_TRUE(WaitEvents(1));
  EXPECT_EQ(Error(events[0].lp), 0);
}

}  // namespace
}  // namespace kc::posix
