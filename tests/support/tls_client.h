// An in-process TLS peer for tests and benchmarks: an OpenSSL client over a raw loopback
// descriptor, whose records can be held back and sent in chosen pieces, and a plain
// descriptor-based TLS server for baselines. Only tests and benchmarks use it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <openssl/ssl.h>
#include <vector>

namespace tls_testing {

// What the client offers; zero and null leave the library's defaults.
struct client_options {
    int min_version = 0;                // e.g. TLS1_2_VERSION
    int max_version = 0;                // e.g. TLS1_1_VERSION to offer only old versions
    const char* cipher_list = nullptr;  // TLS 1.2 and older
    const char* ciphersuites = nullptr; // TLS 1.3
    bool direct = false; // SSL over the descriptor itself (no holding back); for baselines
};

// One TLS client connection. With memory buffers (the default) every byte the library
// writes waits in `pending` until flush() or send_raw() puts it on the socket, so a test
// decides how the records are cut into segments.
class tls_client {
  public:
    explicit tls_client(const client_options& options = {});
    ~tls_client();
    tls_client(const tls_client&) = delete;
    tls_client& operator=(const tls_client&) = delete;

    // Connects to 127.0.0.1:port; send and receive time out after timeout_ms.
    bool connect(std::uint16_t port, int timeout_ms = 5000);
    // Runs the client handshake to its end. With hold_last the client's last flight stays
    // pending (TLS 1.3: its Finished), so that data can follow it in the same segment.
    bool handshake(bool hold_last = false);
    // Encrypts into the pending output without sending it.
    bool encrypt(const void* data, std::size_t size);
    // Takes the pending output (records not yet sent).
    std::vector<std::uint8_t> take_pending();
    // Sends all pending output in one send.
    bool flush();
    // encrypt() then flush().
    bool write(const void* data, std::size_t size);
    // Decrypts: a count, 0 after the server's close_notify, -1 after a TCP close or failure.
    long read(void* buffer, std::size_t size);
    // Reads exactly size bytes of plaintext; false when the stream ended first.
    bool read_exact(void* buffer, std::size_t size);
    // Bytes straight to and from the socket, past the TLS library.
    bool send_raw(const void* data, std::size_t size);
    long recv_raw(void* buffer, std::size_t size); // count, 0 at the end, -1 on failure
    // Requests a TLS 1.3 key update of both sides; it goes out with the next write.
    bool key_update();
    // Starts a TLS 1.2 renegotiation: its ClientHello goes into the pending output.
    bool renegotiate();
    // Sends close_notify.
    bool close_notify();
    // Sends out_size bytes and receives in_size bytes at the same time, asking for a key
    // update every key_update_every bytes sent (0: never). False on failure or time-out.
    bool duplex(const std::uint8_t* out, std::size_t out_size, std::uint8_t* in,
                std::size_t in_size, std::size_t key_update_every, int timeout_ms);
    // Closes the TCP connection without close_notify.
    void close();

    SSL* ssl() const { return session; }
    // Count of raw bytes the socket brought so far.
    std::size_t raw_received() const { return received; }
    // True once a socket receive failed because the server reset the connection.
    bool reset_seen() const { return reset; }

  private:
    bool pump_in(); // one socket receive into the session's input
    client_options options;
    SSL_CTX* context = nullptr;
    SSL* session = nullptr;
    BIO* in_bio = nullptr;
    BIO* out_bio = nullptr;
    int fd = -1;
    std::size_t received = 0;
    bool reset = false;
};

// A TLS server over a raw descriptor with plain SSL_read and SSL_write: the baseline the
// transport is measured against.
class tls_fd_server {
  public:
    tls_fd_server() = default;
    ~tls_fd_server();
    tls_fd_server(const tls_fd_server&) = delete;
    tls_fd_server& operator=(const tls_fd_server&) = delete;

    // Listens on 127.0.0.1 at a free port; the port, or 0 on failure.
    std::uint16_t listen();
    // Accepts one connection and runs the server handshake with context.
    bool accept(SSL_CTX* context, int timeout_ms = 5000);
    long read(void* buffer, std::size_t size);
    bool write(const void* data, std::size_t size);
    void close();

  private:
    int listen_fd = -1;
    int fd = -1;
    SSL* session = nullptr;
};

// Number of descriptors this process holds open; -1 when it cannot be told.
int open_descriptors();

} // namespace tls_testing
