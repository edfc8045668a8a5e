// The transport record: construction, the close that both of a slot's threads may call,
// the plain receive under the retry rule, the plain send, and the session's use count.
#include "transport/session.h"
#include <openssl/buffer.h>
#include <openssl/err.h>

using namespace transport_internal;

G_TLS::G_TLS()
    : ssl(nullptr), refs(0), lock{}, rbio(nullptr), wbio(nullptr), so_last(INVALID_SOCKET),
      so(INVALID_SOCKET), abort(0), secured(0), closing(0), wsa_error(0), ssl_error(0),
      recv_ssl_error(0), p_recv(nullptr), p_recv_size(0), send_lock{}, storage{} {
    lock.create(true); // a failure leaves the lock invalid: its waits return at once
    send_lock.create(true);
}

G_TLS::~G_TLS() {
    lock.close();
    send_lock.close();
    abort.store(1);
    close();
    for (BUF_MEM* lent : storage) BUF_MEM_free(lent); // no session is left to use them
}

void G_TLS::close() {
    closing.store(1); // before anything is taken: a failure the close causes is seen as its own
    SSL* session = ssl.exchange(nullptr, std::memory_order_acq_rel);
    rbio.store(nullptr, std::memory_order_relaxed);
    wbio.store(nullptr, std::memory_order_relaxed);
    if (session != nullptr) ref_give(*this, session); // the open session's own reference
    if (so.load() == INVALID_SOCKET) return;
    SOCKET socket = so.exchange(INVALID_SOCKET);
    if (socket == INVALID_SOCKET) return; // the other thread closed it meanwhile
    // The abortive close acts on the socket this call took, never on one it does not own.
    if (abort.exchange(0) != 0) {
        int on = 1;
        win::setsockopt(socket, IPPROTO_TCP, TCP_ABORTIVE_CLOSE, reinterpret_cast<char*>(&on),
                        sizeof on);
    }
    win::shutdown(socket, SD_BOTH); // wakes a call blocked on it in the other thread
    win::closesocket(socket);
}

int64_t G_TLS::recv_plain(void* buffer, int32_t size, int32_t flags) {
    for (;;) {
        int result = win::recv(so.load(), static_cast<char*>(buffer), size, flags);
        if (result > 0) return result;
        int error = WSAGetLastError();
        note_wsa_error(*this, error);
        if (error != WSAEINTR) return result;
        WSASetLastError(0); // interrupted: repeat on the socket the record holds now
    }
}

namespace transport_internal {

bool ref_take(G_TLS& tls) {
    int32_t count = tls.refs.load(std::memory_order_acquire);
    while (count > 0) {
        if (tls.refs.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel))
            return true;
    }
    return false;
}

void ref_give(G_TLS& tls, SSL* session) {
    if (tls.refs.fetch_sub(1, std::memory_order_acq_rel) == 1) session_free(session);
}

void session_free(SSL* session) {
    SSL_shutdown(session); // its close_notify stays in the write buffer, never sent
    SSL_free(session);     // frees both memory buffers, which leave the storages to the record
    ERR_clear_error();
}

int64_t refuse_ended(G_TLS& tls) {
    note_ssl_error(tls, -1);
    WSASetLastError(WSAECONNABORTED); // the connection was ended in this process
    return -1;
}

int send_all(G_TLS& tls, const uint8_t* data, uint64_t length) {
    while (length > 0) {
        int result =
            win::send(tls.so.load(), reinterpret_cast<const char*>(data), clamp_int(length), 0);
        if (result <= 0) return result;
        data += result;
        length -= uint64_t(result);
    }
    return 1;
}

} // namespace transport_internal
