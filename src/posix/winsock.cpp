// WinSock 1.1 as the poller uses it, over non-blocking POSIX sockets and c-ares, all on the
// thread that runs the event loop. Lookups and socket readiness come back as posted messages
// with the packing WSAAsyncGetHostByName and WSAAsyncSelect use, so the core sees the same
// events in the same order as on Windows.
#include "posix/winsock.h"

#include <ares.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "posix/backends.h"

namespace kc::posix {

int WsaErrorFromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case EAGAIN: return kWsaEWouldBlock;
    case EINPROGRESS: return kWsaEWouldBlock;
    case EALREADY: return kWsaEAlready;
    case EBADF: return kWsaENotSock;
    case ENOTSOCK: return kWsaENotSock;
    case EACCES: return kWsaEAcces;
    case EPERM: return kWsaEAcces;
    case EFAULT: return kWsaEFault;
    case EINVAL: return kWsaEInval;
    case EMFILE: return kWsaEMFile;
    case ENFILE: return kWsaEMFile;
    case EAFNOSUPPORT: return kWsaEAfNoSupport;
    case EADDRINUSE: return kWsaEAddrInUse;
    case EADDRNOTAVAIL: return kWsaEAddrNotAvail;
    case ENETDOWN: return kWsaENetDown;
    case ENETUNREACH: return kWsaENetUnreach;
    case ECONNABORTED: return kWsaEConnAborted;
    case ECONNRESET: return kWsaEConnReset;
    case ENOBUFS: return kWsaENoBufs;
    case ENOMEM: return kWsaENoBufs;
    case EISCONN: return kWsaEIsConn;
    case ENOTCONN: return kWsaENotConn;
    case EPIPE: return kWsaEShutdown;
    case ETIMEDOUT: return kWsaETimedOut;
    case ECONNREFUSED: return kWsaEConnRefused;
    case EHOSTDOWN: return kWsaEHostDown;
    case EHOSTUNREACH: return kWsaEHostUnreach;
    default: return kWsaEInval;
  }
}

int WsaErrorFromAres(int status) {
  switch (status) {
    case ARES_SUCCESS: return 0;
    case ARES_ENOTFOUND:
    case ARES_EBADNAME:
    case ARES_EBADFAMILY: return kWsaHostNotFound;
    case ARES_ENODATA: return kWsaNoData;
    case ARES_ETIMEOUT:
    case ARES_ECONNREFUSED:
    case ARES_ESERVFAIL: return kWsaTryAgain;
    case ARES_ENOMEM: return kWsaENoBufs;
    default: return kWsaNoRecovery;
  }
}

