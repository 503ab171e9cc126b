// A scriptable WinSock for driving the real poller through the real controller: it records
// every call and every command sent, answers commands from a scripted server, lets a test hand
// over receives split or merged anywhere, fire socket events and make any call fail.
#pragma once
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/fake_tls.h"
#include "support/fakes.h"

namespace kc::test {

class FakeWinSock final : public WinSockPort {
 public:
  explicit FakeWinSock(WindowPort& window) : window_(window) {}

  // ----- How the fake answers -----
  int startupResult = 0;
  uint16_t grantedVersion = kWinSockVersion;
  // Calls that fail: "lookup" (request not started), "socket", "select", "service", "address"
  // (no IPv4 address in the host entry), "connect" (fails at once with connectError).
  std::set<std::string> failing;
  int connectError = 10061;
  uint16_t servicePort = 110;  // host order; its network form is handed out
  uint8_t address[4] = {127, 0, 0, 1};
  bool autoLookup = true;     // post SM_GETHOST as soon as the lookup starts
  int lookupError = 0;        // the error word of that reply
  bool autoConnect = true;    // after connect: FD_CONNECT, FD_WRITE, then the greeting
  int connectEventError = 0;  // the error carried by FD_CONNECT
  std::string greeting = "+OK POP3 ready\r\n";
  // The server: the bytes it sends back for each command (empty: nothing).
  std::function<std::string(const std::string& command)> server;
  size_t splitEvery = 0;         // server bytes arrive in receives of this many bytes (0: whole)
  bool closeAfterQuit = true;    // the server closes after its reply to QUIT
  bool closeAfterReply = false;  // set by the server: it closes once this reply is delivered
  // Each send takes at most this many bytes (0: all); with blockAfterChunk the send after a
  // taken chunk fails with WSAEWOULDBLOCK and FD_WRITE follows, as a full socket buffer does.
  size_t sendChunk = 0;
  bool blockAfterChunk = false;

  // ----- What the fake saw -----
  std::vector<std::string> calls;  // "WSAStartup", "WSACleanup", "lookup pop.example",
                                   // "socket 5", "select 5 51", "connect 5", "shutdown 5 1",
                                   // "closesocket 5", ...
  std::vector<std::string> sent;   // every send, bytes as sent
  std::set<SocketRef> openSockets;
  WindowRef selectWindow = 0;
  uintptr_t lastLookup = 0;
  SocketRef lastSocket = kInvalidSocket;
  std::string lastLookupName;
  // Every ExpectAtLeast: the bytes it said were still to come, and the bytes queued unread then
  // (everything the fake's server sent and nobody read yet).
  struct Hint {
    int bytes;
    size_t queued;
  };
  std::vector<Hint> hints;

  int Count(const std::string& call) const;
  // Calls whose text starts with prefix.
  int CountPrefix(const std::string& prefix) const;

  // ----- Driving by hand -----
  // One receive's worth of bytes for the current socket, announced with FD_READ.
  void Deliver(const std::string& bytes);
  // The same without the event: the bytes wait until something reads.
  void Queue(const std::string& bytes);
  // The server's bytes cut into receives of `every` bytes (0: one receive).
  void DeliverSplit(const std::string& bytes, size_t every);
  // The next recv returns result (0 or -1) with error; announced with FD_READ when post is true.
  void QueueRecvResult(int result, int error, bool post = true);
  // The peer closes: recv returns 0 once everything queued has been read; FD_CLOSE is posted.
  void PeerClose();
  void PostEvent(long event, int error = 0);
  void PostEventFor(SocketRef s, long event, int error = 0);
  void PostLookupReply(uintptr_t handle, int error = 0);

