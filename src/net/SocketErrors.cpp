#include "net/SocketErrors.h"

#include <netdb.h>

#include <cerrno>

namespace relaybox {

int ErrnoToSocketError(int err) {
  switch (err) {
  case 0: return WSANOERROR;
  case EINTR: return WSAEINTR;
  case EBADF: return WSAEBADF;
  case EACCES: return WSAEACCES;
  case EFAULT: return WSAEFAULT;
  case EINVAL: return WSAEINVAL;
  case EMFILE:
  case ENFILE: return WSAEMFILE;
  case EAGAIN:
#if EWOULDBLOCK != EAGAIN
  case EWOULDBLOCK:
#endif
  case EINPROGRESS: return WSAEWOULDBLOCK;  // a non-blocking connect under way
  case EALREADY: return WSAEALREADY;
  case ENOTSOCK: return WSAENOTSOCK;
  case EDESTADDRREQ: return WSAEDESTADDRREQ;
  case EMSGSIZE: return WSAEMSGSIZE;
  case EPROTOTYPE: return WSAEPROTOTYPE;
  case ENOPROTOOPT: return WSAENOPROTOOPT;
  case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
  case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
  case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
  case ENOTSUP:
#endif
    return WSAEOPNOTSUPP;
  case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
  case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
  case EADDRINUSE: return WSAEADDRINUSE;
  case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
  case ENETDOWN: return WSAENETDOWN;
  case ENETUNREACH: return WSAENETUNREACH;
  case ENETRESET: return WSAENETRESET;
  case ECONNABORTED: return WSAECONNABORTED;
  // A send that fails with EPIPE meets a connection that can no longer carry data, in
  // practice one the peer reset; reporting a reset lets the send path close the socket.
  case EPIPE:
  case ECONNRESET: return WSAECONNRESET;
  case ENOMEM:
  case ENOBUFS: return WSAENOBUFS;
  case EISCONN: return WSAEISCONN;
  case ENOTCONN: return WSAENOTCONN;
  case ESHUTDOWN: return WSAESHUTDOWN;
  case ETOOMANYREFS: return WSAETOOMANYREFS;
  case ETIMEDOUT: return WSAETIMEDOUT;
  case ECONNREFUSED: return WSAECONNREFUSED;
  case ELOOP: return WSAELOOP;
  case ENAMETOOLONG: return WSAENAMETOOLONG;
  case EHOSTDOWN: return WSAEHOSTDOWN;
  case EHOSTUNREACH: return WSAEHOSTUNREACH;
  case ENOTEMPTY: return WSAENOTEMPTY;
  case EUSERS: return WSAEUSERS;
  case EDQUOT: return WSAEDQUOT;
  case ESTALE: return WSAESTALE;
  case EREMOTE: return WSAEREMOTE;
  default: return err;
  }
}

int GaiToSocketError(int gaiResult, int savedErrno) {
  switch (gaiResult) {
  case 0: return WSANOERROR;
  case EAI_NONAME: return WSAHOST_NOT_FOUND;
  case EAI_AGAIN: return WSATRY_AGAIN;
  case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
  case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
  case EAI_ADDRFAMILY: return WSANO_DATA;  // the host has no IPv4 address
#endif
  case EAI_MEMORY: return WSAENOBUFS;
  case EAI_SYSTEM: {
    const int code = ErrnoToSocketError(savedErrno);
    return code != WSANOERROR ? code : WSANO_RECOVERY;
  }
  default: return WSANO_RECOVERY;
  }
}

std::string SocketErrorText(int code) {
#define RELAYBOX_SOCKET_ERROR_CASE(name, number, text) \
  case number: return text;
  switch (code) {
    RELAYBOX_SOCKET_ERRORS(RELAYBOX_SOCKET_ERROR_CASE)
  default: return "Not a WinSock error";
  }
#undef RELAYBOX_SOCKET_ERROR_CASE
}

std::string SocketErrorMessage(int code) {
  return SocketErrorText(code) + " (#" + std::to_string(code) + ")";
}

std::string SocketErrorReport(int code, std::string_view operation) {
  std::string report = SocketErrorText(code) + " (#" + std::to_string(code) + " in ";
  report.append(operation);
  return report + ")";
}

} // namespace relaybox
