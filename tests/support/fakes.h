// Recording fakes of the ports the core uses, for tests without an OS.
#pragma once
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/app.h"
#include "support/fake_seen_store.h"

namespace kc::test {

struct PostedMessage {
  WindowRef window;
  uint32_t msg;
  WParam wp;
  LParam lp;
  bool operator==(const PostedMessage& o) const {
    return window == o.window && msg == o.msg && wp == o.wp && lp == o.lp;
  }
};

// Records everything; Send calls the procedure set in `proc` (if any) at once.
class FakeWindow final : public WindowPort {
 public:
  std::deque<PostedMessage> posted;
  std::vector<PostedMessage> sent;
  std::map<uint32_t, uint32_t> timers;  // id -> period
  std::vector<std::string> calls;       // "hide", "destroy", "quit 0", "timer+ 3", "timer- 2"
  std::function<LResult(WindowRef, uint32_t, WParam, LParam)> proc;
  int quitCode = -100;

  void Post(WindowRef w, uint32_t msg, WParam wp, LParam lp) override {
    posted.push_back({w, msg, wp, lp});
  }
  LResult Send(WindowRef w, uint32_t msg, WParam wp, LParam lp) override {
    sent.push_back({w, msg, wp, lp});
    return proc ? proc(w, msg, wp, lp) : 0;
  }
  void StartTimer(WindowRef, uint32_t id, uint32_t ms) override {
    timers[id] = ms;
    due[id] = nowMs + ms;  // a timer started again counts from now
    calls.push_back("timer+ " + std::to_string(id));
  }
  void StopTimer(WindowRef, uint32_t id) override {
    timers.erase(id);
    due.erase(id);
    calls.push_back("timer- " + std::to_string(id));
  }
  void Hide(WindowRef) override { calls.push_back("hide"); }
  void Destroy(WindowRef w) override {
    calls.push_back("destroy");
    if (proc) proc(w, kWmDestroy, 0, 0);
  }
  void PostQuit(int code) override {
    quitCode = code;
    calls.push_back("quit " + std::to_string(code));
  }
  LResult DefaultProc(WindowRef, uint32_t msg, WParam, LParam) override {
    calls.push_back("default " + std::to_string(msg));
    return 77;
  }
  // The timers' clock: AdvanceMs lets every timer that falls due tick, in the order of their
  // due times, each tick handled (and what it posts pumped) before the next.
  uint64_t nowMs = 0;
  std::map<uint32_t, uint64_t> due;  // id -> next tick
  void AdvanceMs(WindowRef w, uint64_t ms) {
    const uint64_t end = nowMs + ms;
    for (;;) {
      auto next = due.end();
      for (auto it = due.begin(); it != due.end(); ++it) {
        if (it->second <= end && (next == due.end() || it->second < next->second)) next = it;
      }
      if (next == due.end()) break;
      const uint32_t id = next->first;
      nowMs = next->second;
      next->second += timers[id] != 0 ? timers[id] : 1;
      if (proc) proc(w, kWmTimer, id, 0);
      Pump();
    }
    nowMs = end;
  }
  // Hands every posted message to the procedure until none is left (or the bound is hit).
  void Pump(int bound = 1000) {
    while (!posted.empty() && bound-- > 0) {
      PostedMessage m = posted.front();
      posted.pop_front();
      if (proc) proc(m.window, m.msg, m.wp, m.lp);
    }
  }
};

class FakeMessageBox final : public MessageBoxPort {
 public:
  struct Box {
    WindowRef owner;
    std::string text;
    std::string caption;
  };
  std::vector<Box> shown;
  bool answer = false;  // what Ask answers (Yes: true)
  int asked = 0;
  void Show(WindowRef owner, const char* text, const char* caption) override {
    shown.push_back({owner, text, caption});
  }
  bool Ask(WindowRef owner, const char* text, const char* question, const char* caption) override {
    ++asked;
    Show(owner, (std::string(text) + "\n\n" + question).c_str(), caption);
    return answer;
  }
};

class FakeTrace final : public TracePort {
 public:
  std::string all;
  std::vector<std::string> lines;
  void Trace(const char* text) override {
    all += text;
    lines.emplace_back(text);
  }
};

class FakeClock final : public ClockPort {
 public:
  int64_t now = 1796624769;  // a Monday; the local time below is what tests set
  LocalTime local{2026, 11, 7, 6, 26, 9, 1};
  uint32_t ticks = 1000;
  bool localOk = true;
  int64_t Now() override { return now; }
  bool ToLocal(int64_t t, LocalTime* out) override {
    if (!localOk) return false;
    // The fixed local time of `now`, moved by whole minutes for other times.
    LocalTime l = local;
    int64_t minutes = (t - now) / 60 + l.hour * 60 + l.min;
    minutes = ((minutes % 1440) + 1440) % 1440;
    l.hour = static_cast<int>(minutes / 60);
    l.min = static_cast<int>(minutes % 60);
    *out = l;
    return true;
  }
  uint32_t TickCount() override { return ticks; }
};

// The registry as a map of values under one key, and its subkeys as maps of their own.
class FakeRegistry final : public RegistryPort {
 public:
  struct Value {
    uint32_t type;
    std::vector<uint8_t> bytes;
  };
  struct SubKey {
    std::map<std::string, Value> values;
    std::vector<std::string> order;  // names in the order they were set
  };
  bool exists = false;
  bool open = false;
  std::map<std::string, Value> values;
  std::vector<std::string> order;  // names in the order they were set
  // Subkeys by name; listed in the map's order ("10" before "2"), as a platform may list them.
  std::map<std::string, SubKey> subkeys;
  std::string current;               // the open subkey; "" for the key itself
  std::set<std::string> lockedKeys;  // subkeys that are listed but cannot be opened
  std::vector<std::string> deleted;  // DeleteSubKey calls, in order
  bool OpenKey() override {
    current.clear();
    open = exists;
    return open;
  }
  bool CreateKey() override {
    current.clear();
    exists = open = true;
    return true;
  }
  // Names whose read fails although the value is there (a platform error other than size).
  std::set<std::string> failing;
  ValueRead ReadValue(const char* name, uint8_t* buf, uint32_t size, uint32_t* length,
                      uint32_t* type) override {
    if (!open) return ValueRead::kAbsent;
    std::map<std::string, Value>& where = Values();
    auto it = where.find(name);
    if (it == where.end()) return ValueRead::kAbsent;
    *type = it->second.type;
    *length = static_cast<uint32_t>(it->second.bytes.size());
    if (failing.count(name) != 0 || it->second.bytes.size() > size) return ValueRead::kUnreadable;
    if (!it->second.bytes.empty()) std::memcpy(buf, it->second.bytes.data(), *length);
    return ValueRead::kRead;
  }
  bool SetValue(const char* name, uint32_t type, const uint8_t* data, uint32_t size) override {
    if (!open) return false;
    Values()[name] = Value{type, std::vector<uint8_t>(data, data + size)};
    (current.empty() ? order : subkeys[current].order).emplace_back(name);
    return true;
  }
  bool DeleteValue(const char* name) override {
    if (!open) return false;
    Values().erase(name);
    return true;
  }
  void CloseKey() override {
    current.clear();
    open = false;
  }
  bool OpenSubKey(const char* name) override {
    current.clear();
    if (!open || subkeys.count(name) == 0 || lockedKeys.count(name) != 0) return false;
    current = name;
    return true;
  }
  bool CreateSubKey(const char* name) override {
    current.clear();
    if (!open || lockedKeys.count(name) != 0) return false;
    subkeys[name];
    current = name;
    return true;
  }
  void CloseSubKey() override { current.clear(); }
  SubKeyFound EnumSubKey(uint32_t index, char* name, uint32_t size) override {
    if (!open || index >= subkeys.size()) return SubKeyFound::kEnd;
    auto it = subkeys.begin();
    std::advance(it, index);
    if (it->first.size() >= size) return SubKeyFound::kSkip;
    std::memcpy(name, it->first.c_str(), it->first.size() + 1);
    return SubKeyFound::kName;
  }
  bool DeleteSubKey(const char* name) override {
    if (!open) return false;
    deleted.emplace_back(name);
    if (current == name) current.clear();
    subkeys.erase(name);
    return true;
  }

