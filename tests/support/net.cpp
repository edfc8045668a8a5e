// Loopback helpers for tests: layer sockets for the side under test, raw descriptors for
// clients that OpenSSL drives, and the counts that leak checks compare.
#include "platform/internal/handles.h"
#include "tests/support/testing.h"

// glibc defines htons and friends as macros in optimised builds: the layer's own are
// called in parentheses below so that the macros do not stand in for them.
#include <arpa/inet.h>
#include <csignal>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace testing_support {
namespace {

win::sockaddr_in loopback(std::uint16_t port) {
    win::sockaddr_in a{};
    a.sin_family = 2; // the layer's AF_INET
    a.sin_port = (win::htons)(port);
    a.sin_addr.s_addr = (win::htonl)(0x7F000001);
    return a;
}

// A client's write into a reset connection must fail, not end the test process.
void ignore_sigpipe() {
    static const bool done = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

} // namespace

win::SOCKET connect_client(std::uint16_t port) {
    win::SOCKET s = win::socket(2, 1, 6);
    if (s == win::INVALID_SOCKET) return s;
    win::sockaddr_in a = loopback(port);
    if (win::connect(s, reinterpret_cast<win::sockaddr*>(&a), sizeof a) != 0) {
        win::closesocket(s);
        return win::INVALID_SOCKET;
    }
    return s;
}

int connect_fd(std::uint16_t port, int timeout_ms) {
    ignore_sigpipe();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    ::timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ::sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<::sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void close_fd(int fd) {
    if (fd >= 0) ::close(fd);
}

loopback_listener listen_loopback(int backlog) {
    loopback_listener l{win::socket(2, 1, 6), 0};
    if (l.so == win::INVALID_SOCKET) return l;
    win::sockaddr_in a = loopback(0);
    int len = sizeof a;
    if (win::bind(l.so, reinterpret_cast<win::sockaddr*>(&a), sizeof a) != 0 ||
        win::listen(l.so, backlog) != 0 ||
        win::getsockname(l.so, reinterpret_cast<win::sockaddr*>(&a), &len) != 0) {
        win::closesocket(l.so);
        return {win::INVALID_SOCKET, 0};
    }
    l.port = (win::ntohs)(a.sin_port);
    return l;
}

socket_pair make_socket_pair() {
    socket_pair p{win::INVALID_SOCKET, win::INVALID_SOCKET};
    loopback_listener l = listen_loopback(1);
    if (l.so == win::INVALID_SOCKET) return p;
    p.client = connect_client(l.port); // completes in the backlog before the accept
    if (p.client != win::INVALID_SOCKET) p.server = win::accept(l.so, nullptr, nullptr);
    win::closesocket(l.so);
    if (p.server == win::INVALID_SOCKET && p.client != win::INVALID_SOCKET) {
        win::closesocket(p.client);
        p.client = win::INVALID_SOCKET;
    }
    return p;
}

int open_descriptors() {
    DIR* d = ::opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (::dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n - 1; // the folder's own descriptor
}

std::uint32_t open_sockets() {
    return win::internal::sockets_in_use();
}
std::uint32_t open_handles() {
    // A thread that has just been joined may still be leaving its own handle: that use alone
    // is waited for (at most 2 s), then every handle still in use counts.
    for (int i = 0; i < 2000 && win::internal::ended_threads_leaving() != 0; ++i) ::usleep(1000);
    return win::internal::handles_in_use();
}

namespace {
std::uint32_t settle(std::uint32_t (*count)(), std::uint32_t expected) {
    std::uint32_t n = count();
    for (int i = 0; i < 2000 && n != expected; ++i) {
        ::usleep(1000);
        n = count();
    }
    return n;
}
} // namespace

std::uint32_t open_sockets_settled(std::uint32_t expected) {
    return settle(open_sockets, expected);
}
std::uint32_t open_handles_settled(std::uint32_t expected) {
    return settle(open_handles, expected);
}

} // namespace testing_support
