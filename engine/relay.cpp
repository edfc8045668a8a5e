// The relay's data path: the reader receives into its slot's buffer and cuts payloads (a raw
// receive whole, WebSocket data frame by frame, decoded in place), every payload is copied into
// the send area of every other ready slot, and each slot's writer sends what it was handed.
// Nothing here allocates: every buffer is a fixed region of the arena.
#include "engine/engine.h"
#include "ws/frame.h"
#include <atomic>
#include <cstring>

namespace {

inline constexpr uint32_t quiet_send_errors[] = {WSAECONNABORTED, WSAECONNRESET};
// What a socket call meets once a close made here has taken its socket away: the socket is
// gone, a blocked call was cut short, the connection was aborted or shut down here.
inline constexpr uint32_t closed_here_errors[] = {WSAENOTSOCK, WSAEINTR, WSAECONNABORTED,
                                                  WSAESHUTDOWN};

template <std::size_t N> bool listed(uint32_t e, const uint32_t (&codes)[N]) {
    for (uint32_t code : codes) {
        if (e == code) return true;
    }
    return false;
}

void fan_out(G_TASK* self, const uint8_t* data, uint64_t size) {
    for (uint32_t i = 0; i < connection_count; ++i) {
        G_TASK* target = &tasks[i];
        if (target == self) continue;
        // The generation is read before ready: a slot seen ready is then never mistaken for
        // the connection that follows it.
        uint32_t generation = target->generation.load(std::memory_order_acquire);
        if (target->ready.load(std::memory_order_acquire)) {
            send_packet(target, generation, data, size);
        }
    }
}

// A receive that failed only because this slot closed the connection itself (its writer
// after a failed send, whose failure send_packet reports): the socket errors that the close
// brings, or the session found gone. A failure of the connection itself, a TLS one above all,
// is reported whichever thread closed first.
bool failed_by_own_close(const G_TLS& tls, uint32_t e, int32_t tls_outcome) {
    if (tls.closing.load() == 0) return false;
    return e == 0 ? tls_outcome == -1 : listed(e, closed_here_errors);
}

uint32_t end_of_conversation(G_TASK* t, int64_t n) {
    G_TLS& tls = t->ws.tls;
    uint32_t e = uint32_t(WSAGetLastError());
    if (e == 0) e = uint32_t(tls.wsa_error);
    int32_t tls_outcome = tls.recv_ssl_error; // this receive's own, whatever the writer met
    if (n == 0) return 0;
    if (!t->run.load(std::memory_order_acquire)) return 0;
    if (failed_by_own_close(tls, e, tls_outcome)) return 0;
    if (e == WSAECONNABORTED || e == WSAECONNRESET) return 0;
    if (e != 0) {
        con_report_begin(); // the recv line and its error line are one report
        con_wprintf(L"\n!! recv(%u)  so %i %i\n", t->slot_number, int(tls.so.load()),
                    int(tls.so_last));
        print_error(e, L"");
        con_report_end();
        return e;
    }
    if (tls_outcome != 0) {
        con_report_wprintf(L"\n!! recv(%u)  TLS error %i  so %i %i\n", t->slot_number, tls_outcome,
                           int(tls.so.load()), int(tls.so_last));
    }
    return 0;
}

enum class decoded { receive_again, carry, end };

// Whether decoding the frame at `frame` closes the conversation (a close frame, or the empty
// two-key message): the decoder then clears `version`, which senders read while they frame
// for this connection, and sends the close reply on the socket the writer sends on.
bool frame_closes(const G_WS& ws, const uint8_t* frame, uint64_t held) {
    if (ws.version < 13)
        return held >= 2 && frame[0] == ws_frame::two_key_start &&
               frame[1] == ws_frame::two_key_end;
    uint8_t first = ws.has_more ? ws.saved_byte : frame[0]; // the terminator may stand there
    return first == ws_frame::close_first_byte;
}

// Decodes a closing frame with the slot taken out of the fan-out and its send area held, so
// that no sender is framing for it and its writer is idle while the decoder ends the
// conversation and answers it.
void decode_close(G_TASK* t, uint8_t* frame, uint64_t held) {
    t->ready.store(0, std::memory_order_release);
    bool token = t->ev_free.wait() == 0;
    uint8_t* payload = nullptr;
    t->ws.decrypt(frame, held, &payload);
    if (token) t->ev_free.set();
}

// Decodes every whole frame of the held bytes and fans out each payload. On `carry` the
// incomplete frame has been moved to the start of the buffer and *carried is its length.
decoded decode_frames(G_TASK* t, uint64_t held, uint64_t* carried) {
    G_WS& ws = t->ws;
    uint8_t* frame = t->pRAM;
    for (;;) {
        if (ws.version == 0) return decoded::end;
        if (frame_closes(ws, frame, held)) {
            decode_close(t, frame, held);
            return decoded::end;
        }
        uint8_t* payload = nullptr;
        int64_t m = ws.decrypt(frame, held, &payload);
        if (ws.incomplete) {
            if (frame != t->pRAM) std::memmove(t->pRAM, frame, held);
            *carried = held;
            return decoded::carry;
        }
        if (m <= 0 && !ws.empty_frame) return decoded::end;
        if (uint64_t(m) + 2 > held) {
            con_report_wprintf(L"ws.decrypt returned size beyond msg_size_read  2 + %llu > %llu\n",
                               (unsigned long long)m, (unsigned long long)held);
            ws.tls.abort.store(1);
            return decoded::end;
        }
        if (m > 0) fan_out(t, payload, uint64_t(m));
        if (!ws.has_more) return decoded::receive_again;
        uint8_t* next = payload + m + (m > 0 && ws.version < 13 ? 1 : 0);
        held -= uint64_t(next - frame);
        frame = next;
    }
}

// The error recorded for a failed send. One that failed without a socket error met a session
// that is broken (the reader's receive failed on it) or gone (a close took it out), and one
// that failed on the socket that a close made here took away met the same end: the relay is
// ending the connection, which is recorded as an abort in this host and not reported. Any
// other error is the connection's own failure.
uint32_t send_failure(const G_TLS& tls) {
    uint32_t e = uint32_t(WSAGetLastError());
    if (e == 0) return WSAECONNABORTED;
    if (tls.closing.load() != 0 && listed(e, closed_here_errors)) return WSAECONNABORTED;
    return e;
}

// The most one receive of this connection takes. A WebSocket connection's frames are its
// peer's cut: header and payload must fit in L - 1 bytes, one byte staying free for the
// decoder's terminator. A raw stream (plain or TLS) is cut by the relay itself, so a receive
// takes no more than every kind of receiver can be given: what an RFC 6455 receiver's longest
// frame header leaves of its L-byte send half. Below the least packet length nobody is
// upgraded, every receiver takes L bytes, and a raw receive takes L - 1 as well.
uint64_t receive_room(const G_WS& ws) {
    if (ws.is_ws || packet_length < least_packet_length) return packet_length - 1;
    return packet_length - ws_frame::longest_header;
}

} // namespace

