// The loopback listener of the browser sign-in: 127.0.0.1 on a port the system picks, served by
// the event loop's poll. A few connections may be open at once (browsers open spare ones); the
// first whose request head arrives whole is handed out, answered and closed.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "posix/backends.h"
#include "posix/files.h"

namespace kc::posix {

namespace {

constexpr size_t kMaxConnections = 4;
constexpr size_t kMaxHead = 8192;  // a request head longer than this is dropped

class SocketLoopback final : public LoopbackPort {
 public:
  explicit SocketLoopback(EventLoop& loop) : loop_(loop) {}
  ~SocketLoopback() override { Close(); }

  uint16_t Open(WindowRef window, uint32_t msg, char* why, size_t whySize) override {
    Close();
    window_ = window;
    msg_ = msg;
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t size = sizeof addr;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 4) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
      std::snprintf(why, whySize, "%s", std::strerror(errno));
      Close();
      return 0;
    }
    listenWatch_ = loop_.Watch(listenFd_, POLLIN, [this](short) { Accept(); });
    return ntohs(addr.sin_port);
  }

  LoopbackTake Take(char* target, uint32_t size, char* why, size_t whySize) override {
    if (failed_) {
      std::snprintf(why, whySize, "%s", failure_.c_str());
      failed_ = false;
      Close();
      return LoopbackTake::kFailed;
    }
    for (size_t i = 0; i < connections_.size(); ++i) {
      Connection& c = connections_[i];
      size_t end = c.head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      // "GET /path?query HTTP/1.1": the target between the first two blanks.
      size_t first = c.head.find(' ');
      size_t second = first == std::string::npos ? first : c.head.find(' ', first + 1);
      if (second == std::string::npos || second > end || c.head.compare(0, first, "GET") != 0) {
        Drop(i);
        --i;
        continue;
      }
      std::string t = c.head.substr(first + 1, second - first - 1);
      std::snprintf(target, size, "%s", t.c_str());
      answering_ = c.fd;
      c.head.clear();
      return LoopbackTake::kRequest;
    }
    return LoopbackTake::kNothing;
  }

  void Answer(int status, const char* html) override {
    for (size_t i = 0; i < connections_.size(); ++i) {
      if (connections_[i].fd != answering_) continue;
      char head[256];
      const size_t body = std::strlen(html);
      int n = std::snprintf(head, sizeof head,
                            "HTTP/1.1 %d %s\r\nContent-Type: text/html; charset=utf-8\r\n"
                            "Content-Length: %zu\r\nConnection: close\r\n"
                            "Cache-Control: no-store\r\n\r\n",
                            status, status == 200 ? "OK" : "Bad Request", body);
      // The page is short: the socket's buffer takes it whole.
      int flags = fcntl(answering_, F_GETFL);
      fcntl(answering_, F_SETFL, flags & ~O_NONBLOCK);
      WriteAll(answering_, head, static_cast<size_t>(n));
      WriteAll(answering_, html, body);
      Drop(i);
      break;
    }
    answering_ = -1;
  }

  void Close() override {
    while (!connections_.empty()) Drop(connections_.size() - 1);
    if (listenWatch_ != 0) loop_.Unwatch(listenWatch_);
    listenWatch_ = 0;
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
  }

 private:
  struct Connection {
    int fd;
    int watch;
    std::string head;
  };

  void Accept() {
    for (;;) {
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) return;
        failed_ = true;
        failure_ = std::strerror(errno);
        loop_.Post(window_, msg_, 0, 0);
        return;
      }
      if (connections_.size() == kMaxConnections) Drop(0);  // the oldest, likely a spare
      connections_.push_back({fd, 0, std::string()});
      connections_.back().watch = loop_.Watch(fd, POLLIN, [this, fd](short) { Read(fd); });
    }
  }

  void Read(int fd) {
    for (size_t i = 0; i < connections_.size(); ++i) {
      Connection& c = connections_[i];
      if (c.fd != fd) continue;
      char buf[2048];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      if (n <= 0 || c.head.size() + static_cast<size_t>(n) > kMaxHead) {
        Drop(i);
        return;
      }
      c.head.append(buf, static_cast<size_t>(n));
      if (c.head.find("\r\n\r\n") != std::string::npos) {
        loop_.SetWatchEvents(c.watch, 0);  // read no more until answered
        loop_.Post(window_, msg_, 0, 0);
      }
      return;
    }
  }

  void Drop(size_t i) {
    loop_.Unwatch(connections_[i].watch);
    close(connections_[i].fd);
    connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(i));
  }

  EventLoop& loop_;
  WindowRef window_ = 0;
  uint32_t msg_ = 0;
  int listenFd_ = -1;
  int listenWatch_ = 0;
  std::vector<Connection> connections_;
  int answering_ = -1;
  bool failed_ = false;
  std::string failure_;
};

}  // namespace

std::unique_ptr<LoopbackPort> MakeLoopback(EventLoop& loop) {
  return std::make_unique<SocketLoopback>(loop);
}

}  // namespace kc::posix
