// The frame encoder and the UTF-8 check of a receiver's outgoing stream: header boundaries,
// payloads in place and moved, refusals, the packet-length limits, and the text or binary
// choice against an independent well-formedness rule.
#include "frames.h"
#include "ws/ws.h"
#include <gtest/gtest.h>
#include <random>
#include <string>

using frames::bytes;

namespace {

struct receiver : G_WS {
    explicit receiver(int32_t v) {
        version = v;
        is_ws = 1;
    }
};

struct framed {
    uint8_t* start;
    uint64_t size;
};

framed frame_into(G_WS& ws, bytes& dst, const uint8_t* src, uint64_t n, uint64_t dst_size = 0) {
    uint64_t size = n;
    uint8_t* start = ws.encrypt(dst.data(), dst_size ? dst_size : dst.size(), src, &size);
    return {start, size};
}

} // namespace

// ------------------------------------------------------------------------ RFC 6455 frames

TEST(encoder, header_length_follows_the_payload_length) {
    struct header_case {
        uint64_t n;
        bytes header;
    };
    const std::vector<header_case> cases = {
        {1, {0x81, 0x01}},
        {3, {0x81, 0x03}},
        {125, {0x81, 0x7D}},
        {126, {0x81, 0x7E, 0x00, 0x7E}},
        {65535, {0x81, 0x7E, 0xFF, 0xFF}},
        {65536, {0x81, 0x7F, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00}},
        {70000, {0x81, 0x7F, 0, 0, 0, 0, 0, 0x01, 0x11, 0x70}},
    };
    for (const header_case& c : cases) {
        SCOPED_TRACE(c.n);
        receiver ws(13);
        bytes src(c.n, 'a');
        bytes dst(c.n + 10, 0xEE);
        framed f = frame_into(ws, dst, src.data(), c.n);
        ASSERT_NE(f.start, nullptr);
        EXPECT_EQ(f.start, dst.data() + 10 - c.header.size());
        EXPECT_EQ(f.size, c.n + c.header.size());
        EXPECT_EQ(bytes(f.start, f.start + c.header.size()), c.header);
        EXPECT_EQ(bytes(dst.begin() + 10, dst.end()), src);
    }
}

TEST(encoder, payload_ten_to_sixteen_bytes_in_stays_put_and_others_move) {
    for (uint64_t at : {0, 1, 9, 10, 13, 16, 17, 40}) {
        SCOPED_TRACE(at);
        receiver ws(13);
        bytes dst(64, 0xEE);
        bytes payload = frames::text("abc");
        std::memcpy(dst.data() + at, payload.data(), 3);
        bool in_place = at >= 10 && at <= 16;
        framed f = frame_into(ws, dst, dst.data() + at, 3);
        ASSERT_NE(f.start, nullptr);
        uint64_t place = in_place ? at : 10;
        EXPECT_EQ(f.start, dst.data() + place - 2);
        EXPECT_EQ(f.size, 5u);
        EXPECT_EQ(bytes(f.start, f.start + 5), (bytes{0x81, 0x03, 'a', 'b', 'c'}));
    }
}

TEST(encoder, payload_from_elsewhere_is_moved_behind_the_longest_header) {
    receiver ws(13);
    bytes dst(32, 0xEE);
    bytes src = frames::text("hello");
    framed f = frame_into(ws, dst, src.data(), src.size());
    ASSERT_EQ(f.start, dst.data() + 8);
    EXPECT_EQ(bytes(f.start, f.start + f.size), (bytes{0x81, 0x05, 'h', 'e', 'l', 'l', 'o'}));
}

