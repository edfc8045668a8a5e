// Frame decoder: turns one received frame into its payload, in place in the receive buffer.
// Touches no socket except to send the close reply through the connection's transport, and
// allocates nothing.
#include "ws/frame.h"
#include "ws/ws.h"
#include <cstring>

namespace {

using namespace ws_frame;

constexpr uint8_t close_reply[4] = {0x88, 0x02, 0x03, 0xE8}; // final close, status 1000
constexpr uint8_t rsv_bits = 0x70;
constexpr uint8_t opcode_bits = 0x0F;
constexpr uint8_t mask_bit = 0x80;
constexpr uint8_t length_code_bits = 0x7F;

// XORs the payload with the masking key: eight bytes at a time with the doubled key, then the
// remaining bytes one by one. The payload need not be aligned.
void unmask(uint8_t* p, uint64_t n, const uint8_t key[4]) {
    uint8_t doubled[8] = {key[0], key[1], key[2], key[3], key[0], key[1], key[2], key[3]};
    uint64_t pattern;
    std::memcpy(&pattern, doubled, 8);
    uint64_t i = 0;
    for (; n - i >= 8; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        word ^= pattern;
        std::memcpy(p + i, &word, 8);
    }
    for (; i < n; ++i) p[i] ^= key[i & 3];
}

uint64_t read_be(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
    return value;
}

// Where an RFC 6455 frame's payload starts and how long it claims to be.
struct frame_header {
    uint64_t size;      // header bytes, masking key included
    uint64_t n;         // payload length as sent: any 64-bit value
    const uint8_t* key; // the masking key, null when unmasked
};

// Reads the header of the frame held; false when the bytes held end inside it.
bool read_header(const uint8_t* frame, uint64_t length, frame_header* h) {
    if (length < 2) return false;
    h->size = 2;
    h->n = frame[1] & length_code_bits;
    if (h->n == length_code_16) {
        if (length < 4) return false;
        h->n = read_be(frame + 2, 2);
        h->size = 4;
    } else if (h->n == length_code_64) {
        if (length < 10) return false;
        h->n = read_be(frame + 2, 8); // top bit included: compared below, never added
        h->size = 10;
    }
    h->key = nullptr;
    if (frame[1] & mask_bit) { // an unmasked client frame is accepted as it is
        if (length - h->size < 4) return false;
        h->key = frame + h->size;
        h->size += 4;
    }
    return true;
}

} // namespace

// Two-key framing: 0x00, the message bytes, 0xFF. The message bytes are not examined.
int64_t G_WS::decrypt_two_key(uint8_t* frame, uint64_t length, uint8_t** payload) {
    incomplete = 0;
    has_more = 0; // the previous terminator lay inside the previous frame: nothing to restore
    if (length >= 1 && frame[0] != two_key_start) return -1;
    if (length < 2) {
        incomplete = 1;
        return int64_t(length);
    }
    auto* end = static_cast<uint8_t*>(std::memchr(frame + 1, two_key_end, length - 1));
    if (end == frame + 1) { // an empty message closes the conversation; no reply
        version = 0;
        return -8;
    }
    *payload = frame + 1;
    if (!end) {
        incomplete = 1;
        return int64_t(length);
    }
    uint64_t t = uint64_t(end - frame);
    *end = 0;
    if (t < length - 1) has_more = 1;
    return int64_t(t - 1);
}

// The first byte of an RFC 6455 frame: 1 when it may carry a payload, else the result that
// ends the conversation. Keeps the fragment bookkeeping.
int64_t G_WS::first_byte(uint8_t first) {
    if (first & rsv_bits) return -1;
    uint8_t op = first & opcode_bits;
    if (op > 2) return 0; // ping, pong, close without FIN, reserved opcodes: no reply
    if (op != 0) {
        in_fragment = (first & fin_bit) ? 0 : 1; // a new message may begin at any time
    } else if (!in_fragment) {
        return -2;
    }
    // A final continuation clears in_fragment only once it is whole, so an incomplete one
    // passes this check again when it is decoded anew.
    return 1;
}

int64_t G_WS::decrypt(uint8_t* frame, uint64_t length, uint8_t** payload) {
    empty_frame = 0;
    if (version < 13) return decrypt_two_key(frame, length, payload);
    incomplete = 0;
    if (has_more) frame[0] = saved_byte; // the previous payload's terminator stood here
    has_more = 0;
    if (length == 0 || frame[0] == close_first_byte) {
        version = 0;
        tls.send(close_reply, sizeof close_reply); // its result does not change the outcome
        return -8;
    }
    uint8_t first = frame[0];
    int64_t verdict = first_byte(first);
    if (verdict != 1) return verdict;
    frame_header h;
    if (!read_header(frame, length, &h)) {
        incomplete = 1;
        return int64_t(length);
    }
    uint64_t available = length - h.size;
    if (h.n > available) {
        incomplete = 1;
        return int64_t(available);
    }
    uint8_t* p = frame + h.size;
    *payload = p;
    if (h.key) {
        uint8_t key[4] = {h.key[0], h.key[1], h.key[2], h.key[3]};
        unmask(p, h.n, key);
    }
    if (h.n < available) {
        has_more = 1;
        saved_byte = p[h.n];
    }
    p[h.n] = 0;
    if ((first & (fin_bit | opcode_bits)) == fin_bit) in_fragment = 0; // final continuation
    if (h.n == 0) empty_frame = 1; // an empty message is valid: passed over, not an end
    return int64_t(h.n);
}
