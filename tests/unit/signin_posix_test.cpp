// The sign-in's POSIX back ends on the real event loop: an HTTP request to a slow server leaves
// the loop answering other messages and ends as a message; only https:// or loopback addresses
// are asked; a reply too large for the caller is reported, not cut; the loopback listener hands
// over one request and answers it; the token record is a 0600 file and a readable one refused.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "port/messages.h"
#include "posix/backends.h"
#include "posix/event_loop.h"

namespace kc::posix {
namespace {

// Serves one HTTP request on 127.0.0.1 after delayMs with the given body.
class SlowServer {
 public:
  SlowServer(int delayMs, std::string body) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 1);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
    thread_ = std::thread([this, delayMs, body] {
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      char buf[4096];
      std::string head;
      while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t r = recv(c, buf, sizeof buf, 0);
        if (r <= 0) break;
        head.append(buf, static_cast<size_t>(r));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
      send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      close(c);
    });
  }
  ~SlowServer() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  uint16_t port = 0;

 private:
  int fd_;
  std::thread thread_;
};

struct Seen {
  uint32_t msg;
  WParam wp;
};

// Runs the loop until SM_HTTPDONE arrives; returns every message in the order handled.
std::vector<Seen> RunUntilDone(EventLoop& loop) {
  std::vector<Seen> seen;
  Message m{};
  int code = 0;
  while (loop.GetMessage(&m, &code)) {
    seen.push_back({m.msg, m.wp});
    if (m.msg == SM_HTTPDONE) break;
  }
  return seen;
}

TEST(SignInPosix, SlowRequestLeavesTheLoopAnswering) {
  EventLoop loop;
  WindowRef w = loop.CreateWindow([](WindowRef, uint32_t, WParam, LParam) -> LResult { return 0; });
  auto http = MakeHttp(loop);
  SlowServer server(600, R"({"access_token":"x"})");
  std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/token";
  HttpRequest r;
  r.method = HttpMethod::kPost;
  r.url = url.c_str();
  r.formBody = "grant_type=refresh_token";
  char why[256] = {};
  HttpRequestId id = http->Start(w, SM_HTTPDONE, r, why, sizeof why);
  ASSERT_NE(id, 0u) << why;
  // A timer that ticks while the request waits is handled at once, not after it.
  loop.StartTimer(w, 7, 100);
  std::vector<Seen> seen = RunUntilDone(loop);
  loop.StopTimer(w, 7);
  ASSERT_GE(seen.size(), 4u);  // about five ticks in 600 ms
  EXPECT_EQ(seen.front().msg, kWmTimer);
  EXPECT_EQ(seen.front().wp, 7u);
  EXPECT_EQ(seen.back().msg, SM_HTTPDONE);
  EXPECT_EQ(seen.back().wp, id);
  HttpReply reply;
  char body[64];
  ASSERT_TRUE(http->Take(id, &reply, body, sizeof body));
  EXPECT_EQ(reply.outcome, HttpOutcome::kReplied);
  EXPECT_EQ(reply.status, 200);
  EXPECT_STREQ(body, R"({"access_token":"x"})");
  EXPECT_FALSE(http->Take(id, &reply, body, sizeof body));  // released
}

TEST(SignInPosix, RefusesPlainAddressesAndReportsTooLargeReplies) {
  EventLoop loop;
  WindowRef w = loop.CreateWindow([](WindowRef, uint32_t, WParam, LParam) -> LResult { return 0; });
  auto http = MakeHttp(loop);
  char why[256] = {};
  for (const char* url :
       {"http://example.com/token", "ftp://127.0.0.1/", "file:///etc/passwd", "not a url"}) {
    HttpRequest r;
    r.url = url;
    EXPECT_EQ(http->Start(w, SM_HTTPDONE, r, why, sizeof why), 0u) << url;
  }
  SlowServer server(0, std::string(100, 'z'));
  std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/";
  HttpRequest r;
  r.url = url.c_str();
  HttpRequestId id = http->Start(w, SM_HTTPDONE, r, why, sizeof why);
  ASSERT_NE(id, 0u) << why;
  RunUntilDone(loop);
  HttpReply reply;
  char body[50];
  ASSERT_TRUE(http->Take(id, &reply, body, sizeof body));
  EXPECT_EQ(reply.outcome, HttpOutcome::kTooLarge);
  EXPECT_STREQ(body, "");
}

TEST(SignInPosix, LoopbackHandsOverOneRequestAndAnswersIt) {
  EventLoop loop;
  WindowRef w = loop.CreateWindow([](WindowRef, uint32_t, WParam, LParam) -> LResult { return 0; });
  auto listener = MakeLoopback(loop);
  char why[256] = {};
  uint16_t port = listener->Open(w, SM_LOOPBACK, why, sizeof why);
  ASSERT_NE(port, 0) << why;
  std::string answer;
  std::thread browser([port, &answer] {
    int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const char req[] = "GET /callback?code=C&state=S HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    send(c, req, sizeof req - 1, MSG_NOSIGNAL);
    char buf[1024];
    ssize_t n;
    while ((n = recv(c, buf, sizeof buf, 0)) > 0) answer.append(buf, static_cast<size_t>(n));
    close(c);
  });
  Message m{};
  int code = 0;
  char target[kLoopbackTargetSize];
  LoopbackTake took = LoopbackTake::kNothing;
  while (took != LoopbackTake::kRequest && loop.GetMessage(&m, &code)) {
    if (m.msg == SM_LOOPBACK) took = listener->Take(target, sizeof target, why, sizeof why);
  }
  EXPECT_STREQ(target, "/callback?code=C&state=S");
  listener->Answer(200, "<p>done</p>");
  listener->Close();
  browser.join();
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("\r\n\r\n<p>done</p>"), std::string::npos);
}

TEST(SignInPosix, TokenRecordIsTheUsersAlone) {
  char dir[] = "/tmp/kc-token-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  setenv("XDG_STATE_HOME", dir, 1);
  auto store = MakeTokenStore();
  const std::string path = std::string(dir) + "/kestova/token.dat";
  EXPECT_EQ(std::string(store->Where()), path);
  uint8_t bytes[64];
  uint32_t length = 0;
  char why[256] = {};
  EXPECT_EQ(store->Load(bytes, sizeof bytes, &length, why, sizeof why), TokenLoad::kMissing);
  ASSERT_TRUE(store->Save(reinterpret_cast<const uint8_t*>("record"), 6, why, sizeof why)) << why;
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(store->Load(bytes, sizeof bytes, &length, why, sizeof why), TokenLoad::kLoaded);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), length), "record");
  chmod(path.c_str(), 0644);  // readable by others: no longer trusted
  EXPECT_EQ(store->Load(bytes, sizeof bytes, &length, why, sizeof why), TokenLoad::kFailed);
  EXPECT_TRUE(store->Erase(why, sizeof why));
  EXPECT_EQ(store->Load(bytes, sizeof bytes, &length, why, sizeof why), TokenLoad::kMissing);
  unsetenv("XDG_STATE_HOME");
  rmdir((std::string(dir) + "/kestova").c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace kc::posix
