// The Linux trace: the lines of one handled event reach stderr together once the event has been
// handled, WinSock numbers named, and before a message box that follows them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "posix/backends.h"
#include "posix/event_loop.h"

namespace kc::posix {
namespace {

class StderrCapture {
 public:
  StderrCapture() {
    EXPECT_EQ(pipe2(fds_, O_NONBLOCK), 0);
    saved_ = dup(STDERR_FILENO);
    dup2(fds_[1], STDERR_FILENO);
  }
  ~StderrCapture() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    close(fds_[0]);
    close(fds_[1]);
  }
  std::string Take() {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(fds_[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
    return out;
  }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

TEST(StderrTrace, LinesOfOneEventAreWrittenWhenTheEventEnds) {
  StderrCapture capture;
  EventLoop loop;
  StderrTrace trace;
  loop.SetAfterDispatch([&trace] { trace.Flush(); });
  std::string seenDuring = "unset";
  WindowRef w = loop.CreateWindow([&](WindowRef, uint32_t msg, WParam, LParam) -> LResult {
    if (msg == 0x8001) {
      trace.Trace("FD_READ notification received\r\n");
      trace.Trace("WSAAsyncGetHostByName() error: 11001\r\n");
      seenDuring = capture.Take();
    }
    return 0;
  });
  capture.Take();
  loop.Post(w, 0x8001, 0, 0);
  Message m{};
  ASSERT_TRUE(loop.GetMessage(&m, nullptr));
  loop.Dispatch(m);
  EXPECT_EQ(seenDuring, "");
  EXPECT_EQ(capture.Take(),
            "FD_READ notification received\r\n"
            "WSAAsyncGetHostByName() error: 11001 (WSAHOST_NOT_FOUND)\r\n");
}

TEST(StderrTrace, MessageBoxComesAfterTheLinesBeforeIt) {
  StderrCapture capture;
  StderrTrace trace;
  StderrMessageBox box;
  trace.Trace("Calling recv()\r\n");
  box.Show(0, "Connection closed unexpectedly", "KESTOVA");
  EXPECT_EQ(capture.Take(), "Calling recv()\r\n[KESTOVA] Connection closed unexpectedly\n");
}

}  // namespace
}  // namespace kc::posix
