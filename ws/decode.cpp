// Frame decoder: turns one received frame into its payload, in place in the receive buffer.
// Touches no socket except to send the close reply through the connection's transport, and
// allocates nothing.
#include "ws/ws.h"
#include <cstring>

namespace {

constexpr uint8_t close_first_byte = 0x88;                   // FIN, RSV clear, opcode close
constexpr uint8_t close_reply[4] = {0x88, 0x02, 0x03, 0xE8}; // final close, status 1000
constexpr uint8_t fin_bit = 0x80;
constexpr uint8_t rsv_bits = 0x70;
constexpr uint8_t opcode_bits = 0x0F;
constexpr uint8_t mask_bit = 0x80;
constexpr uint8_t length_code_bits = 0x7F;
constexpr uint8_t length_code_16 = 126;
constexpr uint8_t length_code_64 = 127;
constexpr uint8_t two_key_start = 0x00;
constexpr uint8_t two_key_end = 0xFF;

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

} // namespace

int64_t G_WS::decrypt(uint8_t* frame, uint64_t length, uint8_t** payload) {
    empty_frame = 0;
    if (version < 13) {
        // Two-key framing: 0x00, the message bytes, 0xFF.
        incomplete = 0;
        has_more = 0;
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

    incomplete = 0;
    if (has_more) frame[0] = saved_byte; // the previous payload's terminator stood here
    has_more = 0;
    if (length == 0 || frame[0] == close_first_byte) {
        version = 0;
        tls.send(close_reply, sizeof close_reply); // its result does not change the outcome
        return -8;
    }
    uint8_t first = frame[0];
    if (first & rsv_bits) return -1;
    uint8_t op = first & opcode_bits;
    if (op > 2) return 0;
    bool fin = (first & fin_bit) != 0;
    if (op != 0) {
        in_fragment = fin ? 0 : 1; // a data frame may start a new message at any time
    } else if (!in_fragment) {
        return -2;
    }
    // The frame is cleared as final (in_fragment = 0) only once it is whole, so an incomplete
    // final continuation passes the check above again when decoded anew.

    if (length < 2) {
        incomplete = 1;
        return int64_t(length);
    }
    uint64_t header = 2;
    uint64_t n = frame[1] & length_code_bits;
    if (n == length_code_16) {
        if (length < 4) {
            incomplete = 1;
            return int64_t(length);
        }
        n = read_be(frame + 2, 2);
        header = 4;
    } else if (n == length_code_64) {
        if (length < 10) {
            incomplete = 1;
            return int64_t(length);
        }
        n = read_be(frame + 2, 8); // any 64-bit value, top bit included: compared, never added
        header = 10;
    }
    const uint8_t* key = nullptr;
    if (frame[1] & mask_bit) {
        if (length - header < 4) {
            incomplete = 1;
            return int64_t(length);
        }
        key = frame + header;
        header += 4;
    }
    uint64_t available = length - header;
    if (n > available) {
        incomplete = 1;
        return int64_t(available);
    }

    uint8_t* p = frame + header;
    *payload = p;
    if (key) {
        uint8_t k[4] = {key[0], key[1], key[2], key[3]};
        unmask(p, n, k);
    }
    if (n < available) {
        has_more = 1;
        saved_byte = p[n];
    }
    p[n] = 0;
    if (op == 0 && fin) in_fragment = 0;
    if (n == 0) empty_frame = 1; // an empty message is valid: passed over, not an end
    return int64_t(n);
}
