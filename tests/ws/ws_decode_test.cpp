// The frame decoder: both framings, every result, frames cut at every byte, several frames in
// one read, unmasking, 64-bit lengths, and the close reply through a real transport.
#include "frames.h"
#include "loopback.h"
#include "ws/ws.h"
#include <gtest/gtest.h>
#include <random>
#include <string>

using frames::bytes;
using frames::held;
using frames::length_form;
using frames::make;

namespace {

struct ws13 : G_WS {
    ws13() { version = 13; }
};
struct ws8 : G_WS {
    ws8() { version = 8; }
};

struct outcome {
    int64_t result;
    bool incomplete;
    bytes payload; // compared only for a positive result
};

outcome decode(G_WS& ws, held& h) {
    uint8_t* payload = nullptr;
    int64_t r = ws.decrypt(h.data(), h.length, &payload);
    outcome o{r, ws.incomplete != 0, {}};
    if (r > 0 && !ws.incomplete) o.payload.assign(payload, payload + r);
    return o;
}

const bytes hello = frames::text("Hello");

} // namespace

// ---------------------------------------------------------------- one frame, every result

struct single_case {
    const char* name;
    bytes frame;
    int64_t result;
    bool incomplete;
    bytes payload;
};

TEST(decoder, single_frames_give_the_results_of_their_kind) {
    std::vector<single_case> cases = {
        {"masked text", make(0x81, hello), 5, false, hello},
        {"unmasked text is accepted unchanged", make(0x81, hello, false), 5, false, hello},
        {"binary", make(0x82, hello), 5, false, hello},
        {"length 5 in the 16-bit form", make(0x81, hello, true, length_form::bits16), 5, false,
         hello},
        {"length 5 in the 64-bit form", make(0x81, hello, true, length_form::bits64), 5, false,
         hello},
        {"close without FIN", make(0x08, {}), 0, false, {}},
        {"ping gets no pong", make(0x89, hello), 0, false, {}},
        {"pong", make(0x8A, hello), 0, false, {}},
        {"close with RSV1", make(0xC8, {0x03, 0xE8}), -1, false, {}},
        {"text with RSV1", make(0xC1, hello), -1, false, {}},
        {"text with RSV2", make(0xA1, hello), -1, false, {}},
        {"text with RSV3", make(0x91, hello), -1, false, {}},
        {"final continuation with nothing open", make(0x80, hello), -2, false, {}},
        {"continuation with nothing open", make(0x00, hello), -2, false, {}},
        {"one byte held", {0x81}, 1, true, {}},
        {"16-bit length with 3 bytes held", {0x81, 0xFE, 0x00}, 3, true, {}},
        {"64-bit length with 9 bytes held", {0x81, 0xFF, 0, 0, 0, 0, 0, 0, 0}, 9, true, {}},
        {"2 of 4 key bytes held", {0x81, 0x85, 0x37, 0xFA}, 4, true, {}},
        {"header and key but no payload", {0x81, 0x85, 1, 2, 3, 4}, 0, true, {}},
        {"three of five payload bytes", {0x81, 0x85, 1, 2, 3, 4, 9, 9, 9}, 3, true, {}},
    };
    for (uint8_t op : {3, 4, 5, 6, 7, 11, 12, 13, 14, 15}) {
        cases.push_back(
            {"reserved opcode with FIN", make(uint8_t(0x80 | op), hello), 0, false, {}});
        cases.push_back({"reserved opcode without FIN", make(op, hello), 0, false, {}});
    }
    for (const single_case& c : cases) {
        SCOPED_TRACE(c.name);
        ws13 ws;
        held h(c.frame);
        outcome o = decode(ws, h);
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(o.incomplete, c.incomplete);
        EXPECT_EQ(ws.has_more, 0);
        EXPECT_EQ(ws.version, 13) << "only a close ends framing";
        if (c.result > 0) {
            EXPECT_EQ(o.payload, c.payload);
        }
    }
}

TEST(decoder, close_frame_or_empty_buffer_closes_even_with_one_byte_held) {
    for (bytes data : {make(0x88, {0x03, 0xE8}), bytes{0x88}, bytes{}}) {
        ws13 ws;
        held h(data);
        EXPECT_EQ(decode(ws, h).result, -8);
        EXPECT_EQ(ws.version, 0);
        EXPECT_EQ(ws.incomplete, 0);
    }
}

