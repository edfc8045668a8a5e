// Test helpers that build WebSocket frames and hold them in a buffer with the one writable byte
// after the data that the decoder may use for a terminator.
#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace frames {

using bytes = std::vector<uint8_t>;
using mask_key = std::array<uint8_t, 4>;

inline constexpr mask_key default_key = {0x37, 0xFA, 0x21, 0x3D};

enum class length_form { shortest, bits16, bits64 };

// A client frame: first byte, payload, masked with `key` unless `masked` is false, its length
// in the given form.
inline bytes make(uint8_t first, const bytes& payload, bool masked = true,
                  length_form form = length_form::shortest, mask_key key = default_key) {
    bytes f{first};
    uint64_t n = payload.size();
    uint8_t mask = masked ? 0x80 : 0;
    if (form == length_form::shortest && n <= 125) {
        f.push_back(uint8_t(mask | n));
    } else if (form != length_form::bits64 && n <= 0xFFFF) {
        f.push_back(uint8_t(mask | 126));
        f.push_back(uint8_t(n >> 8));
        f.push_back(uint8_t(n));
    } else {
        f.push_back(uint8_t(mask | 127));
        for (int i = 7; i >= 0; --i) f.push_back(uint8_t(n >> (8 * i)));
    }
    if (masked) f.insert(f.end(), key.begin(), key.end());
    for (uint64_t i = 0; i < n; ++i) f.push_back(masked ? payload[i] ^ key[i % 4] : payload[i]);
    return f;
}

inline bytes text(const char* s) {
    return bytes(s, s + std::strlen(s));
}

inline bytes join(std::initializer_list<bytes> parts) {
    bytes all;
    for (const bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Received bytes as the reader holds them: the data and one spare byte after it.
struct held {
    uint64_t offset; // where the data starts in storage
    uint64_t length; // bytes of data
    bytes storage;   // offset bytes, the data, one spare byte
    explicit held(const bytes& data, uint64_t at = 0)
        : offset(at), length(data.size()), storage(at + data.size() + 1, 0xEE) {
        if (!data.empty()) std::memcpy(storage.data() + at, data.data(), data.size());
    }
    uint8_t* data() { return storage.data() + offset; }
};

} // namespace frames
