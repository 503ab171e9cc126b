#include "win32/backends.h"

namespace kc::win32 {

namespace {
// Placeholder until this back end lands.
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

std::unique_ptr<TrayPort> MakeTray() { return std::make_unique<NullTray>(); }
std::unique_ptr<ProcessPort> MakeProcess() { return std::make_unique<NullProcess>(); }

}  // namespace kc::win32
