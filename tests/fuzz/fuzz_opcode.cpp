// Fuzzes the encoder's output for arbitrary payload sequences: the input is a sequence of
// payloads, each a length byte and that many bytes, framed in turn for one RFC 6455 receiver
// and one two-key receiver.
// - RFC 6455: every frame is read back from its own header; a text frame's payload must be
//   well-formed UTF-8 taken alone (checked by a decoder of its own here, not the encoder's
//   check), once the stream has turned binary it stays binary, and the payload is unchanged.
// - Two-key: a payload is framed exactly when it holds no 0xFF, and the frame's only 0xFF is
//   its terminator.
#include "ws/ws.h"
#include <cstring>
#include <vector>

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

// Well-formed UTF-8 (RFC 3629) on its own: every sequence decodes to a scalar value that
// needs exactly that many bytes, and the last one is complete.
bool well_formed_utf8(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        uint8_t b = p[i];
        size_t len = b < 0x80           ? 1
                     : (b >> 5) == 0x6  ? 2
                     : (b >> 4) == 0xE  ? 3
                     : (b >> 3) == 0x1E ? 4
                                        : 0;
        if (len == 0 || len > n - i) return false;
        uint32_t cp = len == 1 ? b : b & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (len > 1 && cp < least[len]) return false; // overlong
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

// Reads an RFC 6455 server frame back from its header and checks it carries `payload`;
// returns its opcode.
int32_t read_back(const uint8_t* frame, uint64_t frame_size, const uint8_t* payload, uint64_t n) {
    require(frame_size >= 2);
    require((frame[0] & 0xF0) == 0x80); // FIN, no RSV bit
    require((frame[1] & 0x80) == 0);    // never masked
    uint64_t length = frame[1] & 0x7F, header = 2;
    if (length == 126 || length == 127) {
        header = length == 126 ? 4 : 10;
        require(frame_size >= header);
        length = 0;
        for (uint64_t k = 2; k < header; ++k) length = (length << 8) | frame[k];
    }
    require(frame_size == header + length && length == n);
    require(std::memcmp(frame + header, payload, n) == 0);
    return frame[0] & 0x0F;
}

void frame_for_two_key(G_WS& ws, std::vector<uint8_t>& half, const uint8_t* p, size_t n) {
    uint64_t framed = n;
    uint8_t* frame = ws.encrypt(half.data(), half.size(), p, &framed);
    bool holds_ff = std::memchr(p, 0xFF, n) != nullptr;
    if (n == 0 || holds_ff) {
        require(frame == nullptr);
        return;
    }
    require(frame != nullptr && framed == n + 2);
    require(frame[0] == 0x00 && frame[n + 1] == 0xFF);
    require(std::memchr(frame + 1, 0xFF, n) == nullptr);
    require(std::memcmp(frame + 1, p, n) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    G_WS ws, two_key;
    ws.version = 13;
    two_key.version = 8;
    std::vector<uint8_t> half(4096);
    size_t i = 0;
    while (i < size) {
        size_t n = data[i++];
        if (n > size - i) n = size - i;
        const uint8_t* p = data + i;
        frame_for_two_key(two_key, half, p, n);
        bool was_binary = ws.out_opcode == 2;
        uint64_t framed = n;
        uint8_t* frame = ws.encrypt(half.data(), half.size(), p, &framed);
        if (n == 0) {
            require(frame == nullptr);
            continue;
        }
        require(frame != nullptr);
        int32_t op = read_back(frame, framed, p, n);
        require(op == 1 || op == 2);
        if (op == 1) require(well_formed_utf8(p, n));
        if (was_binary) require(op == 2 && ws.out_opcode == 2);
        require(ws.out_opcode == 1 || ws.out_opcode == 2);
        require(ws.out_pending >= 0 && ws.out_pending <= 3);
        i += n;
    }
    return 0;
}
