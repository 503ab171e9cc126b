#include "posix/backends.h"

namespace kc::posix {

namespace {
// Placeholder until the settings file lands: nothing is kept.
class NullRegistry final : public RegistryPort {
 public:
  bool OpenKey() override { return false; }
  bool CreateKey() override { return false; }
  bool QueryValue(const char*, uint8_t*, uint32_t, uint32_t*) override { return false; }
  bool SetValue(const char*, uint32_t, const uint8_t*, uint32_t) override { return false; }
  void CloseKey() override {}
};
}  // namespace

std::unique_ptr<RegistryPort> MakeRegistry() { return std::make_unique<NullRegistry>(); }

}  // namespace kc::posix
