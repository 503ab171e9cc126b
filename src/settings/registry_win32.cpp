#include "win32/backends.h"

namespace kc::win32 {

namespace {
// Placeholder until this back end lands.
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

}  // namespace kc::win32
