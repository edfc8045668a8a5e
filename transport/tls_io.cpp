// The connection's receive and send: the plain socket, or decryption and encryption through
// the session, with the socket's bytes going straight into the read buffer's storage and
// out of the write buffer's storage. The lock is held for every library step and given back
// around every blocking call.
#include "transport/session.h"
#include <algorithm>
#include <openssl/buffer.h>
#include <openssl/err.h>

using namespace transport_internal;

namespace {

constexpr uint64_t read_room_least = 17408;   // least read capacity before a socket receive
constexpr uint64_t read_room_most = 1u << 30; // a larger request is not reserved up front
constexpr uint64_t write_piece_most = 196608; // largest plaintext for one SSL_write
constexpr size_t write_room_least = 384;      // least free write capacity before a flush
constexpr size_t carry_most = 1024;           // added bytes kept for the next piece's flush

// Hands a changed storage back to its BIO, which then takes its new length. The BIO never
// owns a storage: the record does (see G_TLS::storage).
void reattach(BIO* bio, BUF_MEM* storage) {
    BIO_set_mem_buf(bio, storage, BIO_NOCLOSE);
}

// The class of a failed library step, or -1 when a close took the session out.
int step_error(G_TLS& tls, SSL* session, int result) {
    if (!session_here(tls)) return -1;
    return SSL_get_error(session, result);
}

// The read buffer's storage with at least `room` (and 17,408) bytes of capacity, ready for
// the socket to write behind its length; null when it cannot be had or raised.
BUF_MEM* read_landing(BIO* r_bio, uint64_t room) {
    BUF_MEM* storage = nullptr;
    BIO_get_mem_ptr(r_bio, &storage); // also moves unread bytes to the start
    if (storage == nullptr) return nullptr;
    size_t want = size_t(std::min(std::max(room, read_room_least), read_room_most));
    if (storage->max < want) {
        size_t length = storage->length;
        if (BUF_MEM_grow(storage, want) == 0) return nullptr;
        storage->length = length;
        reattach(r_bio, storage); // the storage may have moved: the BIO must not keep the old
    }
    return storage;
}

// One refill of the read buffer from the socket, the lock given back around the receive.
// The bytes land behind the encrypted bytes already waiting in the read buffer's storage or,
// when that cannot be had, in the caller's buffer, from where they are fed in. False when
// the receive failed (the lock is then not held: *held is cleared) or feeding failed.
bool refill(G_TLS& tls, SSL* session, uint8_t* position, uint64_t room, bool* held) {
    BIO* r_bio = SSL_get_rbio(session);
    BUF_MEM* storage = read_landing(r_bio, room);
    uint8_t* landing =
        storage ? reinterpret_cast<uint8_t*>(storage->data) + storage->length : position;
    uint64_t space = storage ? storage->max - storage->length : room;
    tls.lock.set(); // meanwhile only this thread touches the storage beyond its length
    int64_t count = tls.recv_plain(landing, clamp_int(space), 0);
    if (count <= 0) {
        note_receive_error(tls, 0);
        *held = false;
        return false;
    }
    tls.lock.wait();
    if (storage != nullptr) {
        storage->length += size_t(count);
        reattach(r_bio, storage);
        return true;
    }
    int fed = session_here(tls) ? BIO_write(r_bio, landing, int(count)) : -1;
    if (fed > 0) return true; // the next SSL_read overwrites them with plaintext
    note_receive_error(tls, step_error(tls, session, fed));
    return false;
}

// Decrypts into the caller's buffer, refilling while the session wants more and nothing has
// been placed yet. Entered and left with the lock held, unless *held says otherwise.
int64_t receive(G_TLS& tls, SSL* session, uint8_t* position, uint64_t room, bool* held) {
    int64_t placed = 0;
    for (;;) {
        int result = -1;
        if (session_here(tls)) {
            ERR_clear_error();
            result = SSL_read(session, position, clamp_int(room));
        }
        if (result > 0) {
            position += result;
            room -= uint64_t(result);
            placed += result;
            if (room == 0) return placed;
            continue;
        }
        if (placed > 0) return placed; // data is there: do not wait on the socket
        int error = step_error(tls, session, result);
        note_receive_error(tls, error);
        if (error != SSL_ERROR_WANT_READ) return result;
        if (!refill(tls, session, position, room, held)) return result;
    }
}

// Moves the write buffer's bytes out of the BIO's reach: the BIO gets the empty spare
// storage to write into, and the full one becomes the spare until it has been sent.
BUF_MEM* swap_out(SSL* session, BIO* w_bio, BUF_MEM* full) {
    BUF_MEM* spare = static_cast<BUF_MEM*>(SSL_get_app_data(session));
    spare->length = 0;
    SSL_set_app_data(session, full);
    reattach(w_bio, spare);
    return full;
}

// Sends what the write buffer holds, oldest first; bytes that the other thread adds while
// the lock is free are sent too, or kept for the next piece when few and plaintext remains.
// The bytes on their way to the socket sit in storage that no library step can touch.
// Entered and left with the lock held. Positive, or the failed socket send's result.
int flush(G_TLS& tls, SSL* session, BIO* w_bio, bool plaintext_left) {
    for (bool first = true;; first = false) {
        BUF_MEM* pending = nullptr;
        BIO_get_mem_ptr(w_bio, &pending);
        if (pending == nullptr || pending->length == 0) return 1;
        if (!first && plaintext_left && pending->length <= carry_most) return 1;
        BUF_MEM* out = swap_out(session, w_bio, pending);
        tls.lock.set();
        int result = send_all(tls, reinterpret_cast<uint8_t*>(out->data), out->length);
        tls.lock.wait();
        out->length = 0;
        if (result <= 0) {
            BIO_get_mem_ptr(w_bio, &pending); // what is still pending is dropped
            if (pending != nullptr) {
                pending->length = 0;
                reattach(w_bio, pending);
            }
            return result;
        }
    }
}

// Keeps some free capacity in the write buffer so that small appends need no move.
void keep_write_room(BIO* w_bio, BUF_MEM* storage) {
    if (storage->max - storage->length >= write_room_least) return;
    size_t length = storage->length;
    if (BUF_MEM_grow(storage, storage->max + write_room_least) == 0) return;
    storage->length = length;
    reattach(w_bio, storage);
}

// Encrypts in pieces, flushing each before the next. Lock held on entry and return.
int64_t transmit(G_TLS& tls, SSL* session, const uint8_t* position, uint64_t length) {
    BIO* w_bio = SSL_get_wbio(session);
    uint64_t left = length;
    while (left > 0) {
        int written = -1;
        if (session_here(tls)) {
            ERR_clear_error();
            written = SSL_write(session, position, int(std::min(left, write_piece_most)));
        }
        if (written <= 0) {
            note_ssl_error(tls, step_error(tls, session, written));
            return written;
        }
        position += written;
        left -= uint64_t(written);
        BUF_MEM* storage = nullptr;
        BIO_get_mem_ptr(w_bio, &storage);
        if (storage == nullptr) {
            int error = step_error(tls, session, written);
            con_report_wprintf(L"tls.send::tls_bio_get_mem_ptr  %i  so %i %i\n", error,
                               int(tls.so_last), int(tls.so.load()));
            note_ssl_error(tls, error);
            return written;
        }
        keep_write_room(w_bio, storage);
        int sent = flush(tls, session, w_bio, left > 0);
        if (sent <= 0) {
            note_ssl_error(tls, 0);
            return sent;
        }
    }
    return int64_t(length);
}

} // namespace