TEST(encoder, payload_near_the_destination_that_would_not_fit_in_place_is_moved) {
    struct near_case {
        const char* name;
        int32_t version;
        uint64_t dst_size;
        uint64_t at; // where the payload lies, from dst
        uint64_t n;
        bytes frame;
        uint64_t frame_at;
    };
    const std::vector<near_case> cases = {
        {"two-key payload right past a small destination",
         8,
         12,
         12,
         3,
         {0x00, 'a', 'b', 'c', 0xFF},
         0},
        {"RFC 6455 payload running past the destination's end",
         13,
         20,
         16,
         8,
         {0x81, 0x08, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'},
         8},
    };
    for (const near_case& c : cases) {
        SCOPED_TRACE(c.name);
        receiver ws(c.version);
        bytes buffer(64, 0xEE);
        std::memcpy(buffer.data() + c.at, "abcdefgh", c.n);
        uint64_t size = c.n;
        uint8_t* start = ws.encrypt(buffer.data(), c.dst_size, buffer.data() + c.at, &size);
        ASSERT_EQ(start, buffer.data() + c.frame_at) << "framed, not refused";
        EXPECT_EQ(bytes(start, start + size), c.frame);
        EXPECT_LE(c.frame_at + size, c.dst_size);
    }
}

// ---------------------------------------------------------------------- two-key frames

TEST(encoder, two_key_frame_wraps_the_payload_in_its_markers) {
    receiver ws(8);
    bytes dst(16, 0xEE);
    bytes src = frames::text("abc");
    framed f = frame_into(ws, dst, src.data(), 3);
    ASSERT_EQ(f.start, dst.data());
    EXPECT_EQ(f.size, 5u);
    EXPECT_EQ(bytes(dst.begin(), dst.begin() + 5), (bytes{0x00, 'a', 'b', 'c', 0xFF}));
    EXPECT_EQ(dst[5], 0xEE);
}

TEST(encoder, two_key_payload_in_place_keeps_its_place) {
    receiver ws(8);
    bytes dst(32, 0xEE);
    std::memcpy(dst.data() + 12, "xyz", 3);
    framed f = frame_into(ws, dst, dst.data() + 12, 3);
    ASSERT_EQ(f.start, dst.data() + 11);
    EXPECT_EQ(bytes(f.start, f.start + 5), (bytes{0x00, 'x', 'y', 'z', 0xFF}));
}

TEST(encoder, two_key_receiver_is_refused_every_payload_holding_0xff) {
    // A two-key message ends at its first 0xFF: a payload holding one would end it early and
    // let the rest read as messages, or as a close, that nobody sent. RFC 6455 receivers
    // still get every such payload.
    struct ff_case {
        const char* name;
        bytes payload;
        bool two_key_gets_it;
    };
    bytes injection = frames::text("ATK-x");
    injection.push_back(0xFF);
    injection.push_back(0x00);
    bytes injected = frames::text("INJECTED-FRAME");
    injection.insert(injection.end(), injected.begin(), injected.end());
    injection.push_back(0xFF);
    const std::vector<ff_case> cases = {
        {"a message and a forged one after it", injection, false},
        {"0x00 0xFF, the two-key close", {0x00, 0xFF}, false},
        {"a lone 0xFF", {0xFF}, false},
        {"0xFF first", {0xFF, 'a', 'b'}, false},
        {"0xFF last", {'a', 'b', 0xFF}, false},
        {"every other byte value", {0x00, 0x01, 0x7F, 0x80, 0xC3, 0xFE, 'z'}, true},
    };
    for (const ff_case& c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t n = c.payload.size();
        for (bool in_place : {false, true}) {
            SCOPED_TRACE(in_place ? "in place" : "moved");
            receiver two_key(8);
            bytes dst(64, 0xEE);
            const uint8_t* src = c.payload.data();
            if (in_place) {
                std::memcpy(dst.data() + 12, src, n);
                src = dst.data() + 12;
            }
            bytes before = dst;
            framed f = frame_into(two_key, dst, src, n);
            ASSERT_EQ(f.start != nullptr, c.two_key_gets_it);
            if (!f.start) {
                EXPECT_EQ(f.size, n) << "size untouched";
                EXPECT_EQ(dst, before) << "nothing written";
                continue;
            }
            bytes expected{0x00};
            expected.insert(expected.end(), c.payload.begin(), c.payload.end());
            expected.push_back(0xFF);
            EXPECT_EQ(bytes(f.start, f.start + f.size), expected);
        }
        receiver rfc(13);
        bytes dst(64, 0xEE);
        framed f = frame_into(rfc, dst, c.payload.data(), n);
        ASSERT_NE(f.start, nullptr);
        EXPECT_EQ(bytes(f.start + 2, f.start + f.size), c.payload);
    }
}

// -------------------------------------------------------------------- refusals and limits

TEST(encoder, refusals_write_nothing_and_keep_the_text_state) {
    struct refusal {
        const char* name;
        int32_t version;
        bool null_dst;
        bool null_src;
        uint64_t size;
        uint64_t dst_size;
    };
    const std::vector<refusal> cases = {
        {"null destination", 13, true, false, 3, 64},
        {"null source", 13, false, true, 3, 64},
        {"size 0", 13, false, false, 0, 64},
        {"version 0 while is_ws is still set", 0, false, false, 3, 64},
        {"RFC 6455 payload one byte too long", 13, false, false, 55, 64},
        {"two-key payload one byte too long", 8, false, false, 63, 64},
        {"destination smaller than the header room", 13, false, false, 1, 10},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.name);
        receiver ws(c.version);
        ws.out_opcode = 1;
        ws.out_pending = 1;
        ws.out_at_start = 0;
        bytes dst(64, 0xEE), src(64, 0xC3), before = dst;
        uint64_t size = c.size;
        uint8_t* r = ws.encrypt(c.null_dst ? nullptr : dst.data(), c.dst_size,
                                c.null_src ? nullptr : src.data(), &size);
        EXPECT_EQ(r, nullptr);
        EXPECT_EQ(dst, before);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(ws.out_opcode, 1);
        EXPECT_EQ(ws.out_pending, 1);
    }
}

