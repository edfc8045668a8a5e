// Inside the transport: the use count that keeps a session alive while an operation works in
// it, the check that a close has not taken the session out, and small shared helpers.
#pragma once
#include "transport/tls.h"
#include <atomic>
#include <climits>
#include <cstdint>

namespace transport_internal {

// Takes a reference on the session; false when it is being freed (the count never rises
// from 0, so a session that reached 0 is never used again).
bool ref_take(G_TLS& tls);
// Gives a reference back; the caller that brings the count to 0 frees the session.
void ref_give(G_TLS& tls, SSL* session);
// Shuts the session down into its own write buffer and frees it with its buffers: the
// close_notify is never sent.
void session_free(SSL* session);

// True while the record still holds a session (no close has taken it out).
inline bool session_here(const G_TLS& tls) {
    return tls.ssl.load(std::memory_order_acquire) != nullptr;
}

// The error fields are written by both of the slot's threads; relaxed atomic stores keep
// them plain fields for their readers.
inline void note_ssl_error(G_TLS& tls, int32_t value) {
    std::atomic_ref<int32_t>(tls.ssl_error).store(value, std::memory_order_relaxed);
}
inline void note_wsa_error(G_TLS& tls, int32_t value) {
    std::atomic_ref<int32_t>(tls.wsa_error).store(value, std::memory_order_relaxed);
}
// A receive's outcome: in ssl_error, and in the field that only receives write.
inline void note_receive_error(G_TLS& tls, int32_t value) {
    note_ssl_error(tls, value);
    tls.recv_ssl_error = value;
}
inline int32_t read_ssl_error(G_TLS& tls) {
    return std::atomic_ref<int32_t>(tls.ssl_error).load(std::memory_order_relaxed);
}

// A count for a socket or library call that takes an int.
inline int clamp_int(uint64_t count) {
    return count > INT_MAX ? INT_MAX : int(count);
}

// The failure of a receive or send on a connection that began with TLS and whose session a
// close has taken out: -1, ssl_error -1, and WSAECONNABORTED as the thread's socket error.
int64_t refuse_ended(G_TLS& tls);

// Hands every byte to the socket; the socket's send takes all or fails, but a short count
// is carried on all the same. Positive when all went, else the failed send's result.
int send_all(G_TLS& tls, const uint8_t* data, uint64_t length);

} // namespace transport_internal