TEST(decoder, payload_is_followed_by_a_terminator_even_past_the_data) {
    ws13 ws;
    held h(make(0x81, hello));
    uint8_t* payload = nullptr;
    ASSERT_EQ(ws.decrypt(h.data(), h.length, &payload), 5);
    EXPECT_EQ(payload + 5, h.data() + h.length) << "the frame fills the bytes held";
    EXPECT_EQ(payload[5], 0);
    EXPECT_EQ(ws.has_more, 0);
}

// ------------------------------------------------------------- frames cut at every byte

struct cut_case {
    const char* name;
    bytes frame;
    uint64_t header; // header bytes including the masking key
    bytes payload;
};

TEST(decoder, frame_cut_at_every_byte_is_incomplete_then_whole) {
    bytes long_payload(300);
    for (size_t i = 0; i < long_payload.size(); ++i) long_payload[i] = uint8_t(i * 7);
    std::vector<cut_case> cases = {
        {"short masked", make(0x81, hello), 6, hello},
        {"short unmasked", make(0x82, hello, false), 2, hello},
        {"16-bit masked", make(0x82, long_payload), 8, long_payload},
        {"64-bit masked", make(0x81, hello, true, length_form::bits64), 14, hello},
        {"64-bit unmasked", make(0x81, long_payload, false, length_form::bits64), 10, long_payload},
    };
    for (const cut_case& c : cases) {
        for (uint64_t cut = 1; cut < c.frame.size(); ++cut) {
            SCOPED_TRACE(std::string(c.name) + " cut at " + std::to_string(cut));
            ws13 ws;
            held h(c.frame);
            h.length = cut; // only the first `cut` bytes have arrived
            outcome part = decode(ws, h);
            EXPECT_TRUE(part.incomplete);
            EXPECT_EQ(part.result, int64_t(cut < c.header ? cut : cut - c.header));
            h.length = c.frame.size(); // the rest has arrived behind them
            outcome whole = decode(ws, h);
            EXPECT_FALSE(whole.incomplete);
            EXPECT_EQ(whole.payload, c.payload);
        }
    }
}

TEST(decoder, final_continuation_cut_by_a_read_is_accepted_with_the_rest) {
    bytes last = make(0x80, hello);
    for (uint64_t cut = 1; cut < last.size(); ++cut) {
        SCOPED_TRACE(cut);
        ws13 ws;
        held first(make(0x01, hello));
        ASSERT_EQ(decode(ws, first).result, 5);
        ASSERT_EQ(ws.in_fragment, 1);
        held h(last);
        h.length = cut;
        EXPECT_TRUE(decode(ws, h).incomplete);
        EXPECT_EQ(ws.in_fragment, 1) << "an incomplete final frame leaves the message open";
        h.length = last.size();
        outcome o = decode(ws, h);
        EXPECT_EQ(o.result, 5);
        EXPECT_EQ(ws.in_fragment, 0);
    }
}

// ------------------------------------------------------------ several frames in one read

TEST(decoder, two_and_three_frames_in_one_read_restore_the_saved_byte) {
    bytes second_payload = frames::text("second frame");
    bytes third_payload(200, 0x5A);
    bytes f1 = make(0x81, hello), f2 = make(0x82, second_payload, false),
          f3 = make(0x81, third_payload);
    for (int count : {2, 3}) {
        SCOPED_TRACE(count);
        bytes data = count == 2 ? frames::join({f1, f2}) : frames::join({f1, f2, f3});
        ws13 ws;
        held h(data);
        uint8_t* frame = h.data();
        uint64_t left = h.length;
        std::vector<bytes> got;
        for (int i = 0; i < count; ++i) {
            uint8_t* payload = nullptr;
            int64_t r = ws.decrypt(frame, left, &payload);
            ASSERT_FALSE(ws.incomplete);
            ASSERT_GT(r, 0);
            got.emplace_back(payload, payload + r);
            EXPECT_EQ(ws.has_more, i + 1 < count ? 1 : 0);
            if (ws.has_more) {
                EXPECT_EQ(payload[r], 0) << "the next frame's first byte holds the terminator";
                EXPECT_EQ(ws.saved_byte, data[uint64_t(payload + r - h.data())]);
            }
            left -= uint64_t(payload + r - frame);
            frame = payload + r;
        }
        EXPECT_EQ(got[0], hello);
        EXPECT_EQ(got[1], second_payload);
        if (count == 3) {
            EXPECT_EQ(got[2], third_payload);
        }
    }
}

