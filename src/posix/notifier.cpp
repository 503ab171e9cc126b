// The notification of new mail on Linux: org.freedesktop.Notifications on the session bus,
// through sd-bus. The bus is opened at the first notification and served by the event loop's
// poll (its descriptor and its call time-outs), so an idle program never wakes for it. Each
// notification replaces the one before; its default action ("default") reaches the main
// window as a click on the balloon does on Windows. Without a bus or a notification service
// the program traces one line and goes on.
#include "port/notifier.h"

#include <systemd/sd-bus.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "posix/backends.h"
#include "text/inert.h"

namespace kc::posix {

namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
constexpr char kAppLabel[] = "KESTOVA Checker";
constexpr char kIcon[] = "mail-unread";
constexpr char kDefaultAction[] = "default";
constexpr char kOpenLabel[] = u8"メーラーを起動";

// The body may be read as markup by the service: the senders' <, > and & are shown as written.
std::string EscapeMarkup(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c; break;
    }
  }
  return out;
}

class BusNotifier final : public NotifierPort {
 public:
  BusNotifier(EventLoop& loop, TracePort& trace) : loop_(loop), trace_(trace) {}
  ~BusNotifier() override { Disconnect(); }
  BusNotifier(const BusNotifier&) = delete;
  BusNotifier& operator=(const BusNotifier&) = delete;

  void ShowNewMail(WindowRef window, const char* title, const char* text) override {
    window_ = window;
    if (bus_ == nullptr && !Connect()) return;
    const std::string summary = Cp932ToUtf8(title);
    const std::string body = EscapeMarkup(Cp932ToUtf8(text));
    // Actions: the default one (a click on the notification) and its label; no hints; the
    // service's own time-out.
    int r = sd_bus_call_method_async(bus_, nullptr, kService, kPath, kInterface, "Notify",
                                     &BusNotifier::OnNotifyReply, this, "susssasa{sv}i", kAppLabel,
                                     lastId_, kIcon, summary.c_str(), body.c_str(), 2,
                                     kDefaultAction, kOpenLabel, 0, -1);
    if (r < 0) {
      TraceError("the call could not be made", -r);
      return;
    }
    Process();
  }

 private:
  bool Connect() {
    int r = sd_bus_open_user(&bus_);
    if (r < 0) {
      bus_ = nullptr;
      TraceError("no session bus", -r);
      return false;
    }
    // Any sender: the service may be replaced while the program runs; the ID tells ours.
    r = sd_bus_match_signal_async(bus_, nullptr, nullptr, kPath, kInterface, "ActionInvoked",
                                  &BusNotifier::OnActionInvoked, nullptr, this);
    if (r < 0) {
      TraceError("the session bus cannot be watched", -r);
      Disconnect();
      return false;
    }
    watch_ = loop_.Watch(sd_bus_get_fd(bus_), 0, [this](short) { Process(); });
    deadline_ = loop_.AddDeadline([this] { return MsToTimeout(); }, [this] { Process(); });
    return true;
  }

  void Disconnect() {
    if (watch_ != 0) loop_.Unwatch(watch_);
    if (deadline_ != 0) loop_.RemoveDeadline(deadline_);
    watch_ = deadline_ = 0;
    if (bus_ != nullptr) bus_ = sd_bus_flush_close_unref(bus_);
    bus_ = nullptr;
  }

  // Runs whatever the bus has ready (replies, signals, writes), then asks the poll for what
  // the bus waits on next.
  void Process() {
    if (bus_ == nullptr) return;
    int r = 0;
    while ((r = sd_bus_process(bus_, nullptr)) > 0) {
    }
    if (r < 0) {
      TraceError("the session bus connection ended", -r);
      Disconnect();
      return;
    }
    int events = sd_bus_get_events(bus_);
    loop_.SetWatchEvents(watch_, static_cast<short>(events > 0 ? events : 0));
  }

  // Milliseconds until the bus's next time-out (a call not answered); -1 for none.
  int MsToTimeout() {
    uint64_t due = 0;
    if (bus_ == nullptr || sd_bus_get_timeout(bus_, &due) < 0 || due == UINT64_MAX) return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t nowUs =
        static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    if (due <= nowUs) return 0;
    const uint64_t ms = (due - nowUs + 999) / 1000;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
  }

  static int OnNotifyReply(sd_bus_message* reply, void* self, sd_bus_error*) {
    auto* me = static_cast<BusNotifier*>(self);
    if (sd_bus_message_is_method_error(reply, nullptr)) {
      const sd_bus_error* error = sd_bus_message_get_error(reply);
      me->TraceBusError(error != nullptr && error->name != nullptr ? error->name : "?");
      return 0;
    }
    uint32_t id = 0;
    if (sd_bus_message_read(reply, "u", &id) >= 0) me->lastId_ = id;
    return 0;
  }

  static int OnActionInvoked(sd_bus_message* signal, void* self, sd_bus_error*) {
    auto* me = static_cast<BusNotifier*>(self);
    uint32_t id = 0;
    const char* key = nullptr;
    if (sd_bus_message_read(signal, "us", &id, &key) < 0 || key == nullptr) return 0;
    if (me->lastId_ == 0 || id != me->lastId_ || std::strcmp(key, kDefaultAction) != 0) return 0;
    me->loop_.Post(me->window_, SM_TRAY, kTrayIconId, kNinBalloonUserClick);
    return 0;
  }

  // The bus's replies come between the window's messages: what they trace is written now.
  void TraceError(const char* what, int error) {
    char line[256];
    std::snprintf(line, sizeof line, "Notification not shown: %s (%s)\r\n", what,
                  std::strerror(error));
    trace_.Trace(line);
    StderrTrace::FlushCurrent();
  }

  void TraceBusError(const char* name) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "Notification not shown: the notification service answered %s\r\n", name);
    MakeInert(line, std::strlen(line) - 2);
    trace_.Trace(line);
    StderrTrace::FlushCurrent();
  }

  EventLoop& loop_;
  TracePort& trace_;
  sd_bus* bus_ = nullptr;
  int watch_ = 0;
  int deadline_ = 0;
  uint32_t lastId_ = 0;  // the service's ID of the notification shown last: it is replaced
  WindowRef window_ = 0;
};

}  // namespace

std::unique_ptr<NotifierPort> MakeNotifier(EventLoop& loop, TracePort& trace) {
  return std::make_unique<BusNotifier>(loop, trace);
}

}  // namespace kc::posix
