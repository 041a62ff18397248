#pragma once

#include "base/Exception.h"

#include <string>
#include <string_view>

namespace relaybox {

// Socket error codes are the Windows socket error numbers, so that callers and texts agree
// with the rest of the program. Each row: constant name, number, English text.
#define RELAYBOX_SOCKET_ERRORS(X)                                                         \
  X(WSANOERROR, 0, "No Error")                                                            \
  X(WSAEINTR, 10004, "Interrupted system call")                                           \
  X(WSAEBADF, 10009, "Bad file number")                                                   \
  X(WSAEACCES, 10013, "Permission denied")                                                \
  X(WSAEFAULT, 10014, "Bad address")                                                      \
  X(WSAEINVAL, 10022, "Invalid argument")                                                 \
  X(WSAEMFILE, 10024, "Too many open files")                                              \
  X(WSAEWOULDBLOCK, 10035, "Operation would block")                                       \
  X(WSAEINPROGRESS, 10036, "Operation now in progress")                                   \
  X(WSAEALREADY, 10037, "Operation already in progress")                                  \
  X(WSAENOTSOCK, 10038, "Socket operation on non-socket")                                 \
  X(WSAEDESTADDRREQ, 10039, "Destination address required")                               \
  X(WSAEMSGSIZE, 10040, "Message too long")                                               \
  X(WSAEPROTOTYPE, 10041, "Protocol wrong type for socket")                               \
  X(WSAENOPROTOOPT, 10042, "Protocol not available")                                      \
  X(WSAEPROTONOSUPPORT, 10043, "Protocol not supported")                                  \
  X(WSAESOCKTNOSUPPORT, 10044, "Socket type not supported")                               \
  X(WSAEOPNOTSUPP, 10045, "Operation not supported on socket")                            \
  X(WSAEPFNOSUPPORT, 10046, "Protocol family not supported")                              \
  X(WSAEAFNOSUPPORT, 10047, "Address family not supported by protocol family")            \
  X(WSAEADDRINUSE, 10048, "Address already in use")                                       \
  X(WSAEADDRNOTAVAIL, 10049, "Address not available")                                     \
  X(WSAENETDOWN, 10050, "Network is down")                                                \
  X(WSAENETUNREACH, 10051, "Network is unreachable")                                      \
  X(WSAENETRESET, 10052, "Network dropped connection on reset")                           \
  X(WSAECONNABORTED, 10053, "Connection aborted")                                         \
  X(WSAECONNRESET, 10054, "Connection reset by peer")                                     \
  X(WSAENOBUFS, 10055, "No buffer space available")                                       \
  X(WSAEISCONN, 10056, "Socket is already connected")                                     \
  X(WSAENOTCONN, 10057, "Socket is not connected")                                        \
  X(WSAESHUTDOWN, 10058, "Can't send after socket shutdown")                              \
  X(WSAETOOMANYREFS, 10059, "Too many references: can't splice")                          \
  X(WSAETIMEDOUT, 10060, "Connection timed out")                                          \
  X(WSAECONNREFUSED, 10061, "Connection refused")                                         \
  X(WSAELOOP, 10062, "Too many levels of symbolic links")                                 \
  X(WSAENAMETOOLONG, 10063, "File name too long")                                         \
  X(WSAEHOSTDOWN, 10064, "Host is down")                                                  \
  X(WSAEHOSTUNREACH, 10065, "No route to host")                                           \
  X(WSAENOTEMPTY, 10066, "Directory not empty")                                           \
  X(WSAEPROCLIM, 10067, "Too many processes")                                             \
  X(WSAEUSERS, 10068, "Too many users")                                                   \
  X(WSAEDQUOT, 10069, "Disc quota exceeded")                                              \
  X(WSAESTALE, 10070, "Stale NFS file handle")                                            \
  X(WSAEREMOTE, 10071, "Too many levels of remote in path")                               \
  X(WSASYSNOTREADY, 10091, "Network sub-system is unusable")                              \
  X(WSAVERNOTSUPPORTED, 10092, "WinSock DLL cannot support this application")             \
  X(WSANOTINITIALISED, 10093, "WinSock not initialized")                                  \
  X(WSAHOST_NOT_FOUND, 11001, "Host not found")                                           \
  X(WSATRY_AGAIN, 11002, "Non-authoritative host not found")                              \
  X(WSANO_RECOVERY, 11003, "Non-recoverable error")                                       \
  X(WSANO_DATA, 11004, "No Data")

#define RELAYBOX_SOCKET_ERROR_CONSTANT(name, code, text) inline constexpr int name = code;
RELAYBOX_SOCKET_ERRORS(RELAYBOX_SOCKET_ERROR_CONSTANT)
#undef RELAYBOX_SOCKET_ERROR_CONSTANT

// The socket error number for an errno value (0 stays 0). An errno without a counterpart is
// returned unchanged: errno values are far below 10000, so it never collides with a socket
// error number, reads as "Not a WinSock error" and keeps the original cause visible.
int ErrnoToSocketError(int err);

// The socket error number for a getaddrinfo result; savedErrno is errno right after the call
// and is used for EAI_SYSTEM.
int GaiToSocketError(int gaiResult, int savedErrno);

// The English text of a socket error number; "Not a WinSock error" for unknown numbers.
std::string SocketErrorText(int code);

// Text + " (#" + code + ")".
std::string SocketErrorMessage(int code);

// Text + " (#" + code + " in " + operation + ")": the report of a failed platform call.
std::string SocketErrorReport(int code, std::string_view operation);

class ESocketException : public EException {
public:
  using EException::EException;
};

} // namespace relaybox