namespace {

// The host entry this back end writes into the caller's lookup buffer; FirstAddress reads it.
// Offsets: 0 magic, 4 family, 6 address length, 8 address count, 10 name offset, 12 the
// addresses (4 bytes each, network byte order), then the official name with its NUL.
// One receive of the poller.
constexpr size_t kReadAheadSize = 4096;
// How long a reply may pause before what arrived of it is acknowledged at once. The loop
// measures waits in whole milliseconds, so 2 is a pause of at least one millisecond.
constexpr int kReplyPauseMs = 2;
// A reply said to have at least this much more to come is read once that much has arrived
// (SO_RCVLOWAT), up to kLowWaterMost: half the kernel's usual receive buffer, so that the
// window the kernel offers the peer is not cut. Should the bytes not come (a peer that breaks
// off or lists less than it said), the wait ends when the reply pauses for kLowWaterPauseMs.
constexpr int kLowWaterLeast = 8192;
constexpr int kLowWaterMost = 32768;
constexpr int kLowWaterPauseMs = 20;
// The files the resolver and the service lookup read their configuration from.
constexpr const char* kResolverFiles[] = {"/etc/resolv.conf", "/etc/nsswitch.conf",
                                          "/etc/host.conf", "/etc/hosts"};
constexpr char kServicesFile[] = "/etc/services";

// Identity and change time of a file; all zeros when it does not exist.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  time_t seconds = 0;
  long nanoseconds = 0;
  bool operator==(const FileStamp& o) const {
    return device == o.device && inode == o.inode && size == o.size && seconds == o.seconds &&
           nanoseconds == o.nanoseconds;
  }
  bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

FileStamp StampOf(const char* path) {
  struct stat st {};
  FileStamp stamp;
  if (::stat(path, &st) != 0) return stamp;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.size = st.st_size;
  stamp.seconds = st.st_mtim.tv_sec;
  stamp.nanoseconds = st.st_mtim.tv_nsec;
  return stamp;
}

constexpr uint32_t kHostEntryMagic = 0x4B434845;  // "KCHE"
constexpr uint32_t kHostHeaderSize = 12;
constexpr uint16_t kFamilyInet = 2;

void Put16(uint8_t* at, uint16_t value) { std::memcpy(at, &value, sizeof value); }
uint16_t Get16(const uint8_t* at) {
  uint16_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Writes the entry bounded by length; returns the bytes written, or 0 when not even one
// address fits. *needed receives the size of the complete entry.
uint32_t WriteHostEntry(const hostent* host, uint8_t* buffer, uint32_t length, uint32_t* needed) {
  uint32_t count = 0;
  if (host->h_addrtype == AF_INET && host->h_length == 4 && host->h_addr_list != nullptr) {
    while (host->h_addr_list[count] != nullptr && count < 0xFFFF) ++count;
  }
  size_t nameLength = host->h_name != nullptr ? std::strlen(host->h_name) : 0;
  *needed = static_cast<uint32_t>(kHostHeaderSize + 4u * count + nameLength + 1u);
  if (count == 0 || length < kHostHeaderSize + 4u) return 0;
  uint32_t fit = (length - kHostHeaderSize) / 4u;
  if (fit < count) count = fit;
  std::memcpy(buffer, &kHostEntryMagic, sizeof kHostEntryMagic);
  Put16(buffer + 4, kFamilyInet);
  Put16(buffer + 6, 4);
  Put16(buffer + 8, static_cast<uint16_t>(count));
  uint32_t at = kHostHeaderSize;
  for (uint32_t i = 0; i < count; ++i, at += 4) std::memcpy(buffer + at, host->h_addr_list[i], 4);
  uint32_t nameOffset = at;
  if (nameOffset < length) {
    size_t room = length - nameOffset - 1;
    size_t n = nameLength < room ? nameLength : room;
    if (n > 0) std::memcpy(buffer + nameOffset, host->h_name, n);
    buffer[nameOffset + n] = 0;
    at = static_cast<uint32_t>(nameOffset + n + 1);
  } else {
    nameOffset = 0;  // no room for a name
  }
  Put16(buffer + 10, static_cast<uint16_t>(nameOffset));
  return at;
}

LParam Reply(int error, uint32_t low) {
  return static_cast<LParam>((static_cast<uint32_t>(error) << 16) | (low & 0xFFFFu));
}

class PosixWinSock final : public WinSockPort {
 public:
  PosixWinSock(EventLoop& loop, ResolverOptions options)
      : loop_(loop), options_(std::move(options)) {
    ares_library_init(ARES_LIB_INIT_ALL);
    // Asked before every poll: the moment to acknowledge what was read and not answered, and
    // how long a reply still arriving may pause before its acknowledgement goes out.
    deadline_ = loop_.AddDeadline(
        [this] {
          if (acksOwed_) AcknowledgeAtOnce();
          int wait = ResolverWaitMs();
          if (lowWatersRaised_ && (wait < 0 || wait > kLowWaterPauseMs)) wait = kLowWaterPauseMs;
          if (pausedAcksOwed_ && (wait < 0 || wait > kReplyPauseMs)) wait = kReplyPauseMs;
          return wait;
        },
        [this] {
          if (pausedAcksOwed_) AcknowledgePaused();
          if (lowWatersRaised_ && EventLoop::NowMs() - lastReadMs_ >= kLowWaterPauseMs) {
            LowerLowWaters();
          }
          if (channel_ != nullptr) {
            ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
          }
        });
  }

  ~PosixWinSock() override {
    ReleaseAll();
    CloseChannel();
    loop_.RemoveDeadline(deadline_);
    ares_library_cleanup();
  }

  int Startup(uint16_t wanted, uint16_t* granted) override {
    if ((wanted & 0xFF) == 0) {  // no major version 0
      if (granted != nullptr) *granted = kWinSockVersion;
      return kWsaVerNotSupported;
    }
    if (granted != nullptr) *granted = kWinSockVersion;
    ++startups_;
    return 0;
  }

  // Like WSACleanup: counted against Startup; the last one cancels open lookups (their
  // replies are never posted) and closes every socket left open.
  int Cleanup() override {
    if (startups_ == 0) return Fail(kWsaNotInitialised);
    if (--startups_ == 0) ReleaseAll();
    return 0;
  }

  uintptr_t AsyncGetHostByName(WindowRef window, uint32_t msg, const char* name, uint8_t* buffer,
                               uint32_t length) override {
    if (startups_ != 0 && channel_ != nullptr && ResolverFilesChanged()) CloseChannel();
    int error = startups_ == 0                          ? kWsaNotInitialised
                : name == nullptr || buffer == nullptr  ? kWsaEFault
                : channel_ == nullptr && !OpenChannel() ? kWsaENoBufs
                                                        : 0;
    if (error != 0) {
      Fail(error);
      return 0;
    }
    uintptr_t handle = nextLookup_++;
    lookups_[handle] = Lookup{window, msg, buffer, length};
    // Freed by the callback, which c-ares calls exactly once per query, also on cancel. The
    // callback may run before ares_gethostbyname returns (hosts file, numeric address); the
    // reply is then already queued, which is harmless as nothing dispatches before we return.
    ++queriesInFlight_;
    ares_gethostbyname(channel_, name, AF_INET, &PosixWinSock::OnLookupDone,
                       new LookupRequest{this, handle});
    return handle;
  }

  bool FirstAddress(const uint8_t* buffer, uint8_t address[4]) override {
    uint32_t magic;
    std::memcpy(&magic, buffer, sizeof magic);
    if (magic != kHostEntryMagic || Get16(buffer + 4) != kFamilyInet || Get16(buffer + 6) != 4 ||
        Get16(buffer + 8) == 0) {
      return false;
    }
    std::memcpy(address, buffer + kHostHeaderSize, 4);
    return true;
  }

  SocketRef Socket() override {
    if (startups_ == 0) {
      Fail(kWsaNotInitialised);
      return kInvalidSocket;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      Fail(WsaErrorFromErrno(errno));
      return kInvalidSocket;
    }
    // Handles are counted, never reused: an event still queued for a closed socket names
    // no other socket.
    SocketRef handle = nextSocket_++;
    Sock sock;
    sock.handle = handle;
    sock.fd = fd;
    sockets_[handle] = sock;
    return handle;
  }

  int AsyncSelect(SocketRef s, WindowRef window, uint32_t msg, long events) override {
    Sock* sock = Find(s);
    if (sock == nullptr) return Fail(kWsaENotSock);
    int flags = fcntl(sock->fd, F_GETFL);
    if (flags < 0 || fcntl(sock->fd, F_SETFL, flags | O_NONBLOCK) < 0) {
      return Fail(WsaErrorFromErrno(errno));
    }
    sock->window = window;
    sock->msg = msg;
    sock->events = events;
    if (sock->watch == 0) {
      sock->watch =
          loop_.Watch(sock->fd, 0, [this, s](short revents) { OnSocketReady(s, revents); });
    }
    if (sock->state == State::kConnected) {
      // Selecting again re-arms the events that are due at once, as Windows does.
      sock->writeArmed = true;
      sock->readEnabled = true;
    }
    UpdateWatch(*sock);
    return 0;
  }

  bool GetServiceByName(const char* name, const char* proto, uint16_t* portNetworkOrder) override {
    if (name == nullptr || proto == nullptr || portNetworkOrder == nullptr) return false;
    // The services file is read again only when it changed since the last look-up.
    FileStamp stamp = StampOf(kServicesFile);
    if (stamp != servicesStamp_) {
      services_.clear();
      servicesStamp_ = stamp;
    }
    std::string key = std::string(name) + '/' + proto;
    auto it = services_.find(key);
    if (it == services_.end()) {
      servent entry{};
      servent* found = nullptr;
      char scratch[1024];
      int port = -1;
      if (getservbyname_r(name, proto, &entry, scratch, sizeof scratch, &found) == 0 &&
          found != nullptr) {
        port = static_cast<uint16_t>(found->s_port);
      }
      it = services_.emplace(std::move(key), port).first;
    }
    if (it->second < 0) return false;
    *portNetworkOrder = static_cast<uint16_t>(it->second);
    return true;
  }

  uint16_t Htons(uint16_t value) override { return htons(value); }

  int Connect(SocketRef s, const Ipv4Endpoint& to) override {
    Sock* sock = Find(s);
    if (sock == nullptr) return Fail(kWsaENotSock);
    if (sock->state != State::kFresh) {
      return Fail(sock->state == State::kConnecting ? kWsaEAlready : kWsaEIsConn);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = to.portNetworkOrder;
    std::memcpy(&address.sin_addr, to.address, 4);
    int r = ::connect(sock->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int error = r == 0 ? 0 : errno;
    if (r == 0 || error == EINPROGRESS) {
      sock->state = State::kConnecting;
      UpdateWatch(*sock);
      if (r == 0 && sock->window == 0) {
        sock->state = State::kConnected;  // a blocking socket that connected
        return 0;
      }
      return Fail(kWsaEWouldBlock);
    }
    if (error == ECONNREFUSED && sock->window != 0) {
      // Windows always reports the outcome of a selected socket's connect as FD_CONNECT.
      sock->state = State::kDead;
      PostEvent(*sock, kFdConnect, kWsaEConnRefused);
      return Fail(kWsaEWouldBlock);
    }
    return Fail(WsaErrorFromErrno(error));
  }

  int LastError() override { return lastError_; }

  int Send(SocketRef s, const char* data, int length) override {
    Sock* sock = Find(s);
    if (sock == nullptr) return Fail(kWsaENotSock);
    if (length < 0) return Fail(kWsaEInval);
    ssize_t n = ::send(sock->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n > 0) {
      // The segment carries the acknowledgement; the next receive starts a reply.
      sock->ackOwed = false;
      sock->pausedAckOwed = false;
      sock->receivedSinceSend = false;
      SetLowWater(*sock, 1);
    }
    if (n < 0) {
      int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        sock->writeArmed = true;  // FD_WRITE again once there is room
        UpdateWatch(*sock);
      }
      return Fail(WsaErrorFromErrno(error));
    }
    return static_cast<int>(n);
  }

  int Recv(SocketRef s, char* buffer, int length) override {
    Sock* sock = Find(s);
    if (sock == nullptr) return Fail(kWsaENotSock);
    if (length < 0) return Fail(kWsaEInval);
    if (sock->aheadLength > 0) {
      // What the poll read ahead, then whatever else is waiting, as one receive would give it.
      size_t n = sock->aheadLength < static_cast<size_t>(length) ? sock->aheadLength
                                                                 : static_cast<size_t>(length);
      std::memcpy(buffer, sock->ahead().data() + sock->aheadStart, n);
      sock->aheadStart += n;
      sock->aheadLength -= n;
      if (sock->aheadLength == 0) sock->aheadStart = 0;
      if (n < static_cast<size_t>(length)) {
        ssize_t more = ::recv(sock->fd, buffer + n, static_cast<size_t>(length) - n, MSG_DONTWAIT);
        if (more > 0) n += static_cast<size_t>(more);
      }
      NoteReceived(*sock);
      ReenableRead(*sock);
      return static_cast<int>(n);
    }
    ssize_t n = ::recv(sock->fd, buffer, static_cast<size_t>(length), 0);
    int error = errno;
    if (n > 0) NoteReceived(*sock);
    ReenableRead(*sock);
    if (n < 0) return Fail(WsaErrorFromErrno(error));
    return static_cast<int>(n);
  }

  int Shutdown(SocketRef s, int how) override {
    Sock* sock = Find(s);
    if (sock == nullptr) return Fail(kWsaENotSock);
    int mode = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : how == 2 ? SHUT_RDWR : -1;
    if (mode < 0) return Fail(kWsaEInval);
    if (::shutdown(sock->fd, mode) != 0) return Fail(WsaErrorFromErrno(errno));
    return 0;
  }

  void ExpectAtLeast(SocketRef s, int bytes) override {
    Sock* sock = Find(s);
    if (sock == nullptr || sock->fd < 0 || sock->state != State::kConnected) return;
    int want = bytes >= kLowWaterLeast ? std::min(bytes, kLowWaterMost) : 1;
    // A lower mark is set at once (a higher one could wait for bytes that never come); a
    // slightly higher one is not worth the call.
    if (want > sock->lowWater && want - sock->lowWater < kLowWaterLeast) return;
    SetLowWater(*sock, want);
  }

  int CloseSocket(SocketRef s) override {
    auto it = sockets_.find(s);
    if (it == sockets_.end()) return Fail(kWsaENotSock);
    CloseSock(it->second);
    sockets_.erase(it);
    return 0;
  }

 private:
  enum class State { kFresh, kConnecting, kConnected, kDead };

  struct Sock {
    SocketRef handle = kInvalidSocket;
    int fd = -1;
    int watch = 0;
    WindowRef window = 0;
    uint32_t msg = 0;
    long events = 0;
    State state = State::kFresh;
    bool readEnabled = false;
    bool writeArmed = false;
    bool closeNotified = false;
    // Data was received and nothing has been sent since: the peer waits for our ACK.
    bool ackOwed = false;
    // The same, for a receive that was not the first since the last send: acknowledged once
    // the reply pauses (kReplyPauseMs).
    bool pausedAckOwed = false;
    bool receivedSinceSend = false;
    // The socket's SO_RCVLOWAT: the bytes the poll waits for before it reports data.
    int lowWater = 1;
    // Bytes read when the poll saw the peer's close coming, to tell data still waiting from
    // the close itself; Recv hands them on.
    std::shared_ptr<std::array<char, kReadAheadSize>> aheadBuffer;
    std::array<char, kReadAheadSize>& ahead() { return *aheadBuffer; }
    size_t aheadStart = 0;
    size_t aheadLength = 0;
  };

  // Reads what is waiting into the socket's read-ahead buffer: a count above 0, 0 when the peer
  // has closed and everything was read, -1 with errno set.
  static ssize_t ReadAhead(Sock& sock) {
    if (sock.aheadLength > 0) return static_cast<ssize_t>(sock.aheadLength);
    if (!sock.aheadBuffer) sock.aheadBuffer = std::make_shared<std::array<char, kReadAheadSize>>();
    ssize_t n = ::recv(sock.fd, sock.ahead().data(), kReadAheadSize, MSG_DONTWAIT);
    if (n > 0) {
      sock.aheadStart = 0;
      sock.aheadLength = static_cast<size_t>(n);
    }
    return n;
  }

  // Data was received: an ACK is owed, and the reply has not paused.
  void NoteReceived(Sock& sock) {
    lastReadMs_ = EventLoop::NowMs();
    if (!sock.receivedSinceSend) {
      sock.receivedSinceSend = true;
      sock.ackOwed = true;
      acksOwed_ = true;
    } else if (!sock.ackOwed) {
      sock.pausedAckOwed = true;
      pausedAcksOwed_ = true;
    }
  }

  // Linux delays the ACK of data it received (40 ms at least) in the hope of sending it with
  // an answer. A server that writes a reply in two pieces with Nagle's algorithm on (the
  // status line, then the rest) holds the second piece until the first is acknowledged, so
  // every such reply would wait out the delay. Before the loop waits again, every socket
  // that received data and sent nothing since acknowledges at once. TCP_QUICKACK sends the
  // ACK the kernel holds; the kernel clears the option again on its own, so it is set anew
  // each time. Sockets whose receive was answered by a command (the usual case) cost nothing:
  // the command carried the ACK. A kernel without the option keeps the delayed ACK.
  //
  // Only the first receive after a command is acknowledged before the very next wait: that is
  // where a reply split at its status line waits. The later pieces of a long reply arrive while
  // the peer is still sending, and the kernel acknowledges a stream on its own; forcing an ACK
  // after each of them doubled the kernel's work for a long listing. Such a piece is
  // acknowledged at once only when nothing more came for kReplyPauseMs, which bounds what a peer
  // holding back a later piece can wait.
  void AcknowledgeAtOnce() {
    acksOwed_ = false;
    AcknowledgeOwed(&Sock::ackOwed);
  }

  void AcknowledgePaused() {
    pausedAcksOwed_ = false;
    AcknowledgeOwed(&Sock::pausedAckOwed);
  }

  // Every socket whose flag `owed` is set acknowledges now; the flag is cleared.
  void AcknowledgeOwed(bool Sock::*owed) {
    for (auto& [handle, sock] : sockets_) {
      if (!(sock.*owed)) continue;
      sock.*owed = false;
      QuickAck(sock);
    }
  }

  void SetLowWater(Sock& sock, int bytes) {
    if (bytes == sock.lowWater || sock.fd < 0) return;
    // A kernel that refuses the option reports every arrival, as before.
    if (setsockopt(sock.fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) != 0) return;
    sock.lowWater = bytes;
    if (bytes > 1) lowWatersRaised_ = true;
  }

  // The reply paused before the bytes it was said to have came: whatever is waiting is read.
  void LowerLowWaters() {
    lowWatersRaised_ = false;
    for (auto& [handle, sock] : sockets_) SetLowWater(sock, 1);
  }

  // An even value sends the ACK the kernel holds and leaves the socket in its delayed-ACK
  // mode; 1 would also switch it to acknowledging each piece itself, which costs a long
  // listing an ACK per receive.
  static void QuickAck(const Sock& sock) {
    if (sock.fd < 0 || sock.state != State::kConnected) return;
    int once = 2;
    setsockopt(sock.fd, IPPROTO_TCP, TCP_QUICKACK, &once, sizeof once);
  }

  // A receive re-enables FD_READ, whatever it returned; bytes still read ahead are reported
  // again at once, as Windows posts FD_READ again while data remains.
  void ReenableRead(Sock& sock) {
    sock.readEnabled = true;
    if (sock.aheadLength > 0 && !sock.closeNotified) {
      sock.readEnabled = false;
      PostEvent(sock, kFdRead, 0);
    }
    UpdateWatch(sock);
  }

  struct Lookup {
    WindowRef window;
    uint32_t msg;
    uint8_t* buffer;
    uint32_t length;
  };

  struct LookupRequest {
    PosixWinSock* self;
    uintptr_t handle;
  };

  int Fail(int error) {
    lastError_ = error;
    return -1;
  }

  Sock* Find(SocketRef s) {
    auto it = sockets_.find(s);
    return it == sockets_.end() ? nullptr : &it->second;
  }

  void PostEvent(const Sock& sock, long event, int error) {
    if ((sock.events & event) == 0 || sock.window == 0) return;
    loop_.Post(sock.window, sock.msg, static_cast<WParam>(sock.handle),
               Reply(error, static_cast<uint32_t>(event)));
  }

  // What the poll waits for: the outcome of a connect, data or the peer's close while FD_READ
  // is enabled, room to write while an FD_WRITE is owed.
  void UpdateWatch(Sock& sock) {
    if (sock.watch == 0) return;
    short events = 0;
    if (sock.window != 0 && sock.events != 0) {
      if (sock.state == State::kConnecting) {
        events = POLLOUT;
      } else if (sock.state == State::kConnected) {
        if (sock.readEnabled && !sock.closeNotified) events |= POLLIN | POLLRDHUP;
        if (sock.writeArmed) events |= POLLOUT;
      }
    }
    loop_.SetWatchEvents(sock.watch, events);
  }

  void OnSocketReady(SocketRef s, short revents) {
    Sock* sock = Find(s);
    if (sock == nullptr) return;
    if (sock->state == State::kConnecting) {
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(sock->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
      if (error == EINPROGRESS || error == EALREADY) return;  // not decided yet
      if (error != 0) {
        sock->state = State::kDead;
        PostEvent(*sock, kFdConnect, WsaErrorFromErrno(error));
      } else {
        sock->state = State::kConnected;
        sock->readEnabled = true;
        PostEvent(*sock, kFdConnect, 0);
        PostEvent(*sock, kFdWrite, 0);  // a fresh connection has room to write
      }
      UpdateWatch(*sock);
      return;
    }
    if (sock->state != State::kConnected) return;
    if (sock->writeArmed && (revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      sock->writeArmed = false;
      PostEvent(*sock, kFdWrite, 0);
    }
    if (sock->readEnabled && !sock->closeNotified &&
        (revents & (POLLIN | POLLRDHUP | POLLERR | POLLHUP)) == POLLIN) {
      // Data and no sign of the peer's close: FD_READ, and the next Recv reads it, all that
      // is waiting by then, as a Windows receive does.
      sock->readEnabled = false;  // until the next receive
      PostEvent(*sock, kFdRead, 0);
    } else if (sock->readEnabled && !sock->closeNotified &&
               (revents & (POLLIN | POLLRDHUP | POLLERR | POLLHUP)) != 0) {
      // The peer has closed or failed, perhaps behind data still waiting. The bytes are read
      // here, into the socket's own buffer, where the next Recv takes them: one receive tells
      // that data from the close, without a peek in front of it.
      ssize_t n = ReadAhead(*sock);
      if (n > 0) {
        sock->readEnabled = false;  // until the next receive
        PostEvent(*sock, kFdRead, 0);
      } else if (n == 0) {
        // Everything the peer sent has been read: its close is reported once.
        sock->closeNotified = true;
        PostEvent(*sock, kFdClose, 0);
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        sock->closeNotified = true;
        PostEvent(*sock, kFdClose, WsaErrorFromErrno(errno));
      }
    }
    UpdateWatch(*sock);
  }

  void CloseSock(Sock& sock) {
    if (sock.watch != 0) loop_.Unwatch(sock.watch);
    sock.watch = 0;
    if (sock.fd >= 0) ::close(sock.fd);
    sock.fd = -1;
  }

  // The resolver: one c-ares channel whose sockets and time-outs the event loop serves.
  bool OpenChannel() {
    ares_options options{};
    int mask = ARES_OPT_SOCK_STATE_CB;
    options.sock_state_cb = &PosixWinSock::OnResolverSocket;
    options.sock_state_cb_data = this;
    if (!options_.lookups.empty()) {
      options.lookups = options_.lookups.data();
      mask |= ARES_OPT_LOOKUPS;
    }
    if (options_.timeoutMs > 0) {
      options.timeout = options_.timeoutMs;
      mask |= ARES_OPT_TIMEOUTMS;
    }
    if (options_.tries > 0) {
      options.tries = options_.tries;
      mask |= ARES_OPT_TRIES;
    }
    for (size_t i = 0; i < kResolverFileCount; ++i) resolverStamps_[i] = StampOf(kResolverFiles[i]);
    if (ares_init_options(&channel_, &options, mask) != ARES_SUCCESS) {
      channel_ = nullptr;
      return false;
    }
    if (!options_.servers.empty() &&
        ares_set_servers_ports_csv(channel_, options_.servers.c_str()) != ARES_SUCCESS) {
      ares_destroy(channel_);
      channel_ = nullptr;
      return false;
    }
    return true;
  }

  static void OnResolverSocket(void* data, ares_socket_t fd, int readable, int writable) {
    auto* self = static_cast<PosixWinSock*>(data);
    short events = static_cast<short>((readable != 0 ? POLLIN : 0) | (writable != 0 ? POLLOUT : 0));
    auto it = self->resolverWatches_.find(fd);
    if (events == 0) {
      if (it != self->resolverWatches_.end()) {
        self->loop_.Unwatch(it->second);
        self->resolverWatches_.erase(it);
      }
    } else if (it != self->resolverWatches_.end()) {
      self->loop_.SetWatchEvents(it->second, events);
    } else {
      self->resolverWatches_[fd] = self->loop_.Watch(fd, events, [self, fd](short revents) {
        if (self->channel_ == nullptr) return;
        bool error = (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        ares_socket_t r = (revents & POLLIN) != 0 || error ? fd : ARES_SOCKET_BAD;
        ares_socket_t w = (revents & POLLOUT) != 0 || error ? fd : ARES_SOCKET_BAD;
        ares_process_fd(self->channel_, r, w);
      });
    }
  }

  // Milliseconds until c-ares must look at its time-outs; -1 when no query is open.
  int ResolverWaitMs() {
    // Without a query in flight the channel has no time-out: asking it on every turn of the
    // loop would be a scan for nothing.
    if (channel_ == nullptr || queriesInFlight_ == 0) return -1;
    timeval tv{};
    if (ares_timeout(channel_, nullptr, &tv) == nullptr) return -1;
    long long ms = static_cast<long long>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
    if (ms < 0) ms = 0;
    if (ms > 0x7FFFFFFF) ms = 0x7FFFFFFF;
    return static_cast<int>(ms);
  }

  static void OnLookupDone(void* arg, int status, int, hostent* host) {
    auto* request = static_cast<LookupRequest*>(arg);
    PosixWinSock* self = request->self;
    uintptr_t handle = request->handle;
    delete request;
    --self->queriesInFlight_;
    if (status == ARES_ECANCELLED || status == ARES_EDESTRUCTION) return;
    auto it = self->lookups_.find(handle);
    if (it == self->lookups_.end()) return;  // cancelled by Cleanup: never answered
    Lookup lookup = it->second;
    self->lookups_.erase(it);
    int error = WsaErrorFromAres(status);
    // c-ares reports a name missing from the hosts file as ECONNREFUSED when no DNS server
    // was to be asked; without DNS in the lookup order that simply means "not found".
    if (status == ARES_ECONNREFUSED && self->options_.lookups.find('b') == std::string::npos &&
        !self->options_.lookups.empty()) {
      error = kWsaHostNotFound;
    }
    uint32_t needed = 0;
    if (error == 0) {
      if (host == nullptr) {
        error = kWsaNoRecovery;
      } else if (WriteHostEntry(host, lookup.buffer, lookup.length, &needed) == 0) {
        error = needed > lookup.length ? kWsaENoBufs : kWsaNoData;
      }
    }
    self->loop_.Post(lookup.window, lookup.msg, static_cast<WParam>(handle), Reply(error, needed));
  }

  static constexpr size_t kResolverFileCount = sizeof kResolverFiles / sizeof kResolverFiles[0];

  bool ResolverFilesChanged() const {
    for (size_t i = 0; i < kResolverFileCount; ++i) {
      if (StampOf(kResolverFiles[i]) != resolverStamps_[i]) return true;
    }
    return false;
  }

  void CloseChannel() {
    if (channel_ != nullptr) {
      ares_channel channel = channel_;
      ares_destroy(channel);  // closes the resolver's sockets through OnResolverSocket
      channel_ = nullptr;
    }
    for (auto& [fd, watch] : resolverWatches_) loop_.Unwatch(watch);
    resolverWatches_.clear();
  }

  // The last Cleanup: open lookups are cancelled and never answered, every socket is closed.
  // The resolver itself is kept for the next check, so its configuration is not read again
  // unless it changed.
  void ReleaseAll() {
    lookups_.clear();
    if (channel_ != nullptr) ares_cancel(channel_);
    for (auto& [handle, sock] : sockets_) CloseSock(sock);
    sockets_.clear();
  }

  EventLoop& loop_;
  ResolverOptions options_;
  int deadline_ = 0;
  int queriesInFlight_ = 0;       // lookups whose callback c-ares has not called yet
  bool acksOwed_ = false;         // some socket's ackOwed is set
  bool pausedAcksOwed_ = false;   // some socket's pausedAckOwed is set
  bool lowWatersRaised_ = false;  // some socket's lowWater may be above 1
  uint64_t lastReadMs_ = 0;       // when a receive last returned data
  int startups_ = 0;
  int lastError_ = 0;
  ares_channel channel_ = nullptr;
  FileStamp resolverStamps_[kResolverFileCount];
  FileStamp servicesStamp_;
  std::map<std::string, int> services_;  // "name/proto" -> port in network order, -1: none
  std::map<ares_socket_t, int> resolverWatches_;
  std::map<uintptr_t, Lookup> lookups_;
  uintptr_t nextLookup_ = 1;
  std::map<SocketRef, Sock> sockets_;
  SocketRef nextSocket_ = 1;
};

}  // namespace

std::unique_ptr<WinSockPort> MakeWinSock(EventLoop& loop, const ResolverOptions& options) {
  return std::make_unique<PosixWinSock>(loop, options);
}

std::unique_ptr<WinSockPort> MakeWinSock(EventLoop& loop) {
  return MakeWinSock(loop, ResolverOptions{});
}

}  // namespace kc::posix
