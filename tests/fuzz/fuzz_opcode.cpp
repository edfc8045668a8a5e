// Fuzzes the UTF-8 check of an outgoing stream: the input is a sequence of payloads, each a
// length byte and that many bytes, framed for one RFC 6455 receiver in turn. Once the stream
// has turned binary it must stay binary, and every frame must carry the opcode chosen.
#include "ws/ws.h"
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    G_WS ws;
    ws.version = 13;
    std::vector<uint8_t> half(4096);
    size_t i = 0;
    while (i < size) {
        size_t n = data[i++];
        if (n > size - i) n = size - i;
        bool was_binary = ws.out_opcode == 2;
        uint64_t framed = n;
        uint8_t* frame = ws.encrypt(half.data(), half.size(), data + i, &framed);
        if (n == 0) {
            if (frame) __builtin_trap();
            continue;
        }
        if (!frame) __builtin_trap();
        int32_t op = frame[0] & 0x0F;
        if (op != 1 && op != 2) __builtin_trap();
        if (was_binary && (op != 2 || ws.out_opcode != 2)) __builtin_trap();
        if (ws.out_opcode != 1 && ws.out_opcode != 2) __builtin_trap();
        if (ws.out_pending < 0 || ws.out_pending > 3) __builtin_trap();
        i += n;
    }
    return 0;
}
