// The kernel's view of a TCP connection of this process, for tests that hold the relay to a
// bound on what its sockets queue: a socket found by its two ports (so a test can read one the
// relay owns), the bytes it holds unsent and its segment size, and a client with a small fixed
// receive window.
#pragma once
#include <cstdint>

namespace testing_support {

// What TCP_INFO reports for one socket.
struct tcp_queue {
    bool found;             // a socket of this process with those ports was there
    std::uint32_t notsent;  // bytes written to it that the kernel has not sent yet
    std::uint32_t send_mss; // its segment size as the kernel sends it now
};

// The socket of this process whose own port is local_port and whose peer's port is peer_port.
tcp_queue tcp_queue_of(std::uint16_t local_port, std::uint16_t peer_port);

// A plain descriptor connected to 127.0.0.1:port whose receive buffer is fixed at rcvbuf bytes
// before the handshake, so that the window it offers stays small and closes once that much
// waits unread; receives and sends give up after timeout_ms. -1 on failure.
int connect_small_window(std::uint16_t port, int rcvbuf, int timeout_ms);

// The local port of a connected descriptor; 0 on failure.
std::uint16_t local_port_of(int fd);

} // namespace testing_support
