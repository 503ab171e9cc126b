#include "pop3/winsock_errors.h"

namespace kc {

const char* WinSockErrorName(int error) {
  switch (error) {
    case 10004: return "WSAEINTR";
    case 10009: return "WSAEBADF";
    case 10013: return "WSAEACCES";
    case 10014: return "WSAEFAULT";
    case 10022: return "WSAEINVAL";
    case 10024: return "WSAEMFILE";
    case 10035: return "WSAEWOULDBLOCK";
    case 10036: return "WSAEINPROGRESS";
    case 10037: return "WSAEALREADY";
    case 10038: return "WSAENOTSOCK";
    case 10047: return "WSAEAFNOSUPPORT";
    case 10048: return "WSAEADDRINUSE";
    case 10049: return "WSAEADDRNOTAVAIL";
    case 10050: return "WSAENETDOWN";
    case 10051: return "WSAENETUNREACH";
    case 10052: return "WSAENETRESET";
    case 10053: return "WSAECONNABORTED";
    case 10054: return "WSAECONNRESET";
    case 10055: return "WSAENOBUFS";
    case 10056: return "WSAEISCONN";
    case 10057: return "WSAENOTCONN";
    case 10058: return "WSAESHUTDOWN";
    case 10060: return "WSAETIMEDOUT";
    case 10061: return "WSAECONNREFUSED";
    case 10064: return "WSAEHOSTDOWN";
    case 10065: return "WSAEHOSTUNREACH";
    case 10091: return "WSASYSNOTREADY";
    case 10092: return "WSAVERNOTSUPPORTED";
    case 10093: return "WSANOTINITIALISED";
    case 11001: return "WSAHOST_NOT_FOUND";
    case 11002: return "WSATRY_AGAIN";
    case 11003: return "WSANO_RECOVERY";
    case 11004: return "WSANO_DATA";
    default: return nullptr;
  }
}

}  // namespace kc
