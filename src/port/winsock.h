// The WinSock 1.1 calls the poller makes, as a port the platforms implement.
#pragma once
#include <cstddef>
#include <cstdint>

#include "port/window.h"

namespace kc {

using SocketRef = uintptr_t;  // the platform's socket handle
constexpr SocketRef kInvalidSocket = ~static_cast<SocketRef>(0);

constexpr uint16_t kWinSockVersion = 0x0101;
constexpr uint32_t kHostEntrySize = 1024;  // MAXGETHOSTSTRUCT
constexpr long kFdRead = 1, kFdWrite = 2, kFdConnect = 16, kFdClose = 32;
constexpr long kSocketEventMask = kFdRead | kFdWrite | kFdConnect | kFdClose;  // 51
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaHostNotFound = 11001;
constexpr int kWsaNoData = 11004;
constexpr int kWsaVersionNotSupported = 10092;

// An IPv4 address and port, both in network byte order, as sockaddr_in holds them.
struct Ipv4Endpoint {
  uint8_t address[4];
  uint16_t portNetworkOrder;
};

class WinSockPort {
 public:
  virtual ~WinSockPort() = default;
  // 0 on success; *granted receives the version the caller is to use.
  virtual int Startup(uint16_t wanted, uint16_t* granted) = 0;
  virtual int Cleanup() = 0;
  // Starts a lookup whose reply is posted as msg to window (first parameter the handle, error
  // in the high 16 bits of the second); on success the buffer holds a hostent whose first
  // address FirstAddress() reads. Returns 0 when the lookup cannot be started.
  virtual uintptr_t AsyncGetHostByName(WindowRef window, uint32_t msg, const char* name,
                                       uint8_t* buffer, uint32_t length) = 0;
  // The first IPv4 address of a host entry the lookup wrote into buffer.
  virtual bool FirstAddress(const uint8_t* buffer, uint8_t address[4]) = 0;
  virtual SocketRef Socket() = 0;  // AF_INET, SOCK_STREAM, 0; kInvalidSocket on failure
  virtual int AsyncSelect(SocketRef s, WindowRef window, uint32_t msg, long events) = 0;
  // The port of a service in network byte order; false when there is no entry.
  virtual bool GetServiceByName(const char* name, const char* proto,
                                uint16_t* portNetworkOrder) = 0;
  virtual uint16_t Htons(uint16_t value) = 0;
  virtual int Connect(SocketRef s, const Ipv4Endpoint& to) = 0;  // 0, or -1 and LastError()
  virtual int LastError() = 0;
  virtual int Send(SocketRef s, const char* data, int length) = 0;
  virtual int Recv(SocketRef s, char* buffer, int length) = 0;  // count, 0 closed, -1 error
  virtual int Shutdown(SocketRef s, int how) = 0;
  virtual int CloseSocket(SocketRef s) = 0;
  // A hint: the reply under way has at least bytes more to come (0: nothing known). A back end
  // may hold FD_READ back until that much has arrived, or the reply pauses, so that a long
  // reply is read in fewer, larger receives. It lasts until the next hint or send on s.
  // WinSock has no such wait for a selected socket: by default the hint does nothing.
  virtual void ExpectAtLeast(SocketRef s, int bytes) {
    (void)s;
    (void)bytes;
  }
};

}  // namespace kc
