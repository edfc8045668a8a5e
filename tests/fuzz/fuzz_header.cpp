// Fuzzes both reply builders on arbitrary requests: the request is followed by its NUL, the
// reply buffer is exactly 2048 bytes on the heap, and a reply must end in a NUL within it.
#include "ws/ws.h"
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static G_WS ws;
    std::vector<char> request(data, data + size);
    request.push_back(0);
    for (int builder = 0; builder < 2; ++builder) {
        std::vector<char> reply(2048);
        int64_t m = builder == 0 ? ws.header_13(request.data(), size, reply.data())
                                 : ws.header_76(request.data(), size, reply.data());
        if (m >= 2048) __builtin_trap();
        if (m > 0 && reply[size_t(m)] != 0) __builtin_trap();
        if (builder == 1 && m > 461) __builtin_trap(); // the longest two-key reply
    }
    return 0;
}
