// Base64 with the standard alphabet and '=' padding: the accept value of the upgrade reply.
// Pure bytes in, characters out; reads no byte beyond the input.
#include "ws/ws.h"

namespace {
constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

int64_t base64_encode(const uint8_t* data, int64_t n, char* out) {
    if (n <= 0) {
        out[0] = 0;
        return 0;
    }
    char* o = out;
    int64_t i = 0;
    for (; n - i >= 3; i += 3) {
        uint32_t v = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
        *o++ = alphabet[v >> 18];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = alphabet[(v >> 6) & 63];
        *o++ = alphabet[v & 63];
    }
    if (n - i == 1) {
        uint32_t v = uint32_t(data[i]) << 16;
        *o++ = alphabet[v >> 18];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (n - i == 2) {
        uint32_t v = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8;
        *o++ = alphabet[v >> 18];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = alphabet[(v >> 6) & 63];
        *o++ = '=';
    }
    *o = 0;
    return ((n - 1) / 3) * 4 + 4;
}
