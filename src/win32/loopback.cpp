// The loopback listener of the browser sign-in: a WinSock 1.1 socket bound to 127.0.0.1 and a
// port the system picks, its accept, read and close events posted to the main window by
// WSAAsyncSelect. The message is only a nudge: Take then accepts or reads whatever is ready
// (the sockets are non-blocking), so the core sees the same calls as on the POSIX side.
#include "win32/backends.h"
// winsock.h after windows.h: WIN32_LEAN_AND_MEAN keeps windows.h from pulling in either
// WinSock header, and winsock.h (1.1) must not meet winsock2.h.
#include <winsock.h>

#include <cstdio>
#include <cstring>

namespace kc::win32 {

namespace {

// A request head longer than this is no redirect of ours.
constexpr uint32_t kHeadSize = 8192;

class WinSockLoopback final : public LoopbackPort {
 public:
  ~WinSockLoopback() override { Close(); }

  uint16_t Open(WindowRef window, uint32_t msg, char* why, size_t whySize) override {
    Close();
    WSADATA data{};
    if (WSAStartup(0x0101, &data) != 0) {
      std::snprintf(why, whySize, "WinSock could not be started");
      return 0;
    }
    started_ = true;
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    if (listener_ == INVALID_SOCKET ||
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        WSAAsyncSelect(listener_, ToHwnd(window), msg, FD_ACCEPT | FD_READ | FD_CLOSE) != 0) {
      std::snprintf(why, whySize, "no listener on 127.0.0.1 (WinSock error %d)", WSAGetLastError());
      Close();
      return 0;
    }
    return ntohs(address.sin_port);
  }

  LoopbackTake Take(char* target, uint32_t size, char* why, size_t whySize) override {
    if (listener_ == INVALID_SOCKET) {
      std::snprintf(why, whySize, "the listener is closed");
      return LoopbackTake::kFailed;
    }
    if (client_ == INVALID_SOCKET) {
      // One connection at a time: a browser's second one waits in the backlog until the
      // first has been answered.
      client_ = accept(listener_, nullptr, nullptr);
      if (client_ == INVALID_SOCKET) {
        if (WSAGetLastError() == WSAEWOULDBLOCK) return LoopbackTake::kNothing;
        std::snprintf(why, whySize, "accept failed (WinSock error %d)", WSAGetLastError());
        Close();
        return LoopbackTake::kFailed;
      }
      used_ = 0;
    }
    while (used_ < kHeadSize) {
      int n = recv(client_, head_ + used_, static_cast<int>(kHeadSize - used_), 0);
      if (n > 0) {
        used_ += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) break;
      DropClient();  // closed before a whole head: nothing to answer
      return LoopbackTake::kNothing;
    }
    head_[used_ < kHeadSize ? used_ : kHeadSize - 1] = '\0';
    if (std::strstr(head_, "\r\n\r\n") == nullptr) {
      if (used_ < kHeadSize) return LoopbackTake::kNothing;  // the rest is on its way
      Answer(431, "<p>Request too large</p>");
      return LoopbackTake::kNothing;
    }
    // "GET <target> HTTP/1.x": anything else is answered here and never reaches the core.
    const char* start = head_ + 4;
    const char* end = std::strchr(start, ' ');
    const char* line = std::strstr(head_, "\r\n");
    if (std::strncmp(head_, "GET ", 4) != 0 || end == nullptr || end > line) {
      Answer(405, "<p>Method not allowed</p>");
      return LoopbackTake::kNothing;
    }
    const size_t length = static_cast<size_t>(end - start);
    if (length >= size) {
      Answer(414, "<p>Address too long</p>");
      return LoopbackTake::kNothing;
    }
    std::memcpy(target, start, length);
    target[length] = '\0';
    return LoopbackTake::kRequest;
  }

  void Answer(int status, const char* html) override {
    if (client_ == INVALID_SOCKET) return;
    const size_t body = std::strlen(html);
    char header[256];
    int n = std::snprintf(header, sizeof header,
                          "HTTP/1.1 %d %s\r\nContent-Type: text/html; charset=utf-8\r\n"
                          "Content-Length: %lu\r\nCache-Control: no-store\r\n"
                          "Connection: close\r\n\r\n",
                          status, status == 200 ? "OK" : "Error", static_cast<unsigned long>(body));
    if (n > 0 && static_cast<size_t>(n) < sizeof header) {
      if (SendAll(header, static_cast<size_t>(n))) SendAll(html, body);
    }
    DropClient();
  }

  void Close() override {
    DropClient();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    listener_ = INVALID_SOCKET;
    if (started_) WSACleanup();
    started_ = false;
  }

 private:
  // The page is short, but the socket is non-blocking: what the send buffer cannot take at
  // once is given a moment, never the program's whole run.
  bool SendAll(const char* data, size_t n) {
    size_t sent = 0;
    int waits = 0;
    while (sent < n) {
      int r = send(client_, data + sent, static_cast<int>(n - sent), 0);
      if (r > 0) {
        sent += static_cast<size_t>(r);
        continue;
      }
      if (r < 0 && WSAGetLastError() == WSAEWOULDBLOCK && waits++ < 20) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(client_, &writable);
        timeval wait{0, 50000};
        select(0, nullptr, &writable, nullptr, &wait);
        continue;
      }
      return false;
    }
    return true;
  }

  void DropClient() {
    if (client_ != INVALID_SOCKET) closesocket(client_);
    client_ = INVALID_SOCKET;
    used_ = 0;
  }

  bool started_ = false;
  SOCKET listener_ = INVALID_SOCKET;
  SOCKET client_ = INVALID_SOCKET;
  char head_[kHeadSize];
  uint32_t used_ = 0;
};

}  // namespace

std::unique_ptr<LoopbackPort> MakeLoopback() { return std::make_unique<WinSockLoopback>(); }

}  // namespace kc::win32
