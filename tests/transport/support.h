// What the transport tests share: test certificates made at run time into a temporary
// folder, a fresh server context loaded from one of them, a loopback listener through the
// platform's sockets, console capture, and a count of freed TLS sessions.
#pragma once
#include "platform/platform.h"
#include "tests/support/tls_client.h"
#include "transport/tls.h"
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace support {

// PEM files, each a certificate chain followed by its private key.
struct cert_files {
    std::string rsa;            // self-signed RSA 2048
    std::string ecdsa;          // self-signed ECDSA P-256
    std::string expired_days;   // ended 3 days (and a minute) ago
    std::string expired_hour;   // ended an hour ago
    std::string mismatched;     // a certificate with another certificate's key
    std::string stray;          // another ECDSA certificate with ecdsa's key: same key type
    std::string long_chain;     // leaf, intermediate and root: more than 4096 bytes of DER
    std::string encrypted;      // the key is encrypted with a pass phrase
    std::string folder;         // where they are; removed when the process ends
    std::size_t long_chain_der; // DER bytes of the long chain's three certificates
};
const cert_files& certs();

// Writes name into cert_path and key_path, as the engine does before each load.
void set_cert_name(const std::u16string& name);
std::u16string wide(const std::string& text);
// A fresh server_ctx, set up and loaded from pem; false when the load failed.
bool load_context(const std::string& pem);
// Releases server_ctx (tls_ready back to 0).
void drop_context();

// A listening socket on 127.0.0.1 at a free port, through the platform's sockets.
struct listener {
    SOCKET so = INVALID_SOCKET;
    uint16_t port = 0;
    listener();
    ~listener();
    // Accepts one connection and gives it the engine's 500 ms receive time-out.
    SOCKET accept(uint32_t timeout_ms = 500);
};

// Captures the console while it lives.
struct console_capture {
    std::string out;
    console_capture();
    ~console_capture();
};

// A server transport record and an in-process client over one loopback connection.
struct tls_pair {
    listener server;
    G_TLS tls;
    std::vector<uint8_t> buffer; // the handshake buffer, as the slot's receive buffer
    tls_testing::tls_client client;
    bool client_ok = false; // what the client's own steps gave
    // The accepted socket's receive time-out while open() runs (and after it, until a test
    // sets another). The engine's 500 ms only where a test is about that time-out: with a
    // client thread in the same process, a loaded machine can hold up its next flight longer.
    uint32_t accept_timeout_ms = 20000;

    explicit tls_pair(const tls_testing::client_options& options = {},
                      std::size_t buffer_size = 4096);
    // Runs the client's steps (by default connect and handshake) on a thread of their own
    // while the server accepts; returns G_TLS::accept's result, closing the record after -1.
    // With steps_first the steps end before the accept (they must not wait for the server):
    // the bytes they send are then there when the 500 ms receive time-out starts, however
    // late a loaded machine runs the client's thread.
    int32_t open(std::function<bool(tls_testing::tls_client&, uint16_t port)> steps = {},
                 bool steps_first = false);
    // Sets the accepted socket's receive time-out.
    void set_receive_timeout(uint32_t timeout_ms);
};

// Bytes of a repeatable pattern, different for each seed.
std::vector<uint8_t> pattern(std::size_t size, uint32_t seed);

// Count of server-side TLS sessions freed so far, and the thread that freed the last one.
int sessions_freed();
std::thread::id last_free_thread();

} // namespace support
