// Loopback socket helpers for the load driver in bench/engine: connect, listen, accept,
// non-blocking send and receive, and poll over many descriptors. Descriptors are plain ints
// (OpenSSL's SSL_set_fd takes them as they are); nothing here allocates on the data path.
#pragma once
#include <cstddef>
#include <cstdint>

namespace bench {

// Results of bench_send and bench_recv besides a positive byte count.
inline constexpr long io_closed = 0;       // the peer closed its side (receive only)
inline constexpr long io_would_block = -1; // non-blocking socket has no data or no room
inline constexpr long io_failed = -2;      // any other failure; the connection is unusable

// One entry of a poll set: the caller fills fd and the wanted events, poll fills the rest.
struct G_POLL_ENTRY {
    int fd;          // descriptor, or -1 to be skipped
    bool want_read;  // wait until it can be read
    bool want_write; // wait until it can be written
    bool can_read;   // set by poll: readable, or closed or failed (a read tells which)
    bool can_write;  // set by poll: writable
};

// Connects to 127.0.0.1:port with TCP_NODELAY set; -1 on failure. Blocking, with send and
// receive time-outs of timeout_ms so that set-up can never hang.
int bench_connect(std::uint16_t port, int timeout_ms);
// Listens on 127.0.0.1:port (0 for any free port) with the given backlog; -1 on failure.
int bench_listen(std::uint16_t port, int backlog);
// The port a listening socket is bound to; 0 on failure.
std::uint16_t bench_local_port(int fd);
// Accepts one connection (blocking, at most timeout_ms) with TCP_NODELAY set; -1 on failure.
int bench_accept(int fd, int timeout_ms);
// Switches a socket to non-blocking mode and removes its time-outs; false on failure.
bool bench_set_nonblocking(int fd);
// Sends or receives at most size bytes; a count, or one of the io_ results above.
long bench_send(int fd, const void* data, std::size_t size);
long bench_recv(int fd, void* data, std::size_t size);
// Waits at most timeout_ms for any entry; the number of entries with an event, -1 on failure.
int bench_poll(G_POLL_ENTRY* entries, std::size_t count, int timeout_ms);
// Closes a descriptor; -1 is ignored.
void bench_close(int fd);
// Number of descriptors this process holds open; -1 when it cannot be told.
int bench_open_descriptors();

} // namespace bench
