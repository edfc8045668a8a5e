// TCP_INFO of this process's own sockets, read through the kernel's own header: glibc's
// struct tcp_info ends before the unsent-bytes count.
#include "tests/support/tcp_probe.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <dirent.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace testing_support {
namespace {

// The ports of a connected IPv4 socket; false for anything else.
bool ports_of(int fd, std::uint16_t* local, std::uint16_t* peer) {
    sockaddr_in here{};
    sockaddr_in there{};
    socklen_t here_size = sizeof here;
    socklen_t there_size = sizeof there;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&here), &here_size) != 0) return false;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&there), &there_size) != 0) return false;
    if (here.sin_family != AF_INET || there.sin_family != AF_INET) return false;
    *local = ntohs(here.sin_port);
    *peer = ntohs(there.sin_port);
    return true;
}

} // namespace

tcp_queue tcp_queue_of(std::uint16_t local_port, std::uint16_t peer_port) {
    tcp_queue q{false, 0, 0};
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) return q;
    while (dirent* entry = readdir(folder)) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != 0 || fd == dirfd(folder)) continue;
        std::uint16_t local = 0;
        std::uint16_t peer = 0;
        if (!ports_of(int(fd), &local, &peer) || local != local_port || peer != peer_port) continue;
        tcp_info info{};
        socklen_t size = sizeof info;
        if (getsockopt(int(fd), IPPROTO_TCP, TCP_INFO, &info, &size) != 0) break;
        q = {true, info.tcpi_notsent_bytes, info.tcpi_snd_mss};
        break;
    }
    closedir(folder);
    return q;
}

int connect_small_window(std::uint16_t port, int rcvbuf, int timeout_ms) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Set before connecting: the window scale is chosen at the handshake, and a fixed size
    // turns the kernel's growing of the buffer off.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t local_port_of(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) return 0;
    return ntohs(a.sin_port);
}

} // namespace testing_support