TEST(encoder, packet_length_4096_limits_both_framings) {
    struct limit {
        int32_t version;
        uint64_t n;
        bool framed;
    };
    for (const limit& c : {limit{13, 4086, true}, limit{13, 4087, false}, limit{8, 4094, true},
                           limit{8, 4095, false}}) {
        SCOPED_TRACE(std::to_string(c.version) + " " + std::to_string(c.n));
        receiver ws(c.version);
        bytes half(4096, 0xEE), src(c.n, 'q');
        framed f = frame_into(ws, half, src.data(), c.n, 4096);
        EXPECT_EQ(f.start != nullptr, c.framed);
        if (f.start) {
            EXPECT_GE(f.start, half.data());
            EXPECT_LE(f.start + f.size, half.data() + 4096);
        }
    }
}

// ------------------------------------------------------------------------ the UTF-8 check

namespace {

// One stream sent to one receiver: the payloads and the opcode each must go out with.
struct stream_case {
    const char* name;
    std::vector<bytes> payloads;
    std::vector<int32_t> opcodes;
    int32_t final_state; // out_opcode after the last payload
};

} // namespace

TEST(text_check, payload_sequences_choose_text_or_binary) {
    const std::vector<stream_case> cases = {
        {"ASCII", {frames::text("plain text")}, {1}, 1},
        {"2-byte character", {{0xC3, 0xA9}}, {1}, 1},
        {"Arabic letter", {{0xD8, 0xA7}}, {1}, 1},
        {"3-byte character", {{0xE0, 0xA4, 0x85}}, {1}, 1},
        {"4-byte character", {{0xF0, 0x9F, 0x98, 0x80}}, {1}, 1},
        {"largest code point", {{0xF4, 0x8F, 0xBF, 0xBF}}, {1}, 1},
        {"overlong 2-byte", {{0xC0, 0x80}, {'a'}}, {2, 2}, 2},
        {"overlong 3-byte", {{0xE0, 0x80, 0x80}, {'a'}}, {2, 2}, 2},
        {"overlong 4-byte", {{0xF0, 0x8F, 0xBF, 0xBF}}, {2}, 2},
        {"surrogate", {{0xED, 0xA0, 0x80}, {'a'}}, {2, 2}, 2},
        {"above U+10FFFF", {{0xF4, 0x90, 0x80, 0x80}}, {2}, 2},
        {"lead byte 0xF5", {{0xF5, 0x80, 0x80, 0x80}}, {2}, 2},
        {"lead byte 0xC1", {{0xC1, 0xBF}}, {2}, 2},
        {"ASCII inside a character", {{0xE2, 0x82, 'A'}}, {2}, 2},
        {"lead inside a character", {{0xC3, 0xC3, 0xA9}}, {2}, 2},
        {"continuation with nothing open", {{'a', 0x80}}, {2}, 2},
        {"0xFE after the start", {{'a', 0xFE}}, {2}, 2},
        // A payload that ends inside a character, or that completes one opened by the payload
        // before it, is not well-formed on its own: it goes out binary, the stream stays text.
        {"payload ending inside a 2-byte character",
         {{'a', 0xC3}, {0xA9, 'b'}, {'c'}},
         {2, 2, 1},
         1},
        {"payload ending inside a 3-byte character",
         {{'x', 0xE2, 0x82}, {0xAC, 'y'}, {'z'}},
         {2, 2, 1},
         1},
        {"3-byte character cut after its lead", {{0xE2}, {0x82, 0xAC, 'y'}, {'z'}}, {2, 2, 1}, 1},
        {"payload ending inside a 4-byte character",
         {{0xF0, 0x9F, 0x98}, {0x80, 'o', 'k'}, {'!'}},
         {2, 2, 1},
         1},
        {"4-byte character over three payloads",
         {{0xF0}, {0x9F, 0x98}, {0x80}, {'a'}},
         {2, 2, 2, 1},
         1},
        {"completion that opens the next character",
         {{0xC3}, {0xA9, 0xC3}, {0xA9}, {'a'}},
         {2, 2, 2, 1},
         1},
        {"whole characters around a cut one",
         {{0xC3, 0xA9, 0xE2}, {0x82, 0xAC}, {0xE2, 0x82, 0xAC}},
         {2, 2, 1},
         1},
        // An ill-formed completion switches to binary for good, across the boundary too.
        {"cut character continued by ASCII", {{0xE2, 0x82}, {0x41}, {0x42}}, {2, 2, 2}, 2},
        {"cut 2-byte character continued by a lead byte",
         {{0xC3}, {0xC3, 0xA9}, {'a'}},
         {2, 2, 2},
         2},
        {"narrowed range remembered across payloads", {{0xE0}, {0x80}, {'a'}}, {2, 2, 2}, 2},
        {"surrogate cut between payloads", {{0xED}, {0xA0, 0x80}, {'a'}}, {2, 2, 2}, 2},
        {"above U+10FFFF cut between payloads", {{'a', 0xF4}, {0x90, 0x80, 0x80}}, {2, 2}, 2},
        {"narrowed range allows its own bytes", {{0xE0}, {0xA0}, {0x80}, {'a'}}, {2, 2, 2, 1}, 1},
        {"stream starting inside a character", {{0x80, 0x41}, {0x42}}, {2, 1}, 1},
        {"three leading continuations are passed over", {{0x80, 0x80, 0x80, 'a'}}, {2}, 1},
        {"a fourth leading continuation is ill-formed", {{0x80, 0x80, 0x80, 0x80}}, {2}, 2},
        {"0xFF at the very start", {{0xFF, 0x41}, {'b'}}, {2, 1}, 1},
        {"0xFF after ASCII", {{0x41, 0xFF}}, {2}, 2},
        {"a lone 0xFF payload", {{0xFF}, {'a'}}, {2, 1}, 1},
        {"a lone 0x00 0xFF payload", {{'a'}, {0x00, 0xFF}, {'b'}}, {1, 2, 1}, 1},
        {"a lone 0xFF cutting into a character", {{0xC3}, {0xFF}, {'a'}}, {2, 2, 2}, 2},
        {"binary for good", {{0xC0}, frames::text("plain")}, {2, 2}, 2},
    };
    for (const stream_case& c : cases) {
        SCOPED_TRACE(c.name);
        receiver ws(13);
        ASSERT_EQ(c.payloads.size(), c.opcodes.size());
        for (size_t i = 0; i < c.payloads.size(); ++i) {
            EXPECT_EQ(ws.opcode(c.payloads[i].data(), c.payloads[i].size()), c.opcodes[i])
                << "payload " << i;
        }
        EXPECT_EQ(ws.out_opcode, c.final_state);
    }
}