TEST(decoder, frame_after_a_frame_is_incomplete_when_cut_and_then_decoded_whole) {
    bytes f2 = make(0x82, frames::text("tail"));
    bytes data = frames::join({make(0x81, hello), f2});
    for (uint64_t cut = 1; cut < f2.size(); ++cut) {
        SCOPED_TRACE(cut);
        ws13 ws;
        held h(data);
        h.length = data.size() - f2.size() + cut;
        uint8_t* payload = nullptr;
        ASSERT_EQ(ws.decrypt(h.data(), h.length, &payload), 5);
        ASSERT_EQ(ws.has_more, 1);
        uint8_t* next = payload + 5;
        uint64_t rest = h.length - uint64_t(next - h.data());
        ws.decrypt(next, rest, &payload);
        ASSERT_TRUE(ws.incomplete);
        // The reader carries the incomplete frame to the start of its buffer and reads the
        // rest behind it: the restored first byte must travel with it.
        bytes carried(next, next + rest);
        carried.insert(carried.end(), f2.begin() + long(cut), f2.end());
        EXPECT_EQ(carried, f2);
        held whole(carried);
        outcome o = decode(ws, whole);
        EXPECT_FALSE(o.incomplete);
        EXPECT_EQ(o.payload, frames::text("tail"));
    }
}

TEST(decoder, close_after_a_frame_in_the_same_read_is_recognised_by_its_restored_byte) {
    ws13 ws;
    held h(frames::join({make(0x81, hello), make(0x88, {0x03, 0xE8})}));
    uint8_t* payload = nullptr;
    ASSERT_EQ(ws.decrypt(h.data(), h.length, &payload), 5);
    ASSERT_EQ(payload[5], 0);
    uint64_t rest = h.length - uint64_t(payload + 5 - h.data());
    EXPECT_EQ(ws.decrypt(payload + 5, rest, &payload), -8);
    EXPECT_EQ(ws.version, 0);
}

// --------------------------------------------------------------------- fragmented messages

TEST(decoder, fragment_sequences_follow_the_open_message) {
    struct step {
        uint8_t first;
        int64_t result;
        uint8_t in_fragment_after;
    };
    struct sequence {
        const char* name;
        std::vector<step> steps;
    };
    std::vector<sequence> cases = {
        {"text, continuation, final continuation, then a stray final",
         {{0x01, 5, 1}, {0x00, 5, 1}, {0x80, 5, 0}, {0x80, -2, 0}}},
        {"a new text frame while a message is open closes it", {{0x02, 5, 1}, {0x81, 5, 0}}},
        {"a new unfinished message while one is open", {{0x01, 5, 1}, {0x02, 5, 1}}},
        {"continuation right away", {{0x00, -2, 0}}},
    };
    for (const sequence& c : cases) {
        SCOPED_TRACE(c.name);
        ws13 ws;
        for (const step& s : c.steps) {
            held h(make(s.first, hello));
            outcome o = decode(ws, h);
            EXPECT_EQ(o.result, s.result) << int(s.first);
            if (s.result > 0) {
                EXPECT_EQ(o.payload, hello);
            }
            EXPECT_EQ(ws.in_fragment, s.in_fragment_after) << int(s.first);
        }
    }
}

// ------------------------------------------------------------------- empty data frames

TEST(decoder, empty_data_frame_is_passed_over_and_the_next_frame_decoded) {
    struct empty_case {
        const char* name;
        bytes empty;
        uint8_t in_fragment_before;
        uint8_t in_fragment_after;
    };
    std::vector<empty_case> cases = {
        {"empty masked text", make(0x81, {}), 0, 0},
        {"empty unmasked binary", make(0x82, {}, false), 0, 0},
        {"empty text opening a message", make(0x01, {}), 0, 1},
        {"empty continuation", make(0x00, {}), 1, 1},
        {"empty final continuation", make(0x80, {}), 1, 0},
        {"empty in the 64-bit form", make(0x81, {}, true, length_form::bits64), 0, 0},
    };
    for (const empty_case& c : cases) {
        SCOPED_TRACE(c.name);
        // Alone: a complete frame, nothing to relay, the conversation goes on.
        ws13 alone;
        alone.in_fragment = c.in_fragment_before;
        held h1(c.empty);
        uint8_t* payload = nullptr;
        EXPECT_EQ(alone.decrypt(h1.data(), h1.length, &payload), 0);
        EXPECT_EQ(alone.empty_frame, 1);
        EXPECT_EQ(alone.incomplete, 0);
        EXPECT_EQ(alone.has_more, 0);
        EXPECT_EQ(alone.version, 13);
        EXPECT_EQ(alone.in_fragment, c.in_fragment_after);

        // Followed by a frame in the same read: that frame begins at payload + 0.
        ws13 ws;
        ws.in_fragment = c.in_fragment_before;
        held h2(frames::join({c.empty, make(0x81, hello)}));
        ASSERT_EQ(ws.decrypt(h2.data(), h2.length, &payload), 0);
        ASSERT_EQ(ws.empty_frame, 1);
        ASSERT_EQ(ws.has_more, 1);
        uint64_t rest = h2.length - uint64_t(payload - h2.data());
        int64_t r = ws.decrypt(payload, rest, &payload);
        EXPECT_EQ(r, 5);
        EXPECT_EQ(ws.empty_frame, 0);
        EXPECT_EQ(bytes(payload, payload + 5), hello);
    }
}

