// WinSock 1.1 through wsock32: the calls the poller makes, unchanged.
#include "win32/backends.h"
// winsock.h after windows.h: WIN32_LEAN_AND_MEAN keeps windows.h from pulling in either
// WinSock header, and winsock.h (1.1) must not meet winsock2.h.
#include <winsock.h>

#include <cstring>

namespace kc::win32 {

static_assert(kFdRead == FD_READ && kFdWrite == FD_WRITE && kFdConnect == FD_CONNECT &&
                  kFdClose == FD_CLOSE,
              "event codes of the core match WinSock's");
static_assert(kInvalidSocket == static_cast<SocketRef>(INVALID_SOCKET), "invalid socket");
static_assert(kWsaEWouldBlock == WSAEWOULDBLOCK && kWsaHostNotFound == WSAHOST_NOT_FOUND,
              "error numbers of the core match WinSock's");
static_assert(kHostEntrySize == MAXGETHOSTSTRUCT, "host entry buffer");
static_assert(sizeof(sockaddr_in) == 16, "IPv4 socket address");

namespace {

SOCKET ToSocket(SocketRef s) { return static_cast<SOCKET>(s); }

// WSAIoctl of WinSock 2 (ws2_32), which the program does not import: it is looked up at run
// time, so the exe's import table keeps the WinSock 1.1 calls alone.
using WsaIoctlFunction = int(WINAPI*)(SOCKET, DWORD, void*, DWORD, void*, DWORD, DWORD*, void*,
                                      void*);
// _WSAIOW(IOC_VENDOR, 23) of mstcpip.h: how many segments the socket receives before it
// acknowledges them at once; 1 acknowledges every segment as it comes.
constexpr DWORD kSioTcpSetAckFrequency = 0x98000017;

WsaIoctlFunction LookUpWsaIoctl() {
  // wsock32 forwards to ws2_32, so the library is already loaded; the reference taken here is
  // kept for the life of the process, as the function pointer is.
  HMODULE library = LoadLibraryA("ws2_32.dll");
  if (library == nullptr) return nullptr;
  FARPROC proc = GetProcAddress(library, "WSAIoctl");
  WsaIoctlFunction function = nullptr;
  static_assert(sizeof function == sizeof proc, "function pointer sizes");
  std::memcpy(&function, &proc, sizeof function);
  return function;
}

class Win32WinSock final : public WinSockPort {
 public:
  int Startup(uint16_t wanted, uint16_t* granted) override {
    WSADATA data{};
    int result = WSAStartup(wanted, &data);
    *granted = result == 0 ? data.wVersion : 0;
    return result;
  }

  int Cleanup() override { return WSACleanup(); }

  uintptr_t AsyncGetHostByName(WindowRef window, uint32_t msg, const char* name, uint8_t* buffer,
                               uint32_t length) override {
    HANDLE request = WSAAsyncGetHostByName(
        ToHwnd(window), msg, name, reinterpret_cast<char*>(buffer), static_cast<int>(length));
    return reinterpret_cast<uintptr_t>(request);
  }

  // The host entry sits at the start of the buffer; its lists point into the same buffer.
  bool FirstAddress(const uint8_t* buffer, uint8_t address[4]) override {
    hostent entry;
    std::memcpy(&entry, buffer, sizeof entry);
    if (entry.h_addrtype != AF_INET || entry.h_length != 4 || entry.h_addr_list == nullptr) {
      return false;
    }
    const uint8_t* end = buffer + kHostEntrySize;
    const uint8_t* list = reinterpret_cast<const uint8_t*>(entry.h_addr_list);
    if (list < buffer || list + sizeof(char*) > end) return false;
    char* first = nullptr;
    std::memcpy(&first, list, sizeof first);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(first);
    if (bytes == nullptr || bytes < buffer || bytes + 4 > end) return false;
    std::memcpy(address, bytes, 4);
    return true;
  }

  SocketRef Socket() override { return static_cast<SocketRef>(socket(AF_INET, SOCK_STREAM, 0)); }

  int AsyncSelect(SocketRef s, WindowRef window, uint32_t msg, long events) override {
    return WSAAsyncSelect(ToSocket(s), ToHwnd(window), msg, events);
  }

  bool GetServiceByName(const char* name, const char* proto, uint16_t* portNetworkOrder) override {
    servent* entry = getservbyname(name, proto);
    if (entry == nullptr) return false;
    *portNetworkOrder = static_cast<uint16_t>(entry->s_port);
    return true;
  }

  uint16_t Htons(uint16_t value) override { return htons(value); }

  int Connect(SocketRef s, const Ipv4Endpoint& to) override {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = to.portNetworkOrder;
    std::memcpy(&address.sin_addr, to.address, 4);
    AcknowledgeEverySegment(ToSocket(s));
    return connect(ToSocket(s), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }

  int LastError() override { return WSAGetLastError(); }

  int Send(SocketRef s, const char* data, int length) override {
    return send(ToSocket(s), data, length, 0);
  }

  int Recv(SocketRef s, char* buffer, int length) override {
    return recv(ToSocket(s), buffer, length, 0);
  }

  int Shutdown(SocketRef s, int how) override { return shutdown(ToSocket(s), how); }

  int CloseSocket(SocketRef s) override { return closesocket(ToSocket(s)); }

 private:
  // Windows delays the ACK of received data (up to 200 ms) in the hope of sending it with an
  // answer. A server that writes a reply in two pieces with Nagle's algorithm on (the status
  // line, then the rest) holds the second piece until the first is acknowledged, so each such
  // reply would wait out the delay. The socket is asked to acknowledge every segment at once.
  // Where the call is missing (no ws2_32, an older Windows) or refused, the socket keeps the
  // system's delayed ACK: the check is slower against such servers, never different.
  void AcknowledgeEverySegment(SOCKET s) {
    if (!wsaIoctlLookedUp_) {
      wsaIoctl_ = LookUpWsaIoctl();  // after WSAStartup, once for the life of the process
      wsaIoctlLookedUp_ = true;
    }
    if (wsaIoctl_ == nullptr) return;
    DWORD frequency = 1;
    DWORD returned = 0;
    wsaIoctl_(s, kSioTcpSetAckFrequency, &frequency, sizeof frequency, nullptr, 0, &returned,
              nullptr, nullptr);
  }

  WsaIoctlFunction wsaIoctl_ = nullptr;
  bool wsaIoctlLookedUp_ = false;
};

}  // namespace

std::unique_ptr<WinSockPort> MakeWinSock() { return std::make_unique<Win32WinSock>(); }

}  // namespace kc::win32