TEST(text_check, frames_carry_the_chosen_opcode) {
    receiver ws(13);
    bytes dst(64);
    bytes text = frames::text("ok"), bad = {0xC0, 0x80};
    framed f = frame_into(ws, dst, text.data(), 2);
    EXPECT_EQ(f.start[0], 0x81);
    f = frame_into(ws, dst, bad.data(), 2);
    EXPECT_EQ(f.start[0], 0x82);
    f = frame_into(ws, dst, text.data(), 2);
    EXPECT_EQ(f.start[0], 0x82) << "once binary, ASCII still goes out binary";
}

TEST(text_check, two_key_receivers_are_not_judged) {
    receiver ws(8);
    bytes dst(64), bad = {0xC0, 0x80};
    frame_into(ws, dst, bad.data(), 2);
    EXPECT_EQ(ws.out_opcode, 1);
}

// ------------------------------------------- the check against an independent rule

namespace {

// Is s[0, n) a prefix of some well-formed UTF-8 string (RFC 3629)? Decodes code points
// arithmetically: a complete sequence must give a scalar value in the range its length
// allows; an incomplete final one must still be completable to such a value.
bool well_formed_prefix(const bytes& s, size_t n) {
    size_t i = 0;
    while (i < n) {
        uint8_t b = s[i];
        size_t len;
        uint32_t cp, least;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2, cp = b & 0x1F, least = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3, cp = b & 0x0F, least = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4, cp = b & 0x07, least = 0x10000;
        } else {
            return false;
        }
        size_t have = 1;
        while (have < len && i + have < n) {
            if ((s[i + have] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + have] & 0x3F);
            ++have;
        }
        uint32_t low = cp, high = cp;
        for (size_t k = have; k < len; ++k) low = low << 6, high = (high << 6) | 0x3F;
        bool possible = high >= least && low <= 0x10FFFF && !(low >= 0xD800 && high <= 0xDFFF);
        // A complete value must itself be allowed, not just its range.
        if (have == len)
            possible = cp >= least && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (!possible) return false;
        i += have;
    }
    return true;
}