  // A subkey's values, for setting up a test: the subkey is created when absent.
  std::map<std::string, Value>& SubKeyValues(const std::string& name) {
    return subkeys[name].values;
  }

 private:
  std::map<std::string, Value>& Values() {
    return current.empty() ? values : subkeys[current].values;
  }
};

class FakeTray final : public TrayPort {
 public:
  std::vector<std::pair<std::string, TrayIconRecord>> calls;  // "add" / "modify" / "menu"
  void Add(const TrayIconRecord& r) override { calls.push_back({"add", r}); }
  void Modify(const TrayIconRecord& r) override { calls.push_back({"modify", r}); }
  void Remove(const TrayIconRecord& r) override { calls.push_back({"remove", r}); }
  void ShowMenu(WindowRef, bool withMarkSeen, bool withSignIn) override {
    std::string what = withMarkSeen ? "menu+markseen" : "menu";
    if (withSignIn) what += "+signin";
    calls.push_back({what, TrayIconRecord{}});
  }
  uint32_t lastIcon() const { return calls.empty() ? 0 : calls.back().second.icon; }
};

class FakeDialog final : public SettingsDialogPort {
 public:
  int runs = 0;
  // Called with the form as the dialog shows it and the core that judges its OK.
  std::function<void(const SettingsForm&, SettingsFormJudge&)> onRun;
  void Run(WindowRef, const SettingsForm& shown, SettingsFormJudge& judge) override {
    ++runs;
    if (onRun) onRun(shown, judge);
  }
};

class FakeProcess final : public ProcessPort {
 public:
  std::vector<std::pair<std::string, std::string>> started;
  std::vector<uint32_t> waits;
  std::vector<ProcessRef> closed;
  ProcessRef next = 7;
  ProcessRef Start(const char* app, const char* cmd) override {
    started.push_back({app, cmd});
    return next;
  }
  void Wait(ProcessRef, uint32_t ms) override { waits.push_back(ms); }
  void Close(ProcessRef p) override { closed.push_back(p); }
};

// WinSock that never starts, for tests that do not reach the network.
class NullWinSock final : public WinSockPort {
 public:
  int Startup(uint16_t, uint16_t* granted) override {
    *granted = 0;
    return 10091;
  }
  int Cleanup() override { return 0; }
  uintptr_t AsyncGetHostByName(WindowRef, uint32_t, const char*, uint8_t*, uint32_t) override {
    return 0;
  }
  bool FirstAddress(const uint8_t*, uint8_t*) override { return false; }
  SocketRef Socket() override { return kInvalidSocket; }
  int AsyncSelect(SocketRef, WindowRef, uint32_t, long) override { return -1; }
  bool GetServiceByName(const char*, const char*, uint16_t*) override { return false; }
  uint16_t Htons(uint16_t v) override { return static_cast<uint16_t>((v << 8) | (v >> 8)); }
  int Connect(SocketRef, const Ipv4Endpoint&) override { return -1; }
  int LastError() override { return 0; }
  int Send(SocketRef, const char*, int) override { return -1; }
  int Recv(SocketRef, char*, int) override { return -1; }
  int Shutdown(SocketRef, int) override { return 0; }
  int CloseSocket(SocketRef) override { return 0; }
};

// A TLS library that cannot make a session, for tests that never secure a connection.
class NullTls final : public TlsPort {
 public:
  bool Begin(const char*) override { return false; }
  bool Feed(const char*, size_t) override { return false; }
  TlsStep Handshake() override { return TlsStep::kFailed; }
  void Describe(char* p, size_t, char* c, size_t) override { p[0] = c[0] = '\0'; }
  void CheckPeer(TlsPeer*) override {}
  bool Write(const char*, size_t) override { return false; }
  int Read(char*, size_t) override { return kTlsReadFailed; }
  size_t TakeOutput(char*, size_t) override { return 0; }
  void Close() override {}
  void End() override {}
  int ErrorCode() override { return 0; }
  void ErrorText(char* out, size_t) override { out[0] = '\0'; }
};

// Records what the console would tell the user.
class FakeNotice final : public NoticePort {
 public:
  void CheckEnded(const char* outcome, bool failed) override {
    outcomes.emplace_back(outcome, failed);
  }
  void NoMailProgram() override { ++noMailProgram; }
  void Tell(const char* line) override { told.emplace_back(line); }
  std::vector<std::pair<std::string, bool>> outcomes;
  std::vector<std::string> told;
  int noMailProgram = 0;
};

// Records every notification shown.
class FakeNotifier final : public NotifierPort {
 public:
  struct Note {
    WindowRef window;
    std::string title;
    std::string text;
  };
  std::vector<Note> shown;
  void ShowNewMail(WindowRef window, const char* title, const char* text) override {
    shown.push_back({window, title, text});
  }
};

// A machine with no HID interface.
class NullHid final : public HidPort {
 public:
  bool Load() override { return true; }
  bool BeginEnumeration() override { return false; }
  HidEnumResult InterfacePath(uint32_t, char*, size_t) override { return HidEnumResult::kEnd; }
  void EndEnumeration() override {}
  HidHandle Open(const char*) override { return 0; }
  bool GetAttributes(HidHandle, HidAttributes*) override { return false; }
  bool GetCaps(HidHandle, HidCaps*) override { return false; }
  bool WriteReport(HidHandle, const uint8_t*, uint32_t) override { return false; }
  void Close(HidHandle) override {}
};

// Every port faked, for tests of the whole App without a network or a display.
struct FakePlatform {
  FakeWindow window;
  FakeMessageBox box;
  FakeTrace trace;
  FakeClock clock;
  FakeRegistry registry;
  NullWinSock winsock;
  NullHid hid;
  FakeTray tray;
  FakeDialog dialog;
  FakeProcess process;
  FakeNotice notice;
  NullTls tls;
  FakeSeenStore seenStore;
  FakeNotifier notifier;
  Platform platform{window, box,    trace,   clock,  registry, winsock,   hid,
                    tray,   dialog, process, notice, tls,      seenStore, notifier};
};

}  // namespace kc::test