int64_t G_TLS::recv(void* buffer, uint64_t size) {
    SSL* session = ssl.load(std::memory_order_acquire);
    if (session == nullptr && secured.load(std::memory_order_acquire) != 0) {
        note_receive_error(*this, -1);
        return refuse_ended(*this); // never read a TLS peer's records as plaintext
    }
    if (session == nullptr) return recv_plain(buffer, clamp_int(size), 0);
    if (!ref_take(*this)) {
        note_receive_error(*this, -1);
        return -1;
    }
    lock.wait();
    bool held = true;
    int64_t result =
        size == 0 ? 0 : receive(*this, session, static_cast<uint8_t*>(buffer), size, &held);
    if (held) lock.set();
    ref_give(*this, session);
    return result;
}

int64_t G_TLS::send(const void* data, uint64_t length) {
    SSL* session = ssl.load(std::memory_order_acquire);
    // A close takes the session out before the socket: a send in between must not reach
    // the still-open socket in clear.
    if (session == nullptr && secured.load(std::memory_order_acquire) != 0)
        return refuse_ended(*this);
    if (session == nullptr)
        return win::send(so.load(), static_cast<const char*>(data), clamp_int(length), 0);
    if (!ref_take(*this)) {
        note_ssl_error(*this, -1);
        return -1;
    }
    send_lock.wait(); // one send at a time: each send's records go out once, in order
    lock.wait();
    int64_t result = transmit(*this, session, static_cast<const uint8_t*>(data), length);
    lock.set();
    send_lock.set();
    ref_give(*this, session);
    return result;
}