// Is p well-formed UTF-8 taken alone: a well-formed prefix whose last character is complete?
// An ASCII byte after it would be ill-formed exactly when a character is still open.
bool well_formed_alone(bytes p) {
    p.push_back('A');
    return well_formed_prefix(p, p.size());
}

// Index of the first byte at which the stream stops being a well-formed prefix, or n.
size_t first_ill_formed(const bytes& s) {
    for (size_t k = 1; k <= s.size(); ++k)
        if (!well_formed_prefix(s, k)) return k - 1;
    return s.size();
}

void append_code_point(bytes& s, uint32_t cp) {
    if (cp < 0x80) {
        s.push_back(uint8_t(cp));
    } else if (cp < 0x800) {
        s.push_back(uint8_t(0xC0 | cp >> 6));
        s.push_back(uint8_t(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        s.push_back(uint8_t(0xE0 | cp >> 12));
        s.push_back(uint8_t(0x80 | ((cp >> 6) & 0x3F)));
        s.push_back(uint8_t(0x80 | (cp & 0x3F)));
    } else {
        s.push_back(uint8_t(0xF0 | cp >> 18));
        s.push_back(uint8_t(0x80 | ((cp >> 12) & 0x3F)));
        s.push_back(uint8_t(0x80 | ((cp >> 6) & 0x3F)));
        s.push_back(uint8_t(0x80 | (cp & 0x3F)));
    }
}

// A stream of random scalar values, some of its bytes then replaced by random ones.
bytes random_stream(std::mt19937& rng, int corruptions) {
    bytes s;
    int count = 1 + int(rng() % 24);
    for (int i = 0; i < count; ++i) {
        uint32_t cp;
        switch (rng() % 4) {
        case 0:
            cp = rng() % 0x80;
            break;
        case 1:
            cp = 0x80 + rng() % (0x800 - 0x80);
            break;
        case 2:
            cp = 0x800 + rng() % (0x10000 - 0x800);
            break;
        default:
            cp = 0x10000 + rng() % (0x110000 - 0x10000);
            break;
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x800; // scalar values only
        append_code_point(s, cp);
    }
    for (int k = 0; k < corruptions; ++k) s[rng() % s.size()] = uint8_t(rng());
    return s;
}

bool special_payload(const bytes& p) {
    return (p.size() == 1 && p[0] == 0xFF) || (p.size() == 2 && p[0] == 0x00 && p[1] == 0xFF);
}

// Cuts s into payloads at random points; none is one of the payloads the check passes over.
std::vector<std::pair<size_t, size_t>> random_cuts(std::mt19937& rng, const bytes& s) {
    for (;;) {
        std::vector<std::pair<size_t, size_t>> cuts;
        size_t at = 0;
        bool usable = true;
        while (at < s.size()) {
            size_t n = 1 + rng() % std::min<size_t>(s.size() - at, 9);
            bytes piece(s.begin() + long(at), s.begin() + long(at + n));
            if (special_payload(piece)) usable = false;
            cuts.emplace_back(at, n);
            at += n;
        }
        if (usable) return cuts;
    }
}

} // namespace

TEST(text_check, agrees_with_an_independent_well_formedness_rule) {
    std::mt19937 rng(3629);
    int well_formed_streams = 0, ill_formed_streams = 0, text_payloads = 0;
    for (int round = 0; round < 4000; ++round) {
        bytes s = random_stream(rng, round % 3 == 0 ? 0 : int(rng() % 3));
        // Start on a character boundary: the check passes over a start inside a character.
        if ((s[0] >= 0x80 && s[0] <= 0xC1) || s[0] >= 0xF5) continue;
        size_t bad = first_ill_formed(s);
        (bad == s.size() ? well_formed_streams : ill_formed_streams)++;
        receiver ws(13);
        for (auto [at, n] : random_cuts(rng, s)) {
            // Binary from the payload holding the first ill-formed byte on; before it, text
            // exactly for the payloads that are well-formed on their own.
            bytes piece(s.begin() + long(at), s.begin() + long(at + n));
            int32_t expected = bad < at + n || !well_formed_alone(piece) ? 2 : 1;
            text_payloads += expected == 1;
            ASSERT_EQ(ws.opcode(s.data() + at, n), expected)
                << "round " << round << " payload at " << at << " of " << n
                << ", first ill-formed byte at " << bad;
        }
    }
    // Both kinds of stream must have been exercised in quantity for the rule to mean much.
    EXPECT_GT(well_formed_streams, 1000);
    EXPECT_GT(ill_formed_streams, 1000);
    EXPECT_GT(text_payloads, 1000);
}
