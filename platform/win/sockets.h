// Windows Sockets 2.2 on this platform.
// SOCKET is a handle, not a descriptor: closesocket shuts the connection down first, so that
// every call blocked on it in another thread returns (a blocked accept fails with WSAEINTR),
// and the descriptor is released only when no call is inside it; a call on a closed handle
// fails with WSAENOTSOCK. A blocking send returns only when it has taken every byte, or fails.
// No call ever raises a signal.
#pragma once
#include "platform/win/types.h"

namespace win {

using SOCKET = UINT_PTR;
inline constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
inline constexpr int SOCKET_ERROR = -1;

struct in_addr {
    std::uint32_t s_addr; // network byte order
};
struct sockaddr {
    std::uint16_t sa_family;
    char sa_data[14];
};
struct sockaddr_in {
    std::uint16_t sin_family;
    std::uint16_t sin_port; // network byte order
    in_addr sin_addr;
    char sin_zero[8];
};

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
};
using LPWSADATA = WSADATA*;

constexpr WORD MAKEWORD(BYTE low, BYTE high) { return WORD(low | (WORD(high) << 8)); }

inline constexpr int AF_INET = 2;
inline constexpr int SOCK_STREAM = 1;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr std::uint32_t INADDR_ANY = 0;
inline constexpr std::uint32_t INADDR_NONE = 0xFFFFFFFF;

inline constexpr int SOL_SOCKET = 0xFFFF;
inline constexpr int SO_REUSEADDR = 0x0004;
inline constexpr int SO_KEEPALIVE = 0x0008;
inline constexpr int SO_SNDBUF = 0x1001;
inline constexpr int SO_RCVBUF = 0x1002;
inline constexpr int SO_RCVTIMEO = 0x1006; // a DWORD of milliseconds; 0 means none
inline constexpr int TCP_NODELAY = 0x0001;
inline constexpr int TCP_KEEPALIVE = 3;         // seconds idle before the first probe
inline constexpr int TCP_ABORTIVE_CLOSE = 128; // int 1: the next close sends a reset

inline constexpr int MSG_PEEK = 0x2;
inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;
inline constexpr int SOMAXCONN = 0x7FFFFFFF;

inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;

int WSAStartup(WORD version_requested, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int connect(SOCKET s, const sockaddr* name, int namelen);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int recv(SOCKET s, char* buf, int len, int flags);
int send(SOCKET s, const char* buf, int len, int flags);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);

std::uint32_t inet_addr(const char* cp); // INADDR_NONE when not a dotted IPv4 address

// Byte order: this platform is little-endian. Inline, so that no C library macro of the
// same name can stand in for them.
constexpr std::uint16_t htons(std::uint16_t host) { return __builtin_bswap16(host); }
constexpr std::uint16_t ntohs(std::uint16_t net) { return __builtin_bswap16(net); }
constexpr std::uint32_t htonl(std::uint32_t host) { return __builtin_bswap32(host); }
constexpr std::uint32_t ntohl(std::uint32_t net) { return __builtin_bswap32(net); }

} // namespace win
