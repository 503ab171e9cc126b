// WinSock 1.1 over POSIX sockets and c-ares, driven by the program's poll loop.
#pragma once
#include <memory>
#include <string>

#include "port/winsock.h"
#include "posix/event_loop.h"

namespace kc::posix {

// How the resolver looks names up. Empty or zero fields keep the system's configuration
// (/etc/nsswitch.conf, /etc/resolv.conf, /etc/hosts); tests use them to stay offline.
struct ResolverOptions {
  std::string lookups;  // c-ares lookup order: "f" hosts file only, "b" DNS only, "fb" both
  std::string servers;  // DNS servers as "host:port,host:port"
  int timeoutMs = 0;    // first time-out of a DNS query
  int tries = 0;        // attempts per server
};

std::unique_ptr<WinSockPort> MakeWinSock(EventLoop& loop, const ResolverOptions& options);

// WinSock error numbers this back end reports.
constexpr int kWsaEBadf = 10009;
constexpr int kWsaEAcces = 10013;
constexpr int kWsaEFault = 10014;
constexpr int kWsaEInval = 10022;
constexpr int kWsaEMFile = 10024;
constexpr int kWsaEInProgress = 10036;
constexpr int kWsaEAlready = 10037;
constexpr int kWsaENotSock = 10038;
constexpr int kWsaEAfNoSupport = 10047;
constexpr int kWsaEAddrInUse = 10048;
constexpr int kWsaEAddrNotAvail = 10049;
constexpr int kWsaENetDown = 10050;
constexpr int kWsaENetUnreach = 10051;
constexpr int kWsaEConnAborted = 10053;
constexpr int kWsaEConnReset = 10054;
constexpr int kWsaENoBufs = 10055;
constexpr int kWsaEIsConn = 10056;
constexpr int kWsaENotConn = 10057;
constexpr int kWsaEShutdown = 10058;
constexpr int kWsaETimedOut = 10060;
constexpr int kWsaEConnRefused = 10061;
constexpr int kWsaEHostDown = 10064;
constexpr int kWsaEHostUnreach = 10065;
constexpr int kWsaVerNotSupported = 10092;
constexpr int kWsaNotInitialised = 10093;
constexpr int kWsaTryAgain = 11002;
constexpr int kWsaNoRecovery = 11003;

// The WinSock number for an errno value of the socket calls.
int WsaErrorFromErrno(int error);
// The WinSock number for a c-ares status; 0 for success.
int WsaErrorFromAres(int status);

}  // namespace kc::posix
