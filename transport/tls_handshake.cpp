// TLS detection on an accepted socket, the session over two memory buffers, and the server
// handshake, which moves the bytes between the socket and the session through the slot's
// receive buffer. Runs on the slot's reader before the slot is ready; takes no lock.
#include "transport/session.h"
#include <openssl/buffer.h>
#include <openssl/err.h>

using namespace transport_internal;

namespace {

constexpr int peek_length = 6;             // record header and the handshake message type
constexpr uint8_t record_handshake = 0x16; // content type of a handshake record
constexpr uint8_t client_hello = 0x01;     // handshake message type of a ClientHello

// The class of a failed library step, or -1 when a close took the session out.
int step_error(G_TLS& tls, SSL* session, int result) {
    if (!session_here(tls)) return -1;
    return SSL_get_error(session, result);
}

// Sends all the server output that the write buffer holds, in pieces of at most the handshake
// buffer, so that a flight longer than one buffer (a long certificate chain) goes out whole.
// False when a socket send failed (ssl_error -1) or the session was taken out.
bool send_flight(G_TLS& tls, SSL* session, BIO* w_bio, int piece) {
    bool sent = false;
    for (;;) {
        if (!session_here(tls)) {
            note_ssl_error(tls, -1);
            return false;
        }
        int got = BIO_read(w_bio, tls.p_recv, piece);
        if (got <= 0) {
            if (!sent) note_ssl_error(tls, step_error(tls, session, got));
            return true;
        }
        sent = true;
        if (send_all(tls, tls.p_recv, uint64_t(got)) <= 0) {
            note_ssl_error(tls, -1);
            return false;
        }
    }
}

// One pass: client bytes in, one handshake step, the server's output out. Returns the step's
// result in *last; false ends the handshake.
bool handshake_pass(G_TLS& tls, SSL* session, int piece, int* last) {
    int64_t count = tls.recv_plain(tls.p_recv, piece, 0);
    if (count <= 0) {
        note_ssl_error(tls, 0);
        return false;
    }
    if (!session_here(tls)) {
        note_ssl_error(tls, -1);
        return false;
    }
    int fed = BIO_write(SSL_get_rbio(session), tls.p_recv, int(count));
    if (fed <= 0) {
        note_ssl_error(tls, step_error(tls, session, fed));
        return false;
    }
    note_ssl_error(tls, 0);
    if (!session_here(tls)) {
        note_ssl_error(tls, -1);
        return false;
    }
    ERR_clear_error();
    *last = SSL_accept(session);
    if (*last <= 0) note_ssl_error(tls, step_error(tls, session, *last));
    int error = read_ssl_error(tls);
    if (error != 0 && error != SSL_ERROR_WANT_READ) return false; // the alert stays unsent
    if (!send_flight(tls, session, SSL_get_wbio(session), piece)) return false;
    return read_ssl_error(tls) == SSL_ERROR_WANT_READ;
}

// Lends the record's storages, emptied, to a new session: to its read buffer, to its write
// buffer, and the send's second one as its app data. The buffers take them without owning
// them (their own first storages are freed), so that freeing the session leaves them here.
// False when a storage cannot be had.
bool lend_storages(G_TLS& tls, SSL* session, BIO* r_bio, BIO* w_bio) {
    for (BUF_MEM*& lent : tls.storage) {
        if (lent == nullptr) lent = BUF_MEM_new();
        if (lent == nullptr) return false;
        lent->length = 0; // no byte of an earlier connection reaches this one
    }
    BIO_set_mem_buf(r_bio, tls.storage[0], BIO_NOCLOSE);
    BIO_set_mem_buf(w_bio, tls.storage[1], BIO_NOCLOSE);
    return SSL_set_app_data(session, tls.storage[2]) == 1;
}

} // namespace

int32_t G_TLS::accept(SOCKET socket) {
    // A new connection: nothing asked for or learnt about the previous one applies to it.
    abort.store(0);
    secured.store(0);
    closing.store(0);
    so_last = socket;
    so.store(socket);
    note_wsa_error(*this, 0); // nothing of the previous connection's outcome is kept
    note_receive_error(*this, 0);
    if (socket == INVALID_SOCKET) return -1;
    uint8_t head[peek_length];
    int64_t count = recv_plain(head, peek_length, MSG_PEEK); // consumes nothing
    if (count != peek_length || head[0] != record_handshake || head[5] != client_hello) return -2;
    secured.store(1, std::memory_order_release); // from here on, never the plain paths
    if (create(socket) != 0) return -1;
    if (handshake() != 0) return -1;
    return 0;
}

int32_t G_TLS::create(SOCKET socket) {
    so_last = socket;
    so.store(socket);
    if (tls_ready == 0 || socket == INVALID_SOCKET) return -1;
    if (refs.load(std::memory_order_acquire) != 0) return -1; // a session still holds the storages
    SSL* session = SSL_new(server_ctx);
    if (session == nullptr) {
        ERR_clear_error();
        return -1;
    }
    BIO* r_bio = BIO_new(BIO_s_mem());
    BIO* w_bio = BIO_new(BIO_s_mem());
    if (r_bio == nullptr || w_bio == nullptr || !lend_storages(*this, session, r_bio, w_bio)) {
        BIO_free(r_bio);
        BIO_free(w_bio);
        SSL_free(session);
        ERR_clear_error();
        return -1;
    }
    SSL_set_bio(session, r_bio, w_bio); // the session owns both from here on
    rbio.store(r_bio, std::memory_order_relaxed);
    wbio.store(w_bio, std::memory_order_relaxed);
    refs.exchange(1); // the open session's own reference
    note_wsa_error(*this, 0);
    note_receive_error(*this, 0);
    secured.store(1, std::memory_order_release); // before the session can be seen, and gone
    ssl.store(session, std::memory_order_release);
    return 0;
}

int32_t G_TLS::handshake() {
    note_ssl_error(*this, -1);
    SSL* session = ssl.load(std::memory_order_acquire);
    if (session == nullptr) return -1;
    if (!ref_take(*this)) return -1;
    int last = 0;
    if (p_recv == nullptr || p_recv_size == 0) {
        con_report_wprintf(L"p_recv or p_recv_size not set\n");
    } else {
        int piece = clamp_int(p_recv_size);
        while (!SSL_is_init_finished(session) && handshake_pass(*this, session, piece, &last)) {
        }
    }
    ref_give(*this, session);
    return last == 1 ? 0 : -1;
}
