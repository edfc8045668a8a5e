// Frame encoder and the UTF-8 check of each receiver's outgoing stream: one payload in, one
// contiguous frame out, built inside the receiver's send half; no sockets, no allocation.
#include "ws/frame.h"
#include "ws/ws.h"
#include <cstring>

namespace {

using namespace ws_frame;

constexpr uint64_t in_place_first = 10; // a payload this far into dst ...
constexpr uint64_t in_place_last = 16;  // ... up to this far stays where it is
constexpr int32_t op_text = 1;
constexpr int32_t op_binary = 2;

// True when n payload bytes at `offset` and `trailer` bytes after them end within dst_size.
bool fits(uint64_t offset, uint64_t n, uint64_t trailer, uint64_t dst_size) {
    return offset <= dst_size && n <= dst_size - offset && trailer <= dst_size - offset - n;
}

// Writes the RFC 6455 header right before the payload at p; returns the header's first byte.
uint8_t* put_header(uint8_t* p, uint64_t n, int32_t op, uint64_t* header_length) {
    uint64_t h = n <= 125 ? 2 : n <= 65535 ? 4 : 10;
    uint8_t* start = p - h;
    start[0] = uint8_t(fin_bit | op);
    if (h == 2) {
        start[1] = uint8_t(n);
    } else {
        start[1] = h == 4 ? length_code_16 : length_code_64;
        for (uint64_t i = 0; i < h - 2; ++i) start[h - 1 - i] = uint8_t(n >> (8 * i));
    }
    *header_length = h;
    return start;
}

} // namespace

void G_WS::reset_text_state() {
    out_opcode = op_text;
    out_pending = 3;
    out_at_start = 1;
    out_low = 0x80;
    out_high = 0xBF;
}

uint8_t* G_WS::encrypt(uint8_t* dst, uint64_t dst_size, const uint8_t* src, uint64_t* size) {
    if (!dst || !src || !size || *size == 0) return nullptr;
    // Read once: a close on the receiver's reader may clear it at any moment, and the framing
    // must be the one the refusal looked at.
    int32_t v = version.load();
    if (v == 0) return nullptr;
    uint64_t n = *size;
    bool rfc = v >= 13;
    uint64_t trailer = rfc ? 0 : 1;
    // A payload that lies 10 to 16 bytes into the destination, and ends within it, keeps its
    // place; any other is moved behind the room for the header. Addresses are compared as
    // integers, since src may lie anywhere.
    uintptr_t d = reinterpret_cast<uintptr_t>(dst), s = reinterpret_cast<uintptr_t>(src);
    uint64_t offset = rfc ? longest_header : 1;
    if (s >= d && s - d >= in_place_first && s - d <= in_place_last &&
        fits(s - d, n, trailer, dst_size))
        offset = s - d;
    if (!fits(offset, n, trailer, dst_size)) return nullptr;
    // A two-key message ends at its first 0xFF and nothing escapes one inside it: such a
    // payload would end the message early and the rest would read as messages (or a close)
    // that nobody sent. It is not delivered to this receiver.
    if (!rfc && std::memchr(src, two_key_end, n)) return nullptr;
    uint8_t* place = dst + offset;
    if (place != src) std::memmove(place, src, n);

    if (!rfc) {
        place[-1] = two_key_start;
        place[n] = two_key_end;
        *size = n + 2;
        return place - 1;
    }
    uint64_t h;
    uint8_t* start = put_header(place, n, opcode(place, n), &h);
    *size = n + h;
    return start;
}

namespace {

// A character of the outgoing stream is open: its lead byte has gone out, not all of the
// continuation bytes it needs have. A stream that begins inside a character has none open.
bool character_open(const G_WS& ws) {
    return ws.out_at_start == 0 && ws.out_pending != 0;
}

// One byte of the outgoing stream through the UTF-8 check. False when the byte is ill-formed;
// `result` becomes binary when the byte lies in a start of stream that begins mid-character.
bool text_step(G_WS& ws, uint8_t b, int32_t& result) {
    if (ws.out_at_start) {
        // The stream may begin inside a character: up to three leading continuation bytes
        // and any 0xF8-0xFF byte make this payload binary without switching the stream.
        if (b >= 0x80 && b <= 0xBF) {
            result = op_binary;
            if (--ws.out_pending == 0) ws.out_at_start = 0;
            return true;
        }
        if (b >= 0xF8) {
            result = op_binary;
            ws.out_pending = 0;
            ws.out_at_start = 0;
            return true;
        }
    }
    bool open = character_open(ws);
    if (b <= 0x7F) {
        if (open) return false;
        ws.out_pending = 0;
        ws.out_at_start = 0;
        return true;
    }
    if (b <= 0xBF) {
        if (!open || b < ws.out_low || b > ws.out_high) return false;
        --ws.out_pending;
        ws.out_low = 0x80;
        ws.out_high = 0xBF;
        return true;
    }
    if (b <= 0xC1 || b >= 0xF5) return false; // never valid (0xF8-0xFF at the start: above)
    if (open) return false;                   // a lead byte inside a character
    uint8_t low = 0x80, high = 0xBF;
    int32_t need;
    if (b <= 0xDF) {
        need = 1;
    } else if (b <= 0xEF) {
        need = 2;
        if (b == 0xE0) low = 0xA0;  // no overlong form
        if (b == 0xED) high = 0x9F; // no surrogate
    } else {
        need = 3;
        if (b == 0xF0) low = 0x90;  // no overlong form
        if (b == 0xF4) high = 0x8F; // nothing above U+10FFFF
    }
    ws.out_pending = need;
    ws.out_at_start = 0;
    ws.out_low = low;
    ws.out_high = high;
    return true;
}

} // namespace

int32_t G_WS::opcode(const uint8_t* data, uint64_t length) {
    if (out_opcode != op_text) return out_opcode; // binary for good
    if ((length == 1 && data[0] == 0xFF) || (length == 2 && data[0] == 0x00 && data[1] == 0xFF)) {
        // Not examined byte by byte: always a binary frame, and a switch only when it cuts
        // into an open character.
        if (character_open(*this)) out_opcode = op_binary;
        out_pending = 0;
        out_at_start = 0;
        out_low = 0x80;
        out_high = 0xBF;
        return op_binary;
    }
    // Every message is judged by itself at the receiver: a text frame must be well-formed
    // UTF-8 on its own. A payload that completes a character opened by the payload before it,
    // or that ends inside a character, goes out binary; the stream stays text and the open
    // character, with its allowed range, carries over to be checked in the next payload.
    int32_t result = character_open(*this) ? op_binary : op_text;
    for (uint64_t i = 0; i < length; ++i) {
        if (!text_step(*this, data[i], result)) {
            out_opcode = op_binary; // every later payload to this receiver is binary
            return op_binary;
        }
    }
    return character_open(*this) ? op_binary : result;
}
