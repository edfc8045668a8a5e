// UTF-16 to UTF-8 conversion into a bounded buffer: one pass, no allocation, no library call.
// Unpaired surrogates are dropped or completed as described at each step below.
#include "platform/utf.h"

#include <cstdint>

std::size_t utf16_to_utf8(char* out, std::size_t out_size, const char16_t* in) {
    if (out == nullptr || in == nullptr || out_size == 0) return 0;
    std::size_t n = 0; // bytes written
    for (;;) {
        std::uint32_t unit = *in;
        if (unit == 0) break;
        ++in;
        std::uint32_t cp = unit;
        if (unit >= 0xDC00 && unit <= 0xDFFF) continue; // a lone low surrogate is dropped
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            std::uint32_t next = *in;
            if (next == 0) break; // a high surrogate before the end is dropped
            cp = 0x10000 + ((unit & 0x3FF) << 10);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                cp += next & 0x3FF;
                ++in;
            } // otherwise the high half stands as if its low half were 0xDC00
        }
        std::size_t len = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        // The character and at least the terminator after it must fit.
        if (n + len + 1 > out_size) {
            out[n] = 0;
            return 0;
        }
        char* p = out + n;
        if (len == 1) {
            p[0] = char(cp);
        } else if (len == 2) {
            p[0] = char(0xC0 | (cp >> 6));
            p[1] = char(0x80 | (cp & 0x3F));
        } else if (len == 3) {
            p[0] = char(0xE0 | (cp >> 12));
            p[1] = char(0x80 | ((cp >> 6) & 0x3F));
            p[2] = char(0x80 | (cp & 0x3F));
        } else {
            p[0] = char(0xF0 | (cp >> 18));
            p[1] = char(0x80 | ((cp >> 12) & 0x3F));
            p[2] = char(0x80 | ((cp >> 6) & 0x3F));
            p[3] = char(0x80 | (cp & 0x3F));
        }
        n += len;
    }
    out[n] = 0;
    return n;
}