uint32_t work_r(G_TASK* t) {
    G_TLS& tls = t->ws.tls;
    const uint64_t room = receive_room(t->ws);
    uint64_t carried = 0;
    int64_t n = 0;
    for (;;) {
        if (carried >= room) return 0; // an incomplete frame fills the whole area
        // The end-of-conversation report reads the error of this receive only, never one
        // left behind by an earlier call (the upgrade attempt's time-out, for one).
        WSASetLastError(0);
        tls.wsa_error = 0;
        n = tls.recv(t->pRAM + carried, room - carried);
        if (n <= 0) break;
        uint64_t held = uint64_t(n) + carried;
        carried = 0;
        if (!t->ws.is_ws) {
            fan_out(t, t->pRAM, held);
            continue;
        }
        if (decode_frames(t, held, &carried) == decoded::end) return 0;
    }
    return end_of_conversation(t, n);
}

bool send_packet(G_TASK* target, uint32_t generation, const uint8_t* data, uint64_t size) {
    // A wait that fails does not hold the token (the slot's reader has closed the event at
    // its end and every waiter is released at once): refuse without touching the slot.
    if (target->ev_free.wait() != 0) return false;
    if (target->generation.load(std::memory_order_acquire) != generation) {
        target->ev_free.set(); // the connection this payload was meant for has ended
        return false;
    }
    if (target->send_result == -1) {
        // Reported while the token is held: the slot's reader takes it before it ends the
        // connection, so the report always comes before that connection's end line.
        uint32_t e = target->send_error;
        if (!listed(e, quiet_send_errors)) {
            print_error(
                e, L"!! send_packet() !! work_w() !! send(so, p_send, size_send, SO_SEND_FLAGS)");
        }
        target->ev_free.set();
        return false;
    }
    if (size == 0 || !target->ready.load(std::memory_order_acquire) ||
        target->ws.tls.so.load() == INVALID_SOCKET) {
        target->ev_free.set();
        return false;
    }
    uint8_t* start = target->current_half;
    uint64_t length = size;
    if (target->ws.is_ws) {
        start = target->ws.encrypt(target->current_half, target->half, data, &length);
        if (start == nullptr) {
            // Too long for this receiver, a 0xFF for a two-key receiver, or its conversation
            // is closed.
            target->ev_free.set();
            return false;
        }
    } else {
        std::memcpy(start, data, size);
    }
    target->p_send = start;
    target->size_send = length;
    target->current_half = target->toggle ? target->send_base : target->send_base + target->half;
    target->toggle ^= 1;
    target->ev_send.set();
    return true;
}

int32_t work_w(G_TASK* t) {
    while (t->ev_send.valid.load()) {
        if (t->ev_send.wait() != 0 || !t->ev_send.valid.load()) break;
        WSASetLastError(0); // the error read after a failure is this send's, never an older one
        int64_t r = t->ws.tls.send(t->p_send, t->size_send);
        t->send_result = r > 0 ? r : -1; // nothing sent counts as a failed send
        if (r <= 0) {
            t->send_error = send_failure(t->ws.tls);
            t->ws.tls.close(); // ends the reader's conversation; never a later connection's
        }
        t->ev_free.set();
    }
    return -1;
}