TEST(decoder, control_frames_are_not_taken_for_empty_data_frames) {
    for (uint8_t first : {0x89, 0x8A, 0x08, 0x83}) {
        ws13 ws;
        held h(make(first, {}));
        uint8_t* payload = nullptr;
        EXPECT_EQ(ws.decrypt(h.data(), h.length, &payload), 0);
        EXPECT_EQ(ws.empty_frame, 0) << int(first);
    }
}

// -------------------------------------------------------------------------- unmasking

TEST(decoder, unmasking_equals_the_bytewise_rule_for_every_length_and_alignment) {
    std::mt19937 rng(6455);
    for (uint64_t n = 0; n <= 64; ++n) {
        for (uint64_t align = 0; align < 8; ++align) {
            bytes payload(n);
            for (auto& b : payload) b = uint8_t(rng());
            frames::mask_key key = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
            bytes frame = make(0x82, payload, true, length_form::shortest, key);
            ws13 ws;
            held h(frame, align);
            uint8_t* p = nullptr;
            int64_t r = ws.decrypt(h.data(), h.length, &p);
            ASSERT_EQ(r, int64_t(n));
            ASSERT_FALSE(ws.incomplete);
            bytes expected(n);
            for (uint64_t i = 0; i < n; ++i) expected[i] = frame[6 + i] ^ key[i % 4];
            EXPECT_EQ(bytes(p, p + n), expected) << "length " << n << " alignment " << align;
            EXPECT_EQ(expected, payload);
        }
    }
}

// -------------------------------------------------------------------- 64-bit lengths

TEST(decoder, huge_64_bit_lengths_stay_incomplete_without_overflow) {
    const uint64_t lengths[] = {0x8000000000000000ull,
                                0xFFFFFFFFFFFFFFFFull,
                                0xFFFFFFFFFFFFFFF6ull,
                                0xFFFFFFFFFFFFFFF2ull,
                                0x7FFFFFFFFFFFFFFFull,
                                0x0000000100000000ull,
                                64};
    for (uint64_t n : lengths) {
        for (bool masked : {false, true}) {
            SCOPED_TRACE(std::to_string(n) + (masked ? " masked" : " unmasked"));
            bytes frame = {0x82, uint8_t((masked ? 0x80 : 0) | 127)};
            for (int i = 7; i >= 0; --i) frame.push_back(uint8_t(n >> (8 * i)));
            if (masked) frame.insert(frame.end(), {1, 2, 3, 4});
            uint64_t header = frame.size();
            frame.insert(frame.end(), 20, 0x41); // 20 payload bytes held
            ws13 ws;
            held h(frame);
            uint8_t* payload = nullptr;
            int64_t r = ws.decrypt(h.data(), h.length, &payload);
            EXPECT_EQ(ws.incomplete, 1);
            EXPECT_EQ(r, int64_t(h.length - header));
            EXPECT_EQ(ws.has_more, 0);
            EXPECT_EQ(h.storage.back(), 0xEE) << "nothing written past the data";
        }
    }
}

TEST(decoder, sixteen_bit_length_beyond_the_data_is_incomplete) {
    ws13 ws;
    held h({0x82, 0x7E, 0xFF, 0xFF, 1, 2, 3});
    uint8_t* payload = nullptr;
    EXPECT_EQ(ws.decrypt(h.data(), h.length, &payload), 3);
    EXPECT_EQ(ws.incomplete, 1);
}

// -------------------------------------------------------------------- two-key framing

