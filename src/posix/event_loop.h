// The POSIX stand-in for the Windows message machinery: one thread, posted and sent messages,
// periodic timers that tick after posted messages, and one poll() that also serves the sockets,
// the resolver and the terminal by turning their readiness into posted messages.
#pragma once
#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "port/message_box.h"
#include "port/trace.h"
#include "port/window.h"

namespace kc::posix {

struct Message {
  WindowRef window;
  uint32_t msg;
  WParam wp;
  LParam lp;
};

using WindowProc = std::function<LResult(WindowRef, uint32_t, WParam, LParam)>;
// Called from inside the poll with the returned events; it may post messages, never dispatch.
using FdCallback = std::function<void(short revents)>;

constexpr uint32_t kWmQuit = 0x0012;

class EventLoop final : public WindowPort {
 public:
  EventLoop();
  ~EventLoop() override;

  // Creates a window; its procedure receives kWmCreate before this returns. Returns 0 when
  // the procedure answered kWmCreate with -1.
  WindowRef CreateWindow(WindowProc proc);
  bool IsWindow(WindowRef window) const;

  // WindowPort
  void Post(WindowRef window, uint32_t msg, WParam wp, LParam lp) override;
  LResult Send(WindowRef window, uint32_t msg, WParam wp, LParam lp) override;
  void StartTimer(WindowRef window, uint32_t id, uint32_t periodMs) override;
  void StopTimer(WindowRef window, uint32_t id) override;
  void Hide(WindowRef window) override;
  void Destroy(WindowRef window) override;
  void PostQuit(int exitCode) override;
  LResult DefaultProc(WindowRef window, uint32_t msg, WParam wp, LParam lp) override;

  // Waits for the next message; false when it is the quit message (its code in *exitCode).
  bool GetMessage(Message* out, int* exitCode);
  void Dispatch(const Message& m);
  // Runs after every dispatched message (the trace writes what the event traced).
  void SetAfterDispatch(std::function<void()> afterDispatch) {
    afterDispatch_ = std::move(afterDispatch);
  }
  int Run();  // the message loop: returns the quit message's exit code
  // A nested loop (modal dialogs): dispatches until done() is true. A quit message met on the
  // way is posted again for the outer loop and ends the nested one.
  void RunNested(const std::function<bool()>& done);

  int Watch(int fd, short events, FdCallback callback);
  void SetWatchEvents(int watchId, short events);
  void Unwatch(int watchId);
  // A source of deadlines, asked before every poll: nextMs() gives the milliseconds until it is
  // due (negative: none); onDue() runs when that time has come.
  int AddDeadline(std::function<int()> nextMs, std::function<void()> onDue);
  void RemoveDeadline(int id);

  static uint64_t NowMs();  // monotonic

  // Counters for the idle measurements.
  uint64_t wakeups() const { return wakeups_; }

 private:
  struct Timer {
    uint32_t periodMs;
    uint64_t dueMs;
  };
  struct Watcher {
    int fd;
    short events;
    FdCallback callback;
  };
  struct Deadline {
    std::function<int()> nextMs;
    std::function<void()> onDue;
  };

  bool TakeDueTimer(Message* out);
  void PollOnce();

  // Shared, so that a dispatch holds its procedure without copying it while the procedure
  // may destroy its own window.
  std::map<WindowRef, std::shared_ptr<WindowProc>> windows_;
  WindowRef nextWindow_ = 1;
  // Posted messages from queueHead_ on; the vector keeps its capacity, so posting allocates
  // nothing once it has grown.
  std::vector<Message> queue_;
  size_t queueHead_ = 0;
  std::map<std::pair<WindowRef, uint32_t>, Timer> timers_;
  std::map<int, Watcher> watchers_;
  int nextWatch_ = 1;
  std::map<int, Deadline> deadlines_;
  int nextDeadline_ = 1;
  // Reused by every poll, so waiting allocates nothing once they have grown.
  std::vector<pollfd> pollFds_;
  std::vector<int> pollIds_;
  std::vector<int> dueDeadlines_;
  std::vector<std::pair<int, int>> deadlineWaits_;  // each deadline's wait, asked once per poll
  std::function<void()> afterDispatch_;
  bool quitPosted_ = false;
  int quitCode_ = 0;
  uint64_t wakeups_ = 0;
};

}  // namespace kc::posix
