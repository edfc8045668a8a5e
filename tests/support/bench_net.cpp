// Loopback socket helpers for the load driver: the POSIX side of bench/engine, which itself
// includes no system header. Every call is a thin wrapper; failures are returned, not printed.
#include "tests/support/bench_net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace bench {
namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void set_timeouts(int fd, int timeout_ms) {
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

int bench_connect(std::uint16_t port, int timeout_ms) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    set_timeouts(fd, timeout_ms);
    sockaddr_in a = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    set_nodelay(fd);
    return fd;
}

int bench_listen(std::uint16_t port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t bench_local_port(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0) return 0;
    return ntohs(a.sin_port);
}

int bench_accept(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return -1;
    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return -1;
    set_nodelay(c);
    return c;
}

bool bench_set_nonblocking(int fd) {
    set_timeouts(fd, 0);
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

long bench_send(int fd, const void* data, std::size_t size) {
    for (;;) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? io_would_block : io_failed;
    }
}

long bench_recv(int fd, void* data, std::size_t size) {
    for (;;) {
        ssize_t n = recv(fd, data, size, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? io_would_block : io_failed;
    }
}

int bench_poll(G_POLL_ENTRY* entries, std::size_t count, int timeout_ms) {
    // The set is rebuilt per call; the driver polls at most a few hundred descriptors.
    thread_local std::vector<pollfd> set;
    set.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        short ev = (entries[i].want_read ? POLLIN : 0) | (entries[i].want_write ? POLLOUT : 0);
        set[i] = pollfd{entries[i].fd, ev, 0};
    }
    int n;
    do {
        n = poll(set.data(), count, timeout_ms);
    } while (n < 0 && errno == EINTR);
    for (std::size_t i = 0; i < count; ++i) {
        short r = n > 0 ? set[i].revents : 0;
        entries[i].can_read = (r & (POLLIN | POLLHUP | POLLERR)) != 0;
        entries[i].can_write = (r & (POLLOUT | POLLERR)) != 0;
    }
    return n;
}

void bench_close(int fd) {
    if (fd >= 0) close(fd);
}

int bench_open_descriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (readdir(d)) ++n;
    closedir(d);
    return n - 3; // ".", ".." and the directory's own descriptor
}

} // namespace bench
