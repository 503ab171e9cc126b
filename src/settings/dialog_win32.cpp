#include "win32/backends.h"

namespace kc::win32 {

namespace {
// Placeholder until this back end lands.
class NullDialog final : public SettingsDialogPort {
 public:
  void Run(WindowRef, SettingsDialog&) override {}
};
}  // namespace

std::unique_ptr<SettingsDialogPort> MakeSettingsDialog() { return std::make_unique<NullDialog>(); }

}  // namespace kc::win32
