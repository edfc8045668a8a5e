// Windows Sockets over POSIX sockets. A SOCKET is a value of a slot table, not a descriptor:
// closesocket wakes every call blocked on it and the descriptor is released only when the
// last call has left, so a closed value can never reach a connection accepted later.
#include "platform/win/sockets.h"
#include "platform/internal/errors.h"
#include "platform/internal/fault.h"
#include "platform/internal/handles.h"
#include "platform/internal/slots.h"
#include "platform/win/error.h"

// The Windows values of names that the POSIX headers below redefine as macros.
namespace {
constexpr int w_af_inet = win::AF_INET;
constexpr int w_sock_stream = win::SOCK_STREAM;
constexpr int w_ipproto_tcp = win::IPPROTO_TCP;
constexpr int w_sol_socket = win::SOL_SOCKET;
constexpr int w_so_reuseaddr = win::SO_REUSEADDR;
constexpr int w_so_keepalive = win::SO_KEEPALIVE;
constexpr int w_so_sndbuf = win::SO_SNDBUF;
constexpr int w_so_rcvbuf = win::SO_RCVBUF;
constexpr int w_so_rcvtimeo = win::SO_RCVTIMEO;
constexpr int w_tcp_nodelay = win::TCP_NODELAY;
constexpr int w_tcp_keepalive = win::TCP_KEEPALIVE;
constexpr int w_tcp_abortive_close = win::TCP_ABORTIVE_CLOSE;
constexpr int w_msg_peek = win::MSG_PEEK;
constexpr int w_sd_receive = win::SD_RECEIVE;
constexpr int w_sd_send = win::SD_SEND;
constexpr int w_sd_both = win::SD_BOTH;
constexpr int w_somaxconn = win::SOMAXCONN;
constexpr std::uint32_t w_inaddr_none = win::INADDR_NONE;
using w_sockaddr = win::sockaddr;
using w_sockaddr_in = win::sockaddr_in;
} // namespace

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace win {
namespace {

// What one socket value stands for; lives in a static table and is never freed.
struct socket_entry {
    int fd;                                  // the descriptor, owned until the last use leaves
    std::atomic<std::uint32_t> receive_cuts; // shutdowns of receiving, and closes, made here
    std::atomic<std::uint32_t> send_cuts;    // shutdowns of sending, and closes, made here
    std::atomic<std::uint8_t> shut;          // shut_send, shut_both, shut_receive as done here
    std::atomic<std::uint8_t> abortive;      // the next shutdown or close sends a reset
};

constexpr std::uint8_t shut_send = 1;    // shut down for sending
constexpr std::uint8_t shut_both = 2;    // shut down both ways, or closed
constexpr std::uint8_t shut_receive = 4; // shut down for receiving, or closed

// Shut down in both directions, in one call or in two.
constexpr bool shut_both_ways(std::uint8_t shut) {
    return (shut & shut_both) != 0 ||
           (shut & (shut_send | shut_receive)) == (shut_send | shut_receive);
}

// Values are generation * 1024 + index; 1024 descriptors is the usual per-process limit.
constexpr std::uint32_t socket_count = 1024;
constinit internal::slot_table<socket_count> sockets;
socket_entry entries[socket_count];
std::atomic<int> started{0}; // WSAStartup calls not yet matched by WSACleanup

int fail(int wsa) {
    WSASetLastError(wsa);
    return SOCKET_ERROR;
}

SOCKET fail_socket(int wsa) {
    WSASetLastError(wsa);
    return INVALID_SOCKET;
}

int fail_errno(int error_number) {
    internal::wsa_error_from_errno(error_number);
    return SOCKET_ERROR;
}

bool faulted(const char* call) {
    std::uint32_t code = 0;
    if (!internal::fault_take(call, &code)) return false;
    WSASetLastError(int(code));
    return true;
}

// The system's accept. A test may make it fail with an errno of its choice (armed as
// "accept4"), as it does when a pending connection broke before it was taken.
int system_accept(int fd, ::sockaddr_in* peer, socklen_t* len) {
    std::uint32_t injected = 0;
    if (internal::fault_take("accept4", &injected)) {
        errno = int(injected);
        return -1;
    }
    return ::accept4(fd, reinterpret_cast<::sockaddr*>(peer), len, SOCK_CLOEXEC);
}

// One call's hold on a socket: the descriptor stays open while it lives.
class use {
  public:
    explicit use(SOCKET s) : ok_(sockets.enter(s, &index_)) {
        if (!ok_) WSASetLastError(WSAENOTSOCK);
    }
    ~use() {
        if (ok_) release(index_);
    }
    use(const use&) = delete;
    use& operator=(const use&) = delete;

    bool ok() const { return ok_; }
    socket_entry& entry() const { return entries[index_]; }
    int fd() const { return entries[index_].fd; }

    // Leaves a slot; the last use of a closed socket closes its descriptor.
    static void release(std::uint32_t index) {
        if (!sockets.leave(index)) return;
        ::close(entries[index].fd);
        entries[index].fd = -1;
        sockets.recycle(index);
    }

  private:
    std::uint32_t index_ = 0;
    bool ok_;
};

// Gives a new descriptor a socket value; closes it when the table is full.
SOCKET adopt(int fd, std::uint8_t abortive) {
    std::uint32_t index = 0;
    if (!sockets.reserve(&index)) {
        ::close(fd);
        WSASetLastError(WSAEMFILE);
        return INVALID_SOCKET;
    }
    socket_entry& e = entries[index];
    e.fd = fd;
    e.receive_cuts.store(0, std::memory_order_relaxed);
    e.send_cuts.store(0, std::memory_order_relaxed);
    e.shut.store(0, std::memory_order_relaxed);
    e.abortive.store(abortive, std::memory_order_relaxed);
    return sockets.publish(index, 0);
}

bool to_posix(const w_sockaddr* name, int namelen, ::sockaddr_in* out) {
    if (name == nullptr || namelen < int(sizeof(w_sockaddr_in))) return false;
    const auto* in = reinterpret_cast<const w_sockaddr_in*>(name);
    if (in->sin_family != w_af_inet) return false;
    *out = ::sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = in->sin_port;
    out->sin_addr.s_addr = in->sin_addr.s_addr;
    return true;
}

void from_posix(const ::sockaddr_in& in, w_sockaddr* name, int* namelen) {
    if (name == nullptr || namelen == nullptr || *namelen < int(sizeof(w_sockaddr_in))) return;
    w_sockaddr_in out{};
    out.sin_family = w_af_inet;
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    std::memcpy(name, &out, sizeof out);
    *namelen = sizeof out;
}

// A reset on the wire instead of the orderly end, at once: disconnecting a TCP socket with
// AF_UNSPEC sends the reset and wakes every call blocked on it, while the descriptor stays.
bool reset_now(int fd) {
    ::sockaddr unspec{};
    unspec.sa_family = AF_UNSPEC;
    return ::connect(fd, &unspec, sizeof unspec) == 0;
}

// Wakes the calls blocked on the socket in the directions shut; they see their count moved.
void interrupt(socket_entry& e, int how) {
    if (how != SHUT_WR) {
        e.shut.fetch_or(shut_receive, std::memory_order_seq_cst);
        e.receive_cuts.fetch_add(1, std::memory_order_seq_cst);
    }
    if (how != SHUT_RD) {
        e.send_cuts.fetch_add(1, std::memory_order_seq_cst);
        e.shut.fetch_or(how == SHUT_RDWR ? shut_both : shut_send, std::memory_order_relaxed);
    }
    if (e.abortive.load(std::memory_order_relaxed) != 0 && how != SHUT_RD && reset_now(e.fd))
        return; // some kernels refuse while calls wait: then the close sends the reset
    ::shutdown(e.fd, how);
}

int set_int(int fd, int level, int name, const char* optval, int optlen) {
    if (optval == nullptr || optlen < int(sizeof(int))) return fail(WSAEFAULT);
    int value = 0;
    std::memcpy(&value, optval, sizeof value);
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0) return fail_errno(errno);
    return 0;
}

// Winsock's SO_SNDBUF bounds what a blocking send may leave queued in the stack. Linux's
// SO_SNDBUF would bound the unacknowledged bytes in flight as well, and setting it turns the
// kernel's sizing off: with twice a packet (16 KiB of memory by default) a receiver 50 ms away
// got about 0.7 MB/s. So the kernel keeps sizing the send buffer to the path (up to tcp_wmem's
// maximum, 4 MiB by default), and the requested amount bounds only the bytes not yet sent
// (TCP_NOTSENT_LOWAT): a send blocks once more than that waits for the peer's window, so against
// a stalled receiver the socket holds that amount plus what was already in flight, and a send
// to a receiver on a long path still keeps its whole window in flight.
// A few KiB of unsent bytes are too few on a path of some milliseconds: each send then waits
// for the next acknowledgement, and a sender fanning out to several such receivers waits for
// each in turn (at 10 ms, four receivers got half of what ncat gives them). From this floor up
// the unsent queue rides over the gaps of the acknowledgement clock; what a stalled receiver
// lets a sender queue stays bounded by it.
constexpr int unsent_floor = 256 * 1024;

int set_send_buffer(int fd, const char* optval, int optlen) {
    if (optval == nullptr || optlen < int(sizeof(int))) return fail(WSAEFAULT);
    int bytes = 0;
    std::memcpy(&bytes, optval, sizeof bytes);
    if (bytes < 0) return fail(WSAEINVAL);
    if (bytes < unsent_floor) bytes = unsent_floor;
    return set_int(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, reinterpret_cast<const char*>(&bytes),
                   sizeof bytes);
}

// Winsock's SO_RCVBUF is a receive window in bytes of payload. Linux's SO_RCVBUF is a fixed
// amount of memory (capped by net.core.rmem_max) and turns the kernel's window sizing off: a
// fixed window bounds a sender to one window per round trip (256 KiB was about 5 MB/s at
// 50 ms), and a few KiB can even settle the window below one segment, where silly-window
// avoidance lets a segment through only when the probe timer fires. Left to the kernel, the
// buffer starts at tcp_rmem's default (128 KiB) and grows with what the reader takes per round
// trip, up to tcp_rmem's maximum: a long path gets its window, a loopback peer a small one.
// So a request is checked and kept by no setting; the kernel's maximum bounds what a sender
// can queue here while the relay does not read it.
int set_receive_buffer(const char* optval, int optlen) {
    if (optval == nullptr || optlen < int(sizeof(int))) return fail(WSAEFAULT);
    int bytes = 0;
    std::memcpy(&bytes, optval, sizeof bytes);
    if (bytes < 0) return fail(WSAEINVAL);
    return 0;
}

int set_receive_timeout(int fd, const char* optval, int optlen) {
    if (optval == nullptr || optlen < int(sizeof(DWORD))) return fail(WSAEFAULT);
    DWORD ms = 0; // milliseconds, 0 for none
    std::memcpy(&ms, optval, sizeof ms);
    ::timeval tv{time_t(ms / 1000), suseconds_t((ms % 1000) * 1000)};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return fail_errno(errno);
    return 0;
}

int set_abortive(socket_entry& e, const char* optval, int optlen) {
    if (optval == nullptr || optlen < int(sizeof(int))) return fail(WSAEFAULT);
    int on = 0;
    std::memcpy(&on, optval, sizeof on);
    ::linger l{on != 0 ? 1 : 0, 0}; // time 0: a close sends a reset
    if (::setsockopt(e.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return fail_errno(errno);
    e.abortive.store(on != 0 ? 1 : 0, std::memory_order_relaxed);
    return 0;
}

} // namespace

namespace internal {
std::uint32_t sockets_in_use() {
    return sockets.in_use();
}

int accept_error(int error_number) {
    switch (error_number) {
    // Linux passes the pending connection's own network errors on through accept, which
    // asks to be called again after them: the connection broke before it was taken, a reset
    // one as Winsock reports it, and the accept loop goes on (it stops on anything else).
    case ECONNABORTED:
    case ENETDOWN:
    case EPROTO:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT:
        return WSAECONNRESET;
    default:
        return map_errno(error_number).wsa;
    }
}
} // namespace internal

int WSAStartup(WORD version_requested, LPWSADATA data) {
    std::uint32_t code = 0;
    if (internal::fault_take("WSAStartup", &code)) return int(code);
    if (data == nullptr) return WSAEFAULT;
    if ((version_requested & 0xFF) < 2) return WSAVERNOTSUPPORTED;
    *data = WSADATA{};
    data->wVersion = MAKEWORD(2, 2);
    data->wHighVersion = MAKEWORD(2, 2);
    std::strcpy(data->szDescription, "Windows Sockets 2.2 over POSIX sockets");
    std::strcpy(data->szSystemStatus, "Running");
    started.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int WSACleanup() {
    if (faulted("WSACleanup")) return SOCKET_ERROR;
    if (started.fetch_sub(1, std::memory_order_relaxed) <= 0) {
        started.fetch_add(1, std::memory_order_relaxed);
        return fail(WSANOTINITIALISED);
    }
    return 0;
}

SOCKET socket(int af, int type, int protocol) {
    if (faulted("socket")) return INVALID_SOCKET;
    if (af != w_af_inet) return fail_socket(WSAEAFNOSUPPORT);
    if (type != w_sock_stream) return fail_socket(WSAEPROTONOSUPPORT);
    if (protocol != 0 && protocol != w_ipproto_tcp) return fail_socket(WSAEPROTONOSUPPORT);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return fail_socket(internal::map_errno(errno).wsa);
    return adopt(fd, 0);
}

int bind(SOCKET s, const w_sockaddr* name, int namelen) {
    if (faulted("bind")) return SOCKET_ERROR;
    use u(s);
    if (!u.ok()) return SOCKET_ERROR;
    ::sockaddr_in a{};
    if (!to_posix(name, namelen, &a)) return fail(WSAEFAULT);
    if (::bind(u.fd(), reinterpret_cast<::sockaddr*>(&a), sizeof a) != 0) return fail_errno(errno);
    return 0;
}

int listen(SOCKET s, int backlog) {
    if (faulted("listen")) return SOCKET_ERROR;
    use u(s);
    if (!u.ok()) return SOCKET_ERROR;
    if (backlog == w_somaxconn || backlog < 0) backlog = SOMAXCONN;
    if (::listen(u.fd(), backlog) != 0) return fail_errno(errno);
    return 0;
}

SOCKET accept(SOCKET s, w_sockaddr* addr, int* addrlen) {
    if (faulted("accept")) return INVALID_SOCKET;
    use u(s);
    if (!u.ok()) return INVALID_SOCKET;
    std::uint32_t seen = u.entry().receive_cuts.load(std::memory_order_seq_cst);
    for (;;) {
        ::sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = system_accept(u.fd(), &peer, &len);
        if (fd >= 0) {
            from_posix(peer, addr, addrlen);
            // The accepted socket inherits the listener's options, the abortive close too.
            return adopt(fd, u.entry().abortive.load(std::memory_order_relaxed));
        }
        int e = errno;
        // A blocked accept wakes only on shutdown; the closing thread counted that first.
        // One that came in just as the shutdown was made finds the socket no longer
        // listening: interrupted all the same.
        if (u.entry().receive_cuts.load(std::memory_order_seq_cst) != seen ||
            (e == EINVAL && (u.entry().shut.load(std::memory_order_seq_cst) & shut_receive) != 0))
            return fail_socket(WSAEINTR);
        // Neither a signal nor a receive time-out ends an accept here.
        if (e == EINTR || e == EAGAIN || e == EWOULDBLOCK) continue;
        return fail_socket(internal::accept_error(e));
    }
}

int connect(SOCKET s, const w_sockaddr* name, int namelen) {
    if (faulted("connect")) return SOCKET_ERROR;
    use u(s);
    if (!u.ok()) return SOCKET_ERROR;
    ::sockaddr_in a{};
    if (!to_posix(name, namelen, &a)) return fail(WSAEFAULT);
    int rc = ::connect(u.fd(), reinterpret_cast<::sockaddr*>(&a), sizeof a);
    while (rc != 0 && errno == EINTR)
        rc = ::connect(u.fd(), reinterpret_cast<::sockaddr*>(&a), sizeof a);
    if (rc != 0) return fail_errno(errno == EALREADY ? EINTR : errno);
    return 0;
}

int getsockname(SOCKET s, w_sockaddr* name, int* namelen) {
    if (faulted("getsockname")) return SOCKET_ERROR;
    use u(s);
    if (!u.ok()) return SOCKET_ERROR;
    if (name == nullptr || namelen == nullptr || *namelen < int(sizeof(w_sockaddr_in)))
        return fail(WSAEFAULT);
    ::sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(u.fd(), reinterpret_cast<::sockaddr*>(&a), &len) != 0)
        return fail_errno(errno);
    from_posix(a, name, namelen);
    return 0;
}

int recv(SOCKET s, char* buf, int len, int flags) {
    if (faulted("recv")) return SOCKET_ERROR;
    use u(s);
    if (!u.ok()) return SOCKET_ERROR;
    if ((flags & ~w_msg_peek) != 0) return fail(WSAEOPNOTSUPP);
    if (len < 0 || (buf == nullptr && len > 0)) return fail(WSAEFAULT);
    int posix_flags = (flags & w_msg_peek) != 0 ? MSG_PEEK : 0;
    std::uint32_t seen = u.entry().receive_cuts.load(std::memory_order_seq_cst);
    // Shut down both ways here: the connection is over on this side, which is not the
    // peer's orderly close that a result of 0 would report.
    if (shut_both_ways(u.entry().shut.load(std::memory_order_seq_cst))) return fail(WSAESHUTDOWN);
    for (;;) {
        ssize_t n = ::recv(u.fd(), buf, std::size_t(len), posix_flags);
        if (n > 0 || (n == 0 && len == 0)) return int(n);
        int e = n == 0 ? 0 : errno;
        // Woken by a shutdown or close in another thread: the receive was interrupted.
        if (u.entry().receive_cuts.load(std::memory_order_seq_cst) != seen) return fail(WSAEINTR);
        if (n == 0) return 0; // the peer's orderly close
        if (e == EINTR) continue;
        if (e == EAGAIN || e == EWOULDBLOCK) return fail(WSAETIMEDOUT); // SO_RCVTIMEO expired
        return fail_errno(e);
    }
}

int send(SOCKET s, const char* buf, int len, int flags) {
    if (faulted("send")) return SOCKET_ERROR;
    use u(s);
    if (!u.ok()) return SOCKET_ERROR;
    if (flags != 0) return fail(WSAEOPNOTSUPP);
    if (len < 0 || (buf == nullptr && len > 0)) return fail(WSAEFAULT);
    std::uint32_t seen = u.entry().send_cuts.load(std::memory_order_seq_cst);
    int sent = 0;
    // A blocking send takes every byte: go on over partial writes. No signal on a reset peer.
    while (sent < len) {
        ssize_t n = ::send(u.fd(), buf + sent, std::size_t(len - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += int(n);
            continue;
        }
        int e = errno;
        bool cut = u.entry().send_cuts.load(std::memory_order_seq_cst) != seen;
        if (!cut && n < 0 && e == EINTR) continue;
        std::uint8_t shut = u.entry().shut.load(std::memory_order_relaxed);
        // Shut down here, before or during the send: both directions (as a close does) is
        // a connection aborted in this process, sending alone a send after the shutdown.
        if ((shut & shut_both) != 0) return fail(WSAECONNABORTED);
        if (cut || (e == EPIPE && shut != 0)) return fail(WSAESHUTDOWN);
        return fail_errno(n == 0 ? ECONNRESET : e);
    }
    return sent;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    if (faulted("setsockopt")) return SOCKET_ERROR;
    use u(s);
    if (!u.ok()) return SOCKET_ERROR;
    int fd = u.fd();
    if (level == w_sol_socket) {
        if (optname == w_so_reuseaddr) return set_int(fd, SOL_SOCKET, SO_REUSEADDR, optval, optlen);
        if (optname == w_so_keepalive) return set_int(fd, SOL_SOCKET, SO_KEEPALIVE, optval, optlen);
        if (optname == w_so_sndbuf) return set_send_buffer(fd, optval, optlen);
        if (optname == w_so_rcvbuf) return set_receive_buffer(optval, optlen);
        if (optname == w_so_rcvtimeo) return set_receive_timeout(fd, optval, optlen);
    } else if (level == w_ipproto_tcp) {
        if (optname == w_tcp_nodelay) return set_int(fd, IPPROTO_TCP, TCP_NODELAY, optval, optlen);
        if (optname == w_tcp_keepalive)
            return set_int(fd, IPPROTO_TCP, TCP_KEEPIDLE, optval, optlen);
        if (optname == w_tcp_abortive_close) return set_abortive(u.entry(), optval, optlen);
    } else {
        return fail(WSAEINVAL);
    }
    return fail(WSAENOPROTOOPT);
}

int shutdown(SOCKET s, int how) {
    if (faulted("shutdown")) return SOCKET_ERROR;
    use u(s);
    if (!u.ok()) return SOCKET_ERROR;
    int posix_how = how == w_sd_receive ? SHUT_RD
                    : how == w_sd_send  ? SHUT_WR
                    : how == w_sd_both  ? SHUT_RDWR
                                        : -1;
    if (posix_how < 0) return fail(WSAEINVAL);
    interrupt(u.entry(), posix_how);
    return 0;
}

int closesocket(SOCKET s) {
    if (faulted("closesocket")) return SOCKET_ERROR;
    std::uint32_t index = 0;
    if (!sockets.enter(s, &index)) return fail(WSAENOTSOCK);
    if (!sockets.close(index)) { // another thread closed it first
        use::release(index);
        return fail(WSAENOTSOCK);
    }
    // A blocked accept wakes only on shutdown, so close shuts down first; the descriptor
    // itself is closed by whichever use of the socket leaves last.
    interrupt(entries[index], SHUT_RDWR);
    use::release(index);
    return 0;
}

std::uint32_t inet_addr(const char* cp) {
    ::in_addr a{};
    if (cp == nullptr || ::inet_aton(cp, &a) == 0) return w_inaddr_none;
    return a.s_addr;
}

} // namespace win
