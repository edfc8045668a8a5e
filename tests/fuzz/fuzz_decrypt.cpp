// Fuzzes the frame decoder as the reader drives it: the first byte picks the framing, the rest
// is one read. Every frame of the read is decoded in turn, and every result must stay inside
// the bytes held.
#include "ws/ws.h"
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static G_WS ws; // one record for the whole run, as a slot keeps it across connections
    ws.version = (data[0] & 1) ? 8 : 13;
    ws.has_more = 0;
    ws.in_fragment = data[0] & 2 ? 1 : 0;
    std::vector<uint8_t> buffer(data + 1, data + size);
    uint64_t held = buffer.size();
    buffer.push_back(0xEE); // the one writable byte after the data
    uint8_t* frame = buffer.data();
    uint8_t* end = buffer.data() + held;
    for (int frames = 0; frames < 10000; ++frames) {
        uint64_t length = uint64_t(end - frame);
        uint8_t* payload = nullptr;
        int64_t m = ws.decrypt(frame, length, &payload);
        if (ws.incomplete) {
            if (m < 0 || uint64_t(m) > length) __builtin_trap();
            return 0;
        }
        if (m <= 0 && !ws.empty_frame) return 0;
        // A complete frame lies within the bytes held, its terminator at most one past them.
        if (payload < frame || payload + m > end || uint64_t(m) + 2 > length) __builtin_trap();
        if (payload[m] != 0) __builtin_trap();
        if (!ws.has_more) return 0;
        uint8_t* next = payload + m + (ws.version < 13 ? 1 : 0);
        if (next >= end) __builtin_trap(); // has_more promises a byte
        frame = next;
    }
    return 0;
}
