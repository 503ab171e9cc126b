#include "posix/backends.h"

namespace kc::posix {

namespace {
// Placeholder until the terminal form lands.
class NullDialog final : public SettingsDialogPort {
 public:
  void Run(WindowRef, SettingsDialog&) override {}
};
}  // namespace

std::unique_ptr<SettingsDialogPort> MakeSettingsDialog(EventLoop&) {
  return std::make_unique<NullDialog>();
}

}  // namespace kc::posix
