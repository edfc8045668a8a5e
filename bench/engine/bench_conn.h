// One client connection of the load driver: TCP, optionally TLS (OpenSSL, no verification:
// loopback test certificates) and optionally the RFC 6455 client handshake; then non-blocking
// reads into a fixed buffer and writes from a caller-owned block. WebSocket framing helpers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <openssl/ssl.h>
#include <string>

namespace bench {

inline constexpr std::size_t conn_buffer = 262144; // receive buffer of one connection

// Result of a non-blocking read or write step.
enum class G_IO { progress, blocked, closed, failed };

struct G_CONN {
    int fd = -1;                         // socket descriptor
    SSL* p_ssl = nullptr;                // TLS session, or null for plain TCP
    bool ws = false;                     // the connection speaks WebSocket frames
    std::uint8_t* p_rbuf = nullptr;      // receive buffer of conn_buffer bytes (owned)
    std::size_t rlen = 0;                // bytes held in the receive buffer
    const std::uint8_t* p_out = nullptr; // block being written (owned by a sender)
    std::size_t out_len = 0;             // its length
    std::size_t out_off = 0;             // bytes of it written so far
    bool tls_wants_write = false;        // the last TLS read asked for the socket to be writable
};

// A TLS client context for every connection (no certificate checks); null on failure.
SSL_CTX* conn_tls_context();
// Connects to 127.0.0.1:port, runs the TLS handshake when ctx is given and the WebSocket
// upgrade when ws is set, then makes the socket non-blocking. Empty string on success, else
// what failed. Bytes that came with the upgrade reply stay in the receive buffer.
std::string conn_open(G_CONN* c, std::uint16_t port, SSL_CTX* ctx, bool ws);
// Takes an accepted plain socket as a connection (the sending side of a direct copy).
void conn_adopt(G_CONN* c, int fd);
// Reads what is available into the free part of the receive buffer.
G_IO conn_read(G_CONN* c);
// Writes more of the pending block; progress once it is all written.
G_IO conn_write(G_CONN* c);
// Whether a block is still being written.
inline bool conn_busy(const G_CONN& c) {
    return c.out_off < c.out_len;
}
// Releases the session, the socket and the buffer.
void conn_close(G_CONN* c);

// Frames a payload: a masked client frame when masked is set, else an unmasked server frame.
// Returns the frame length written at dst (payload length + at most 14).
std::size_t ws_frame(std::uint8_t* dst, const std::uint8_t* payload, std::size_t n, bool text,
                     bool masked);
// Parses one unmasked frame at p of n bytes: 0 when incomplete, -1 when malformed or masked,
// else the frame's total length, with the payload's offset, length and opcode.
long ws_unframe(const std::uint8_t* p, std::size_t n, std::size_t* payload_off,
                std::size_t* payload_len, int* opcode);

} // namespace bench
