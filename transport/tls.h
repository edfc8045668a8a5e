// The transport of one connection: its socket, TLS detection on an accepted socket, the
// session over two memory buffers, the server handshake, and the receive and send that
// decrypt and encrypt when TLS is on. Also the one TLS server context and its certificates.
#pragma once
#include "platform/event.h"
#include "platform/platform.h"
#include <atomic>
#include <cstdint>
#include <openssl/ssl.h>

// The certificate files, relative to the working directory: loaded primary first, then
// secondary. Each holds a certificate chain followed by its private key (PEM).
inline constexpr char16_t cert_file_primary[] = u"relay.pem";
inline constexpr char16_t cert_file_secondary[] = u"relay-2.pem";

// One connection's transport, plain or TLS. One per relay slot, reused by the slot's
// connections one after another. The slot's reader and writer use it at the same time.
struct G_TLS {
    // The session; null when plain, when none could be made, and after a close. Taken out
    // by close with one atomic exchange. Its app data is the send's second write storage,
    // the one of `storage` that its write buffer does not hold at the moment.
    std::atomic<SSL*> ssl;
    // Use count of the session: 1 for the open session plus 1 per operation inside it;
    // whoever brings it to 0 frees the session.
    std::atomic<int32_t> refs;
    // Held by one thread at a time around each library step of a receive or send (wait to
    // take, set to give back); created signalled, lives across the slot's connections.
    G_EVENT lock;
    // Network bytes on their way into the session; owned by the session, borrowed here.
    std::atomic<BIO*> rbio;
    // The session's output on its way to the network; owned by the session, borrowed here.
    // A flush hands it an empty storage and sends the full one, which no library step can
    // then touch or move.
    std::atomic<BIO*> wbio;
    // Copy of the socket number for messages; not changed by close.
    SOCKET so_last;
    // The connection's socket, INVALID_SOCKET when none; taken out by close atomically.
    std::atomic<SOCKET> so;
    // An abortive close is requested: the next close that finds a socket sends a reset.
    // Cleared when a connection starts, so a request never reaches the next connection.
    std::atomic<uint8_t> abort;
    // The connection began with TLS. Once its session is gone, its receive and send fail
    // instead of taking the plain socket: no byte of it ever leaves in clear. Set when a
    // ClientHello is detected, cleared when the next connection starts.
    std::atomic<uint8_t> secured;
    // A close of this connection has begun here, by either of the slot's threads: a receive
    // or send that fails from now on fails because of it. Cleared when a connection starts.
    std::atomic<uint8_t> closing;
    // Winsock error read after the last socket receive that returned 0 or less.
    int32_t wsa_error;
    // Outcome of the last failed TLS step: the SSL_get_error class, -1 when the session
    // was gone, 0 when the socket side ended the step.
    int32_t ssl_error;
    // The same outcome for the last failed receive only. The writer's sends write ssl_error
    // too; the reader's end-of-connection report reads this one, which no send overwrites.
    int32_t recv_ssl_error;
    // The handshake buffer: the slot's receive buffer; set once with the slot's threads.
    uint8_t* p_recv;
    // Size of the handshake buffer in bytes: the packet length.
    uint64_t p_recv_size;
    // Held by one send at a time for the whole send, so that two sends on one connection
    // (the reader's close reply, the writer's relay) never flush the write buffer at once.
    // Taken before lock, never while holding it.
    G_EVENT send_lock;
    // The storages of the read buffer, the write buffer and the send's second write buffer,
    // owned here and lent to each session in turn, emptied when it starts; null until the
    // first. They keep the capacity that the slot's traffic gave them. Storages made anew for
    // each connection grow again by reallocation in the writer, and the allocator keeps each
    // step's left-over block in that thread's cache, which the writer never draws from: the
    // process would grow with every size of payload that a new connection meets.
    BUF_MEM* storage[3];

    G_TLS();
    ~G_TLS();
    G_TLS(const G_TLS&) = delete;
    G_TLS& operator=(const G_TLS&) = delete;

    // Gives back the session and closes the socket; any number of times, from both threads.
    void close();
    // One socket receive on so under the retry rule: 1..size, 0 at the peer's close, -1.
    int64_t recv_plain(void* buffer, int32_t size, int32_t flags);
    // The connection's receive: plaintext count, or 0 or less (see wsa_error, ssl_error).
    int64_t recv(void* buffer, uint64_t size);
    // The connection's send: length when all was handed to the socket, else 0 or less.
    int64_t send(const void* data, uint64_t length);
    // Detection on an accepted socket: 0 TLS with the handshake done, -2 plain, -1 not served.
    int32_t accept(SOCKET socket);
    // Opens a session over two memory buffers for socket: 0, or -1 when none. Only once the
    // previous session is freed, as it lends that session's storages to the new one.
    int32_t create(SOCKET socket);
    // Runs the server handshake to its end: 0 complete, -1 failed.
    int32_t handshake();
};

// The one TLS server context; null before creation, when creation failed, after release.
extern SSL_CTX* server_ctx;
// 1 once a certificate chain with a matching private key is loaded into server_ctx.
extern uint8_t tls_ready;
// The certificate chain file and the private key file for the next tls_load_cert.
extern char16_t cert_path[65536];
extern char16_t key_path[65536];
// Their UTF-8 forms, as handed to the TLS library.
extern char cert_path_utf8[65536];
extern char key_path_utf8[65536];

// Bits of tls_ctx_setup's result, each a setting the TLS library refused.
inline constexpr uint32_t tls_refused_min_version = 1;  // the lowest version, TLS 1.2
inline constexpr uint32_t tls_refused_cipher_list = 2;  // the TLS 1.2 cipher list
inline constexpr uint32_t tls_refused_ciphersuites = 4; // the TLS 1.3 ciphersuites
inline constexpr uint32_t tls_refused_groups = 8;       // the key exchange groups
// Refusals after which the context is not fit to serve: the library's own setting stays in
// force and lets in what the relay rules out, versions older than TLS 1.2, TLS 1.2 ciphers
// without forward secrecy (RSA key transport) or on finite-field DHE, or the finite-field
// groups. The library's own TLS 1.3 ciphersuites all have forward secrecy and AEAD, so that
// refusal alone is not.
inline constexpr uint32_t tls_refused_unfit =
    tls_refused_min_version | tls_refused_cipher_list | tls_refused_groups;
// Protocol versions, ciphers, key exchange groups, preference, session cache size and
// security level of server_ctx: 0, or the tls_refused_ bits of the settings refused.
uint32_t tls_ctx_setup();
// Loads cert_path's chain and key_path's key into server_ctx: 0 loaded, -1 otherwise.
int tls_load_cert();
// Clears tls_ready and frees server_ctx.
void tls_ctx_release();
