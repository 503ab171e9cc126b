#include "posix/backends.h"

namespace kc::posix {

namespace {
// Placeholder until the network back end lands: WinSock never starts.
class NullWinSock final : public WinSockPort {
 public:
  int Startup(uint16_t, uint16_t* granted) override { *granted = 0; return -1; }
  int Cleanup() override { return 0; }
  uintptr_t AsyncGetHostByName(WindowRef, uint32_t, const char*, uint8_t*, uint32_t) override { return 0; }
  bool FirstAddress(const uint8_t*, uint8_t*) override { return false; }
  SocketRef Socket() override { return kInvalidSocket; }
  int AsyncSelect(SocketRef, WindowRef, uint32_t, long) override { return -1; }
  bool GetServiceByName(const char*, const char*, uint16_t*) override { return false; }
  uint16_t Htons(uint16_t v) override { return static_cast<uint16_t>((v << 8) | (v >> 8)); }
  int Connect(SocketRef, const Ipv4Endpoint&) override { return -1; }
  int LastError() override { return 0; }
  int Send(SocketRef, const char*, int) override { return -1; }
  int Recv(SocketRef, char*, int) override { return -1; }
  int Shutdown(SocketRef, int) override { return -1; }
  int CloseSocket(SocketRef) override { return -1; }
};
}  // namespace

std::unique_ptr<WinSockPort> MakeWinSock(EventLoop&) { return std::make_unique<NullWinSock>(); }

}  // namespace kc::posix
