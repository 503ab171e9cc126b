#include "posix/backends.h"

namespace kc::posix {

namespace {
// Placeholders until the console front end lands.
class NullTray final : public TrayPort {
 public:
  void Add(const TrayIconRecord&) override {}
  void Modify(const TrayIconRecord&) override {}
  void ShowMenu(WindowRef) override {}
};
class NullProcess final : public ProcessPort {
 public:
  ProcessRef Start(const char*, const char*) override { return 0; }
  void Wait(ProcessRef, uint32_t) override {}
  void Close(ProcessRef) override {}
};
}  // namespace

std::unique_ptr<TrayPort> MakeTray(EventLoop&) { return std::make_unique<NullTray>(); }
std::unique_ptr<ProcessPort> MakeProcess() { return std::make_unique<NullProcess>(); }

}  // namespace kc::posix
