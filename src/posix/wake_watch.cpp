// The machine waking from sleep, as the main window learns it on Windows (WM_POWERBROADCAST
// with PBT_APMRESUMEAUTOMATIC). Two event-driven sources, neither of which wakes an idle
// program:
// - logind's PrepareForSleep(false) on the system bus, where there is one;
// - everywhere, a CLOCK_REALTIME timerfd armed with TFD_TIMER_CANCEL_ON_SET, which the kernel
//   cancels when the clock is set and when the machine resumes; a resume is told from a mere
//   clock change by the time the boot-time clock gained over the monotonic one (the time slept).
// A resume seen by both reaches the window twice; the controller's settling delay then simply
// starts again, so one check follows.
#include <poll.h>
#include <sys/timerfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "posix/backends.h"

namespace kc::posix {

namespace {

// Sleep shorter than this is not told apart from the clocks' own drift.
constexpr int64_t kSleptAtLeastMs = 2000;

int64_t ClockMs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int64_t TimeSlept() { return ClockMs(CLOCK_BOOTTIME) - ClockMs(CLOCK_MONOTONIC); }

class PosixWakeWatch final : public WakeWatch {
 public:
  PosixWakeWatch(EventLoop& loop, const WindowRef& mainWindow)
      : loop_(loop), mainWindow_(mainWindow) {
    WatchClock();
    WatchLogind();
  }
  ~PosixWakeWatch() override {
    if (clockWatch_ != 0) loop_.Unwatch(clockWatch_);
    if (clockFd_ >= 0) close(clockFd_);
    if (busWatch_ != 0) loop_.Unwatch(busWatch_);
    if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
  }
  PosixWakeWatch(const PosixWakeWatch&) = delete;
  PosixWakeWatch& operator=(const PosixWakeWatch&) = delete;

 private:
  void Woke() { loop_.Post(mainWindow_, kWmPowerBroadcast, kPbtApmResumeAutomatic, 0); }

  void WatchClock() {
    clockFd_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (clockFd_ < 0) return;
    if (!ArmClock()) {
      close(clockFd_);
      clockFd_ = -1;
      return;
    }
    clockWatch_ = loop_.Watch(clockFd_, POLLIN, [this](short) { OnClockChanged(); });
  }

  // Armed for the far future: it never expires, it is only ever cancelled.
  bool ArmClock() {
    slept_ = TimeSlept();
    itimerspec far{};
    far.it_value.tv_sec = static_cast<time_t>(0x7FFFFFFF);
    return timerfd_settime(clockFd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &far, nullptr) ==
           0;
  }

  void OnClockChanged() {
    uint64_t expirations = 0;
    ssize_t got = read(clockFd_, &expirations, sizeof expirations);
    if (got < 0 && errno != ECANCELED) return;
    const int64_t before = slept_;
    ArmClock();
    if (slept_ - before >= kSleptAtLeastMs) Woke();
  }

  void WatchLogind() {
    if (sd_bus_open_system(&bus_) < 0) {
      bus_ = nullptr;
      return;
    }
    if (sd_bus_match_signal_async(bus_, nullptr, nullptr, "/org/freedesktop/login1",
                                  "org.freedesktop.login1.Manager", "PrepareForSleep",
                                  &PosixWakeWatch::OnPrepareForSleep, nullptr, this) < 0) {
      bus_ = sd_bus_flush_close_unref(bus_);
      return;
    }
    busWatch_ = loop_.Watch(sd_bus_get_fd(bus_), 0, [this](short) { ProcessBus(); });
    ProcessBus();
  }

  void ProcessBus() {
    int r = 0;
    while (bus_ != nullptr && (r = sd_bus_process(bus_, nullptr)) > 0) {
    }
    if (r < 0) {  // the system bus went away: the clock still tells
      loop_.Unwatch(busWatch_);
      busWatch_ = 0;
      bus_ = sd_bus_flush_close_unref(bus_);
      return;
    }
    const int events = sd_bus_get_events(bus_);
    loop_.SetWatchEvents(busWatch_, static_cast<short>(events > 0 ? events : 0));
  }

  static int OnPrepareForSleep(sd_bus_message* signal, void* self, sd_bus_error*) {
    int sleeping = 1;
    if (sd_bus_message_read(signal, "b", &sleeping) >= 0 && sleeping == 0) {
      static_cast<PosixWakeWatch*>(self)->Woke();
    }
    return 0;
  }

  EventLoop& loop_;
  const WindowRef& mainWindow_;
  int clockFd_ = -1;
  int clockWatch_ = 0;
  int64_t slept_ = 0;
  sd_bus* bus_ = nullptr;
  int busWatch_ = 0;
};

}  // namespace

std::unique_ptr<WakeWatch> WatchWakes(EventLoop& loop, const WindowRef& mainWindow) {
  return std::make_unique<PosixWakeWatch>(loop, mainWindow);
}

}  // namespace kc::posix
