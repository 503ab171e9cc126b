// The server's byte stream into one whole check: the real controller and poller over the fake
// WinSock, the input deciding the bytes, where receives start and end, and what else happens on
// the connection. Every run must end its check exactly once, leave the cycle idle, and a healthy
// check right after it must succeed.
//
// Input: the bytes the server sends, with two bytes of control:
//   0xFF      ends a receive: what was gathered since the last end arrives as one receive,
//             announced with FD_READ, and the window's messages are dispatched.
//   0xFE X    X = 0xFE or 0xFF: that byte as data. Otherwise an event:
//             'c' the server closes   'r' recv fails (connection reset)
//             'w' FD_READ with nothing waiting   'q' the gathered bytes wait unannounced
//             't' a minute of silence: the server-wait timer ticks
//             'T' the server-wait timer ticks after a second   'p' the page timer ticks
//             'k' another check is asked for while this one runs   'W' FD_WRITE
//             'C' FD_CONNECT with an error
//             'o' an event for a socket that is not the check's
//             'L' n1 n2 b: (n1 + 256 n2) * 16 bytes b, up to 1 MiB (a reply without a line
//             feed, or thousands of empty lines), in receives of 4,096 bytes
// The end of the input delivers what is left. A check still running then sees the server close,
// and if even that does not end it, a minute of silence.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/dialogue_check.h"
#include "fuzz/fuzz_check.h"
#include "support/fake_winsock.h"

namespace {

using kc::test::CheckHarness;

constexpr uint8_t kEndReceive = 0xFF;
constexpr uint8_t kControl = 0xFE;

void CheckInvariants(const CheckHarness& h) {
  const kc::FramingState& f = h.app->poller.framing();
  FUZZ_CHECK(f.responseLength <= kc::kResponseBufferSize);
  FUZZ_CHECK(f.responseBuffer[f.responseLength] == '\0');
  // A reply is never kept beyond its bound, and never with the password.
  const char* said = h.app->poller.lastReply();
  const size_t saidLength = strnlen(said, kc::kLastReplySize);
  FUZZ_CHECK(saidLength < kc::kLastReplySize);
  for (size_t i = 0; i < saidLength; ++i) FUZZ_CHECK(static_cast<unsigned char>(said[i]) >= 0x20);
  FUZZ_CHECK(std::strstr(said, h.mailbox.password.c_str()) == nullptr);
  // Nor any run of 4 of its bytes: an escaped or partial echo is masked as well.
  for (size_t i = 0; i + 4 <= saidLength; ++i) {
    FUZZ_CHECK(h.mailbox.password.find(std::string(said + i, 4)) == std::string::npos);
  }
  FUZZ_CHECK(f.singleLineMode == 0 || f.singleLineMode == 1);
  FUZZ_CHECK(h.app->status.mailCount >= 0);
  FUZZ_CHECK(h.app->status.busy <= 1 && h.app->status.serverError <= 1);
  FUZZ_CHECK(h.checkDone <= 1);
}

void CheckSenders(const CheckHarness& h) {
  for (const auto& slot : h.app->senders.slot) {
    FUZZ_CHECK(std::memchr(slot, '\0', sizeof slot) != nullptr);
  }
}

class Session {
 public:
  Session() {
    h.winsock.server = nullptr;  // the input is the server
    h.winsock.autoConnect = false;
    h.winsock.closeAfterQuit = false;
  }

  void Start() {
    h.window.Post(CheckHarness::kMainWindow, kc::SM_CHECK, 0, 0);
    Pump();
    h.winsock.PostEvent(kc::kFdConnect);
    h.winsock.PostEvent(kc::kFdWrite);
    Pump();
  }

  void Run(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      uint8_t b = data[i];
      if (b == kEndReceive) {
        Deliver();
        continue;
      }
      if (b != kControl) {
        gathered_.push_back(static_cast<char>(b));
        continue;
      }
      if (++i == size) break;
      uint8_t x = data[i];
      if (x == kControl || x == kEndReceive) {
        gathered_.push_back(static_cast<char>(x));
        continue;
      }
      if (x == 'L') {
        if (size - i <= 3) break;
        size_t count =
            (static_cast<size_t>(data[i + 1]) | static_cast<size_t>(data[i + 2]) << 8) * 16;
        char fill = static_cast<char>(data[i + 3]);
        i += 3;
        Deliver();
        // Receives of 4,096 bytes: all that one recv of the session takes.
        h.winsock.DeliverSplit(std::string(count, fill), kc::kResponseBufferSize);
        Pump();
        continue;
      }
      Event(static_cast<char>(x));
    }
    Deliver();
  }

