#include "posix/event_loop.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace kc::posix {

namespace {
// The bounds the Windows timer puts on a period.
constexpr uint32_t kTimerMinimumMs = 10;
constexpr uint32_t kTimerMaximumMs = 0x7FFFFFFF;
}  // namespace

EventLoop::EventLoop() = default;
EventLoop::~EventLoop() = default;

uint64_t EventLoop::NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

WindowRef EventLoop::CreateWindow(WindowProc proc) {
  WindowRef window = nextWindow_++;
  auto shared = std::make_shared<WindowProc>(std::move(proc));
  windows_[window] = shared;
  if ((*shared)(window, kWmCreate, 0, 0) == -1) {
    windows_.erase(window);
    return 0;
  }
  return window;
}

bool EventLoop::IsWindow(WindowRef window) const { return windows_.count(window) != 0; }

void EventLoop::Post(WindowRef window, uint32_t msg, WParam wp, LParam lp) {
  if (!IsWindow(window)) return;
  // A queue that never runs empty drops what it has handed out once that is most of it.
  if (queueHead_ > 64 && queueHead_ * 2 > queue_.size()) {
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(queueHead_));
    queueHead_ = 0;
  }
  queue_.push_back({window, msg, wp, lp});
}

LResult EventLoop::Send(WindowRef window, uint32_t msg, WParam wp, LParam lp) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return 0;
  std::shared_ptr<WindowProc> proc = it->second;  // the procedure may destroy its window
  return (*proc)(window, msg, wp, lp);
}

void EventLoop::StartTimer(WindowRef window, uint32_t id, uint32_t periodMs) {
  if (!IsWindow(window)) return;
  if (periodMs < kTimerMinimumMs) periodMs = kTimerMinimumMs;
  if (periodMs > kTimerMaximumMs) periodMs = kTimerMaximumMs;
  timers_[{window, id}] = Timer{periodMs, NowMs() + periodMs};
}

void EventLoop::StopTimer(WindowRef window, uint32_t id) { timers_.erase({window, id}); }

void EventLoop::Hide(WindowRef) {}

void EventLoop::Destroy(WindowRef window) {
  if (!IsWindow(window)) return;
  Send(window, kWmDestroy, 0, 0);
  windows_.erase(window);
  for (auto it = timers_.begin(); it != timers_.end();) {
    it = it->first.first == window ? timers_.erase(it) : std::next(it);
  }
  queue_.erase(
      std::remove_if(queue_.begin() + static_cast<std::ptrdiff_t>(queueHead_), queue_.end(),
                     [window](const Message& m) { return m.window == window; }),
      queue_.end());
}

void EventLoop::PostQuit(int exitCode) {
  quitPosted_ = true;
  quitCode_ = exitCode;
}

LResult EventLoop::DefaultProc(WindowRef, uint32_t, WParam, LParam) { return 0; }

bool EventLoop::TakeDueTimer(Message* out) {
  uint64_t now = NowMs();
  for (auto& [key, timer] : timers_) {
    if (timer.dueMs <= now) {
      // Like WM_TIMER: produced when fetched, so a late timer never piles up ticks.
      timer.dueMs = now + timer.periodMs;
      *out = Message{key.first, kWmTimer, key.second, 0};
      return true;
    }
  }
  return false;
}

void EventLoop::PollOnce() {
  uint64_t now = NowMs();
  int64_t timeout = -1;
  for (const auto& [key, timer] : timers_) {
    int64_t wait = timer.dueMs > now ? static_cast<int64_t>(timer.dueMs - now) : 0;
    if (timeout < 0 || wait < timeout) timeout = wait;
  }
  deadlineWaits_.clear();
  for (const auto& [id, deadline] : deadlines_) {
    int wait = deadline.nextMs();
    if (wait < 0) continue;
    deadlineWaits_.emplace_back(id, wait);
    if (timeout < 0 || wait < timeout) timeout = wait;
  }
  if (timeout > 0x7FFFFFFF) timeout = 0x7FFFFFFF;

  pollFds_.clear();
  pollIds_.clear();
  for (const auto& [id, watcher] : watchers_) {
    if (watcher.events == 0) continue;
    pollFds_.push_back(pollfd{watcher.fd, watcher.events, 0});
    pollIds_.push_back(id);
  }
  int n = poll(pollFds_.data(), pollFds_.size(), static_cast<int>(timeout));
  ++wakeups_;
  if (n > 0) {
    for (size_t i = 0; i < pollFds_.size(); ++i) {
      if (pollFds_[i].revents == 0) continue;
      auto it = watchers_.find(pollIds_[i]);  // an earlier callback may have removed it
      if (it == watchers_.end()) continue;
      FdCallback callback = it->second.callback;  // the callback may remove its own watch
      callback(pollFds_[i].revents);
    }
  }
  // A deadline is due once the wait it named before the poll has passed; asking each again
  // would cost the resolver's time-out scan a second time on every turn.
  uint64_t waited = deadlineWaits_.empty() ? 0 : NowMs() - now;
  dueDeadlines_.clear();
  for (const auto& [id, wait] : deadlineWaits_) {
    if (static_cast<uint64_t>(wait) <= waited) dueDeadlines_.push_back(id);
  }
  for (int id : dueDeadlines_) {
    auto it = deadlines_.find(id);  // an earlier one may have removed it
    if (it == deadlines_.end()) continue;
    std::function<void()> onDue = it->second.onDue;
    onDue();
  }
}

bool EventLoop::GetMessage(Message* out, int* exitCode) {
  for (;;) {
    if (queueHead_ < queue_.size()) {
      *out = queue_[queueHead_++];
      if (queueHead_ == queue_.size()) {
        queue_.clear();
        queueHead_ = 0;
      }
      return true;
    }
    if (quitPosted_) {
      quitPosted_ = false;
      *out = Message{0, kWmQuit, static_cast<WParam>(quitCode_), 0};
      if (exitCode != nullptr) *exitCode = quitCode_;
      return false;
    }
    if (TakeDueTimer(out)) return true;
    PollOnce();
  }
}

void EventLoop::Dispatch(const Message& m) {
  Send(m.window, m.msg, m.wp, m.lp);
  if (afterDispatch_) afterDispatch_();
}

int EventLoop::Run() {
  Message m{};
  int exitCode = 0;
  while (GetMessage(&m, &exitCode)) Dispatch(m);
  return exitCode;
}

void EventLoop::RunNested(const std::function<bool()>& done) {
  Message m{};
  int exitCode = 0;
  while (!done()) {
    if (!GetMessage(&m, &exitCode)) {
      PostQuit(exitCode);
      return;
    }
    Dispatch(m);
  }
}

int EventLoop::Watch(int fd, short events, FdCallback callback) {
  int id = nextWatch_++;
  watchers_[id] = Watcher{fd, events, std::move(callback)};
  return id;
}

void EventLoop::SetWatchEvents(int watchId, short events) {
  auto it = watchers_.find(watchId);
  if (it != watchers_.end()) it->second.events = events;
}

void EventLoop::Unwatch(int watchId) { watchers_.erase(watchId); }

int EventLoop::AddDeadline(std::function<int()> nextMs, std::function<void()> onDue) {
  int id = nextDeadline_++;
  deadlines_[id] = Deadline{std::move(nextMs), std::move(onDue)};
  return id;
}

void EventLoop::RemoveDeadline(int id) { deadlines_.erase(id); }

}  // namespace kc::posix
