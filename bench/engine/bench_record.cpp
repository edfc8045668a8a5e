// Self-checking payloads: layout, checksum and the checks a receiver applies to each record.
// The checksum is a two-lane Fletcher sum over 64-bit words, so reordered or stale bytes fail.
#include "bench/engine/bench_record.h"

#include <cstring>

namespace bench {
namespace {

constexpr char hex_digits[] = "0123456789abcdef";

void put_hex(std::uint8_t* p, std::uint64_t v, int digits) {
    for (int i = digits - 1; i >= 0; --i, v >>= 4)
        p[i] = static_cast<std::uint8_t>(hex_digits[v & 15]);
}

bool get_hex(const std::uint8_t* p, int digits, std::uint64_t* v) {
    std::uint64_t r = 0;
    for (int i = 0; i < digits; ++i) {
        std::uint8_t c = p[i];
        unsigned d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
        if (d > 15) return false;
        r = r << 4 | d;
    }
    *v = r;
    return true;
}

void lanes(const std::uint8_t* p, std::size_t n, std::uint64_t* a, std::uint64_t* b) {
    std::uint64_t x = 0, y = 0;
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        x += w;
        y += x;
    }
    *a = x;
    *b = y;
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b, const G_RECORD& r) {
    std::uint64_t h = a * 0x9E3779B97F4A7C15ull ^ b;
    h ^= (std::uint64_t(r.seq) << 24) ^ (std::uint64_t(r.sender) << 8) ^ std::uint64_t(r.kind);
    h ^= std::uint64_t(r.length) << 40;
    h *= 0xff51afd7ed558ccdull;
    return h ^ (h >> 33);
}

} // namespace

G_BODY body_make(unsigned sender, std::size_t record_size) {
    G_BODY body;
    body.bytes.resize(record_size - record_header);
    std::uint64_t s = 0x2545F4914F6CDD1Dull * (sender + 1);
    for (auto& c : body.bytes) {
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;
        c = static_cast<std::uint8_t>('a' + s % 26);
    }
    lanes(body.bytes.data(), body.bytes.size(), &body.a, &body.b);
    return body;
}

void record_write(std::uint8_t* p, const G_BODY& body, G_KIND kind, unsigned sender,
                  std::uint32_t seq) {
    G_RECORD r{kind, sender, seq, body.bytes.size() + record_header, 0};
    p[0] = '#';
    p[1] = static_cast<std::uint8_t>(kind);
    put_hex(p + 2, sender, 2);
    put_hex(p + 4, seq, 8);
    put_hex(p + 12, r.length, 4);
    put_hex(p + 16, mix(body.a, body.b, r), 16);
    std::memcpy(p + record_header, body.bytes.data(), body.bytes.size());
}

bool record_header_parse(const std::uint8_t* p, G_RECORD* out) {
    std::uint64_t sender, seq, length, sum;
    if (p[0] != '#') return false;
    if (p[1] != 'D' && p[1] != 'S' && p[1] != 'E') return false;
    if (!get_hex(p + 2, 2, &sender) || !get_hex(p + 4, 8, &seq) || !get_hex(p + 12, 4, &length) ||
        !get_hex(p + 16, 16, &sum))
        return false;
    if (length < record_header || length % 8 != 0) return false;
    *out = G_RECORD{static_cast<G_KIND>(p[1]), unsigned(sender), std::uint32_t(seq),
                    std::size_t(length), sum};
    return true;
}

bool record_check(const std::uint8_t* p, std::size_t length, G_RECORD* out) {
    if (length < record_header || !record_header_parse(p, out) || out->length != length)
        return false;
    std::uint64_t a, b;
    lanes(p + record_header, length - record_header, &a, &b);
    return mix(a, b, *out) == out->sum;
}

} // namespace bench