  // Ends a check that the input left running, as the server or the wait would end it.
  void Finish() {
    if (h.app->poller.checkRunning()) {
      h.winsock.PeerClose();
      Pump();
    }
    if (h.app->poller.checkRunning()) h.ServerWaitTick();
    CheckInvariants(h);
    CheckSenders(h);

    FUZZ_CHECK(!h.app->poller.checkRunning());
    FUZZ_CHECK(h.checkDone == 1);
    FUZZ_CHECK(h.app->status.busy == 0);
    FUZZ_CHECK(h.app->status.propertiesEnabled == 1);
    FUZZ_CHECK(h.winsock.Count("WSAStartup 257") == 1);
    FUZZ_CHECK(h.winsock.Count("WSACleanup") == 1);
    FUZZ_CHECK(h.winsock.openSockets.empty());
    FUZZ_CHECK(!h.ServerWaitRunning());
    FUZZ_CHECK(h.app->poller.framing().responseLength == 0);
    FUZZ_CHECK(h.app->poller.framing().singleLineMode == 1);
    FUZZ_CHECK(h.window.posted.empty());
    CheckDialogue(h.winsock.sent, h.app->status.mailCount, false);
    if (h.app->status.serverError == 0) {
      // A check that ended well went the whole way: a header for every message the table
      // holds, then QUIT.
      int32_t count = h.app->status.mailCount;
      size_t tops = static_cast<size_t>(count < kc::kSenderSlots ? count : kc::kSenderSlots);
      FUZZ_CHECK(h.winsock.sent.size() == 4 + tops);
      FUZZ_CHECK(h.winsock.sent.back() == "QUIT\r\n");
    }
  }

  // The next check, against a healthy server, must work as if nothing had happened before.
  void CheckHealthyNext() {
    h.mailbox.headers = {kc::test::HeadersFrom("Alice <alice@example.org>"),
                         kc::test::HeadersFrom("bob@example.org")};
    h.mailbox.overrides.clear();
    h.mailbox.Serve(h.winsock);
    h.winsock.autoConnect = true;
    h.winsock.closeAfterQuit = true;
    h.winsock.sent.clear();
    h.RunCheck();
    FUZZ_CHECK(h.checkDone == 2);
    FUZZ_CHECK(!h.app->poller.checkRunning());
    FUZZ_CHECK(h.app->status.serverError == 0);
    FUZZ_CHECK(h.app->status.busy == 0);
    FUZZ_CHECK(h.app->status.mailCount == 2);
    FUZZ_CHECK(std::strcmp(h.app->senders.slot[0], "alice@example.org") == 0);
    FUZZ_CHECK(std::strcmp(h.app->senders.slot[1], "bob@example.org") == 0);
    FUZZ_CHECK(h.winsock.sent.size() == 6);
    FUZZ_CHECK(h.winsock.openSockets.empty());
    FUZZ_CHECK(!h.ServerWaitRunning());
  }

 private:
  void Pump() {
    h.Pump();
    CheckInvariants(h);
  }

  void Deliver() {
    if (gathered_.empty()) return;
    h.winsock.Deliver(gathered_);
    gathered_.clear();
    Pump();
  }

  void Event(char x) {
    switch (x) {
      case 'c':
        Deliver();
        h.winsock.PeerClose();
        break;
      case 'r':
        Deliver();
        h.winsock.QueueRecvResult(-1, 10054);
        break;
      case 'w': h.winsock.PostEvent(kc::kFdRead); break;
      case 'q':
        if (!gathered_.empty()) h.winsock.Queue(gathered_);
        gathered_.clear();
        return;  // nothing dispatched: the bytes wait for the next read
      case 't':
        Deliver();
        h.ServerWaitTick();
        break;
      case 'T':
        Deliver();
        h.ServerWaitTick(1000);
        break;
      case 'p': h.window.Post(CheckHarness::kMainWindow, kc::kWmTimer, kc::TIMER_LCDPAGE, 0); break;
      case 'k':  // only while the check runs: it must be dropped
        if (h.app->status.busy == 0) return;
        h.window.Post(CheckHarness::kMainWindow, kc::SM_CHECK, 0, 0);
        break;
      case 'W': h.winsock.PostEvent(kc::kFdWrite); break;
      case 'C': h.winsock.PostEvent(kc::kFdConnect, 10061); break;
      case 'o': h.winsock.PostEventFor(h.winsock.lastSocket + 1, kc::kFdRead); break;
      default: return;
    }
    Pump();
  }

 public:
  CheckHarness h;

 private:
  std::string gathered_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Session session;
  session.Start();
  session.Run(data, size);
  session.Finish();
  session.CheckHealthyNext();
  return 0;
}
