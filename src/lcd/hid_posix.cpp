#include "posix/backends.h"

namespace kc::posix {

namespace {
// Placeholder until hidraw lands: no HID interface.
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
}  // namespace

std::unique_ptr<HidPort> MakeHid() { return std::make_unique<NullHid>(); }

}  // namespace kc::posix