TEST(decoder, two_key_framing_cases) {
    struct case76 {
        const char* name;
        bytes data;
        int64_t result;
        bool incomplete;
        bool has_more;
        int32_t version_after;
    };
    const std::vector<case76> cases = {
        {"one message", {0x00, 'a', 'b', 'c', 0xFF}, 3, false, false, 8},
        {"message followed by another",
         {0x00, 'a', 'b', 'c', 0xFF, 0x00, 'd', 0xFF},
         3,
         false,
         true,
         8},
        {"no terminator yet", {0x00, 'a'}, 2, true, false, 8},
        {"only the start byte", {0x00}, 1, true, false, 8},
        {"empty message closes", {0x00, 0xFF}, -8, false, false, 0},
        {"starts with 0xFF", {0xFF, 0x00}, -1, false, false, 8},
        {"starts with a letter", {'a', 0xFF}, -1, false, false, 8},
        {"message bytes are not examined", {0x00, 0x00, 0x80, 0xFE, 0xFF}, 3, false, false, 8},
    };
    for (const case76& c : cases) {
        SCOPED_TRACE(c.name);
        ws8 ws;
        held h(c.data);
        uint8_t* payload = nullptr;
        int64_t r = ws.decrypt(h.data(), h.length, &payload);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(ws.incomplete != 0, c.incomplete);
        EXPECT_EQ(ws.has_more != 0, c.has_more);
        EXPECT_EQ(ws.version, c.version_after);
        if (r > 0 && !c.incomplete) {
            EXPECT_EQ(payload, h.data() + 1);
            EXPECT_EQ(payload[r], 0) << "the 0xFF became the terminator";
        }
    }
}

TEST(decoder, two_key_next_message_starts_past_the_terminator) {
    ws8 ws;
    held h({0x00, 'a', 'b', 'c', 0xFF, 0x00, 'd', 0xFF});
    uint8_t* payload = nullptr;
    ASSERT_EQ(ws.decrypt(h.data(), h.length, &payload), 3);
    ASSERT_EQ(ws.has_more, 1);
    uint8_t* next = payload + 3 + 1;
    EXPECT_EQ(ws.decrypt(next, h.length - uint64_t(next - h.data()), &payload), 1);
    EXPECT_EQ(payload[0], 'd');
    EXPECT_EQ(ws.has_more, 0);
}

TEST(decoder, two_key_message_cut_at_every_byte_is_incomplete_then_whole) {
    bytes data = {0x00, 'r', 'e', 'l', 'a', 'y', 0xFF};
    for (uint64_t cut = 1; cut < data.size(); ++cut) {
        ws8 ws;
        held h(data);
        h.length = cut;
        uint8_t* payload = nullptr;
        EXPECT_EQ(ws.decrypt(h.data(), h.length, &payload), int64_t(cut));
        EXPECT_EQ(ws.incomplete, 1);
        h.length = data.size();
        EXPECT_EQ(ws.decrypt(h.data(), h.length, &payload), 5);
        EXPECT_EQ(bytes(payload, payload + 5), frames::text("relay"));
    }
}

// ---------------------------------------------------------- the close reply on the wire

TEST(decoder, close_reply_is_sent_through_a_plain_transport) {
    for (bool after_a_frame : {false, true}) {
        SCOPED_TRACE(after_a_frame);
        loopback::pair p = loopback::make();
        ASSERT_NE(p.client, INVALID_SOCKET);
        loopback::recv_timeout(p.client, 5000);
        {
            ws13 ws;
            ws.tls.so = p.server;
            ws.tls.so_last = p.server;
            held h(after_a_frame ? frames::join({make(0x81, hello), make(0x88, {0x03, 0xE8})})
                                 : make(0x88, {0x03, 0xE8}));
            uint8_t* frame = h.data();
            uint64_t left = h.length;
            uint8_t* payload = nullptr;
            if (after_a_frame) {
                ASSERT_EQ(ws.decrypt(frame, left, &payload), 5);
                left -= uint64_t(payload + 5 - frame);
                frame = payload + 5;
            }
            EXPECT_EQ(ws.decrypt(frame, left, &payload), -8);
            EXPECT_EQ(loopback::recv_exact(p.client, 4), std::string("\x88\x02\x03\xE8", 4));
            ws.tls.close();
            EXPECT_EQ(ws.tls.so.load(), INVALID_SOCKET);
        }
        EXPECT_TRUE(loopback::peer_closed(p.client)) << "the transport closed its socket";
        closesocket(p.client);
    }
}

TEST(decoder, malformed_and_control_frames_send_nothing) {
    loopback::pair p = loopback::make();
    ASSERT_NE(p.client, INVALID_SOCKET);
    {
        ws13 ws;
        ws.tls.so = p.server;
        for (bytes f : {make(0x89, hello), make(0x08, {}), make(0xC8, {}), make(0x80, {})}) {
            held h(f);
            uint8_t* payload = nullptr;
            EXPECT_LE(ws.decrypt(h.data(), h.length, &payload), 0);
        }
        ws.tls.close();
    }
    loopback::recv_timeout(p.client, 5000);
    EXPECT_TRUE(loopback::peer_closed(p.client)) << "no byte came before the close";
    closesocket(p.client);
}
