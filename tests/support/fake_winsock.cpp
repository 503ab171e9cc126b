#include "support/fake_winsock.h"

#include <cstring>

namespace kc::test {

int FakeWinSock::Count(const std::string& call) const {
  int n = 0;
  for (const std::string& c : calls) n += c == call ? 1 : 0;
  return n;
}

int FakeWinSock::CountPrefix(const std::string& prefix) const {
  int n = 0;
  for (const std::string& c : calls) n += c.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

void FakeWinSock::Deliver(const std::string& bytes) {
  receives_.push_back({bytes, 1, 0});
  PostEvent(kFdRead);
}

void FakeWinSock::Queue(const std::string& bytes) { receives_.push_back({bytes, 1, 0}); }

void FakeWinSock::DeliverSplit(const std::string& bytes, size_t every) {
  if (every == 0 || bytes.size() <= every) {
    Deliver(bytes);
    return;
  }
  for (size_t at = 0; at < bytes.size(); at += every) Deliver(bytes.substr(at, every));
}

void FakeWinSock::QueueRecvResult(int result, int error, bool post) {
  receives_.push_back({std::string(), result, error});
  if (post) PostEvent(kFdRead);
}

void FakeWinSock::PeerClose() {
  peerClosed_ = true;
  PostEvent(kFdClose);
}

void FakeWinSock::PostEvent(long event, int error) { PostEventFor(lastSocket, event, error); }

void FakeWinSock::PostEventFor(SocketRef s, long event, int error) {
  LParam word = static_cast<LParam>((static_cast<uint32_t>(error) << 16) |
                                    static_cast<uint32_t>(event & 0xFFFF));
  window_.Post(selectWindow, selectMsg_ != 0 ? selectMsg_ : SM_SOCKET, s, word);
}

void FakeWinSock::PostLookupReply(uintptr_t handle, int error) {
  window_.Post(lookupWindow_, lookupMsg_ != 0 ? lookupMsg_ : SM_GETHOST, handle,
               static_cast<LParam>(static_cast<uint32_t>(error) << 16));
}

int FakeWinSock::Startup(uint16_t wanted, uint16_t* granted) {
  calls.push_back("WSAStartup " + std::to_string(wanted));
  if (startupResult != 0) {
    *granted = 0;
    return startupResult;
  }
  *granted = grantedVersion;
  return 0;
}

int FakeWinSock::Cleanup() {
  calls.push_back("WSACleanup");
  return 0;
}

uintptr_t FakeWinSock::AsyncGetHostByName(WindowRef window, uint32_t msg, const char* name,
                                          uint8_t* buffer, uint32_t length) {
  calls.push_back(std::string("lookup ") + name);
  lastLookupName = name;
  if (failing.count("lookup") != 0) return 0;
  std::memset(buffer, 0xA5, length);  // whatever the platform writes there
  lookupWindow_ = window;
  lookupMsg_ = msg;
  lastLookup = nextLookup_++;
  if (autoLookup) PostLookupReply(lastLookup, lookupError);
  return lastLookup;
}

bool FakeWinSock::FirstAddress(const uint8_t*, uint8_t out[4]) {
  if (failing.count("address") != 0) return false;
  std::memcpy(out, address, 4);
  return true;
}

SocketRef FakeWinSock::Socket() {
  if (failing.count("socket") != 0) {
    calls.push_back("socket failed");
    return kInvalidSocket;
  }
  SocketRef s = nextSocket_++;
  calls.push_back("socket " + std::to_string(s));
  openSockets.insert(s);
  lastSocket = s;
  // A new connection starts with nothing received.
  receives_.clear();
  peerClosed_ = false;
  sendBlocked_ = false;
  return s;
}

int FakeWinSock::AsyncSelect(SocketRef s, WindowRef window, uint32_t msg, long events) {
  calls.push_back("select " + std::to_string(s) + " " + std::to_string(events));
  if (failing.count("select") != 0) return -1;
  selectWindow = window;
  selectMsg_ = msg;
  return 0;
}

bool FakeWinSock::GetServiceByName(const char* name, const char* proto, uint16_t* port) {
  calls.push_back(std::string("getservbyname ") + name + " " + proto);
  if (failing.count("service") != 0) return false;
  *port = Htons(servicePort);
  return true;
}

uint16_t FakeWinSock::Htons(uint16_t v) { return static_cast<uint16_t>((v << 8) | (v >> 8)); }

int FakeWinSock::Connect(SocketRef s, const Ipv4Endpoint& to) {
  calls.push_back("connect " + std::to_string(s));
  connectedTo = to;
  if (failing.count("connect") != 0) {
    lastError_ = connectError;
    return -1;
  }
  lastError_ = kWsaEWouldBlock;  // a selected socket connects in the background
  if (autoConnect) {
    PostEvent(kFdConnect, connectEventError);
    if (connectEventError == 0) {
      PostEvent(kFdWrite);
      if (!greeting.empty()) DeliverSplit(greeting, splitEvery);
    }
  }
  return -1;
}

int FakeWinSock::Send(SocketRef s, const char* data, int length) {
  if (sendBlocked_ && openSockets.count(s) != 0) {
    sendBlocked_ = false;
    calls.push_back("send blocked " + std::to_string(s));
    lastError_ = kWsaEWouldBlock;
    PostEvent(kFdWrite);
    return -1;
  }
  if (sendChunk != 0 && static_cast<size_t>(length) > sendChunk) {
    length = static_cast<int>(sendChunk);
    sendBlocked_ = blockAfterChunk;
  }
  std::string command(data, static_cast<size_t>(length));
  calls.push_back("send " + std::to_string(s));
  sent.push_back(command);
  if (openSockets.count(s) == 0 || peerClosed_) {
    lastError_ = 10057;
    return -1;
  }
  if (server) {
    std::string reply = server(command);
    if (!reply.empty()) DeliverSplit(reply, splitEvery);
  }
  if (command == "QUIT\r\n" && closeAfterQuit) PeerClose();
  if (closeAfterReply) {
    closeAfterReply = false;
    PeerClose();
  }
  return length;
}

void FakeWinSock::ExpectAtLeast(SocketRef, int bytes) {
  size_t queued = 0;
  for (const Receive& r : receives_) queued += r.result == 1 ? r.bytes.size() : 0;
  hints.push_back({bytes, queued});
}

int FakeWinSock::Recv(SocketRef s, char* buffer, int length) {
  calls.push_back("recv " + std::to_string(s));
  if (openSockets.count(s) == 0) {
    lastError_ = 10038;  // not a socket
    return -1;
  }
  if (receives_.empty()) {
    if (peerClosed_) return 0;
    lastError_ = kWsaEWouldBlock;
    return -1;
  }
  Receive& front = receives_.front();
  if (front.result != 1) {
    int result = front.result;
    lastError_ = front.error;
    receives_.pop_front();
    return result;
  }
  size_t n = front.bytes.size() < static_cast<size_t>(length) ? front.bytes.size()
                                                              : static_cast<size_t>(length);
  std::memcpy(buffer, front.bytes.data(), n);
  front.bytes.erase(0, n);
  if (front.bytes.empty()) {
    receives_.pop_front();
  } else {
    PostEvent(kFdRead);  // WinSock announces what is left with another FD_READ
  }
  return static_cast<int>(n);
}

int FakeWinSock::Shutdown(SocketRef s, int how) {
  calls.push_back("shutdown " + std::to_string(s) + " " + std::to_string(how));
  return openSockets.count(s) != 0 ? 0 : -1;
}

int FakeWinSock::CloseSocket(SocketRef s) {
  calls.push_back("closesocket " + std::to_string(s));
  if (openSockets.erase(s) == 0) return -1;
  if (s == lastSocket) receives_.clear();
  return 0;
}

std::string FakeMailbox::Reply(const std::string& command) const {
  for (const auto& o : overrides) {
    if (o.first == command) return o.second;
  }
  if (command == "USER " + user + "\r\n") return "+OK\r\n";
  if (command.rfind("USER ", 0) == 0) return "-ERR unknown user\r\n";
  if (command == "PASS " + password + "\r\n") return "+OK Logged in.\r\n";
  if (command.rfind("PASS ", 0) == 0) return "-ERR [AUTH] Authentication failed.\r\n";
  if (command == "STAT\r\n") {
    size_t size = 0;
    for (const std::string& h : headers) size += h.size() + 100;
    return "+OK " + std::to_string(headers.size()) + " " + std::to_string(size) + "\r\n";
  }
  if (command == "QUIT\r\n") return "+OK Logging out.\r\n";
  if (command == "UIDL\r\n" && !uids.empty()) {
    std::string listing = "+OK\r\n";
    for (size_t i = 0; i < uids.size(); ++i)
      listing += std::to_string(i + 1) + " " + uids[i] + "\r\n";
    return listing + ".\r\n";
  }
  if (command == "CAPA\r\n" && !capabilities.empty()) {
    return "+OK\r\n" + capabilities + ".\r\n";
  }
  unsigned n = 0;
  if (std::sscanf(command.c_str(), "TOP %u 0\r\n", &n) == 1) {
    if (n == 0 || n > headers.size())
      return "-ERR There's no message " + std::to_string(n) + ".\r\n";
    return "+OK\r\n" + headers[n - 1] + "\r\n.\r\n";
  }
  return "-ERR Unknown command.\r\n";
}

void FakeMailbox::Serve(FakeWinSock& winsock) const {
  const FakeMailbox* self = this;
  winsock.server = [self](const std::string& command) { return self->Reply(command); };
}

std::string HeadersFrom(const std::string& from) {
  return "Return-Path: <x@example.org>\r\nFrom: " + from +
         "\r\nTo: bob@example.org\r\nSubject: hello\r\n";
}

CheckHarness::CheckHarness() : app(std::make_unique<App>(platform)) {
  app->mainWindow = kMainWindow;
  window.proc = [this](WindowRef w, uint32_t m, WParam wp, LParam lp) {
    if (m == SM_CHECKDONE) ++checkDone;
    return app->MainWndProc(w, m, wp, lp);
  };
  Configure(mailbox.user, mailbox.password);
}

void CheckHarness::Configure(const std::string& user, const std::string& password) {
  std::snprintf(app->settings.server, sizeof app->settings.server, "%s", "pop.example");
  std::snprintf(app->settings.user, sizeof app->settings.user, "%s", user.c_str());
  std::snprintf(app->settings.password, sizeof app->settings.password, "%s", password.c_str());
  app->status.ready = 1;
  mailbox.Serve(winsock);
}

void CheckHarness::RunCheck() {
  window.Post(kMainWindow, SM_CHECK, 0, 0);
  Pump();
}

void CheckHarness::ServerWaitTick(uint32_t ms) {
  clock.ticks += ms;
  window.Post(kMainWindow, kWmTimer, TIMER_SERVERWAIT, 0);
  Pump();
}

std::string CheckHarness::TraceFrom(const std::string& from) const {
  size_t at = trace.all.find(from);
  return at == std::string::npos ? std::string() : trace.all.substr(at);
}

}  // namespace kc::test