  // WinSockPort
  int Startup(uint16_t wanted, uint16_t* granted) override;
  int Cleanup() override;
  uintptr_t AsyncGetHostByName(WindowRef window, uint32_t msg, const char* name, uint8_t* buffer,
                               uint32_t length) override;
  bool FirstAddress(const uint8_t* buffer, uint8_t out[4]) override;
  SocketRef Socket() override;
  int AsyncSelect(SocketRef s, WindowRef window, uint32_t msg, long events) override;
  bool GetServiceByName(const char* name, const char* proto, uint16_t* portNetworkOrder) override;
  uint16_t Htons(uint16_t value) override;
  int Connect(SocketRef s, const Ipv4Endpoint& to) override;
  int LastError() override { return lastError_; }
  int Send(SocketRef s, const char* data, int length) override;
  int Recv(SocketRef s, char* buffer, int length) override;
  int Shutdown(SocketRef s, int how) override;
  int CloseSocket(SocketRef s) override;
  void ExpectAtLeast(SocketRef s, int bytes) override;

  Ipv4Endpoint connectedTo{};

 private:
  struct Receive {
    std::string bytes;
    int result;  // 1: bytes; otherwise what recv returns
    int error;
  };
  WindowPort& window_;
  WindowRef lookupWindow_ = 0;
  uint32_t lookupMsg_ = 0;
  uint32_t selectMsg_ = 0;
  uintptr_t nextLookup_ = 0x4711;
  SocketRef nextSocket_ = 5;
  std::deque<Receive> receives_;
  bool peerClosed_ = false;
  bool sendBlocked_ = false;
  int lastError_ = 0;
};

// A well-behaved mailbox behind the fake: one header block per message.
struct FakeMailbox {
  std::vector<std::string> headers;  // each header block, lines ended by CR LF
  std::string user = "bob";
  std::string password = "s3cret";
  // Replies that replace the mailbox's own, by command text (e.g. "STAT\r\n").
  std::vector<std::pair<std::string, std::string>> overrides;
  // The capability lines of the reply to CAPA, each ended by CR LF; empty: CAPA is unknown.
  std::string capabilities;
  // The unique ID of each message for UIDL; empty: UIDL is unknown.
  std::vector<std::string> uids;

  std::string Reply(const std::string& command) const;
  // Plugs the mailbox into a fake as its server.
  void Serve(FakeWinSock& winsock) const;
};

// A header block whose From: header holds `from`.
std::string HeadersFrom(const std::string& from);

// Message boxes as FakeMessageBox records them; duringShow, when set, runs while the box is
// open, as the modal loop of a real box goes on dispatching messages.
class ModalMessageBox final : public MessageBoxPort {
 public:
  std::vector<FakeMessageBox::Box> shown;
  std::function<void()> duringShow;
  void Show(WindowRef owner, const char* text, const char* caption) override {
    shown.push_back({owner, text, caption});
    if (duringShow) {
      std::function<void()> run = duringShow;
      run();
    }
  }
};

// The real controller over fakes, with FakeWinSock, settings complete and a mailbox served.
struct CheckHarness {
  static constexpr WindowRef kMainWindow = 0x1234;

  FakeWindow window;
  ModalMessageBox box;
  FakeTrace trace;
  FakeClock clock;
  FakeRegistry registry;
  FakeWinSock winsock{window};
  NullHid hid;
  FakeTray tray;
  FakeDialog dialog;
  FakeProcess process;
  FakeNotice notice;
  FakeTls tls;
  FakeSeenStore seenStore;
  FakeNotifier notifier;
  Platform platform{window, box,    trace,   clock,  registry, winsock,   hid,
                    tray,   dialog, process, notice, tls,      seenStore, notifier};
  std::unique_ptr<App> app;
  FakeMailbox mailbox;
  int checkDone = 0;  // SM_CHECKDONE messages handled

  CheckHarness();
  // Sets the three settings (server "pop.example") and serves the mailbox with them.
  void Configure(const std::string& user, const std::string& password);
  // Posts SM_CHECK and dispatches until nothing is left.
  void RunCheck();
  void Pump() { window.Pump(1000000); }
  // The tick count moves on by ms and TIMER_SERVERWAIT ticks.
  void ServerWaitTick(uint32_t ms = kServerWaitMs);
  bool ServerWaitRunning() const { return window.timers.count(TIMER_SERVERWAIT) != 0; }
  // The trace from the first line that starts with `from`, to the end.
  std::string TraceFrom(const std::string& from) const;
  std::vector<std::string> Commands() const { return winsock.sent; }
};

}  // namespace kc::test
