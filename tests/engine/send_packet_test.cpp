// Handing one payload to one slot: when it is taken, where it goes, when it is refused and
// what is reported; and the release of every sender parked on a slot whose reader ends.
#include "engine_harness.h"

#include <atomic>

using namespace engine_testing;

namespace {

// A slot prepared as the engine prepares a used one, with a fake open socket and no threads.
struct target_slot {
    G_TASK t;
    uint8_t area[2 * 64 + 16] = {};
    target_slot() {
        t.send_base = area;
        t.current_half = area;
        t.half = 64;
        t.ws.tls.so.store(SOCKET(0x7FFF0001)); // looks open; never used: there is no writer
        t.ready.store(1);
    }
    ~target_slot() {
        t.ws.tls.so.store(INVALID_SOCKET);
        t.ws.tls.so_last = INVALID_SOCKET;
    }
    // What the writer does after each send: gives the send area back.
    void writer_done() { t.ev_free.set(); }
};

const uint8_t payload[] = "payload";

TEST(send_packet, payloads_alternate_between_the_two_halves) {
    target_slot s;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(send_packet(&s.t, 0, payload, 7));
        EXPECT_EQ(s.t.p_send, s.area + (i % 2) * 64);
        EXPECT_EQ(s.t.size_send, 7u);
        EXPECT_EQ(std::memcmp(s.t.p_send, payload, 7), 0);
        EXPECT_EQ(wait_bounded(s.t.ev_send), 0u); // the writer was signalled
        s.writer_done();
    }
}

TEST(send_packet, refusals_give_the_area_back_and_report_only_real_send_failures) {
    struct refusal {
        const char* name;
        int64_t send_result;
        uint32_t send_error;
        bool ready;
        bool socket_open;
        uint32_t generation_seen; // the slot is at generation 0
        uint64_t size;
        bool reported;
    };
    const refusal cases[] = {
        {"last send failed, other error", -1, WSAETIMEDOUT, true, true, 0, 7, true},
        {"last send failed, aborted", -1, WSAECONNABORTED, true, true, 0, 7, false},
        {"last send failed, reset", -1, WSAECONNRESET, true, true, 0, 7, false},
        {"connection changed since it was chosen", -1, WSAETIMEDOUT, true, true, 1, 7, false},
        {"not ready", 0, 0, false, true, 0, 7, false},
        {"socket closed", 0, 0, true, false, 0, 7, false},
        {"empty payload", 0, 0, true, true, 0, 0, false},
    };
    for (const refusal& c : cases) {
        console_capture console;
        target_slot s;
        s.t.send_result = c.send_result;
        s.t.send_error = c.send_error;
        s.t.ready.store(c.ready);
        if (!c.socket_open) s.t.ws.tls.so.store(INVALID_SOCKET);
        EXPECT_FALSE(send_packet(&s.t, c.generation_seen, payload, c.size)) << c.name;
        EXPECT_EQ(s.t.p_send, nullptr) << c.name;
        EXPECT_EQ(s.t.current_half, s.area) << c.name; // a refusal does not move the half
        std::string label = "!! send_packet() !! work_w() !! send(so, p_send, size_send, "
                            "SO_SEND_FLAGS)\n   ^ERROR: " +
                            std::to_string(c.send_error) + ", ";
        EXPECT_EQ(console.out().rfind(label, 0) == 0, c.reported) << c.name << console.out();
        if (!c.reported) {
            EXPECT_EQ(console.out(), "") << c.name;
        }
        // The area was given back: the next sender takes it at once.
        EXPECT_EQ(wait_bounded(s.t.ev_free), 0u) << c.name;
        s.writer_done();
    }
}

// The report of a failed send is written while the sender still holds the slot's token. The
// slot's reader takes that token before it ends the connection, so no report of a send to a
// connection ever comes after the connection's end line.
TEST(send_packet, failed_send_is_reported_while_the_token_is_held) {
    struct watch {
        G_TASK* slot;
        std::string text;
        bool token_free_while_reporting = false;
    };
    target_slot s;
    s.t.send_result = -1;
    s.t.send_error = WSAETIMEDOUT;
    watch w{&s.t, {}, false};
    win::con_set_sink(
        [](int, const char* text, std::size_t length, void* context) {
            auto* w = static_cast<watch*>(context);
            w->text.append(text, length);
            if (WaitForSingleObject(w->slot->ev_free.h_event, 0) == WAIT_OBJECT_0) {
                w->token_free_while_reporting = true;
                w->slot->ev_free.set();
            }
        },
        &w);
    EXPECT_FALSE(send_packet(&s.t, 0, payload, 7));
    win::con_set_sink(nullptr, nullptr);
    EXPECT_NE(w.text.find("   ^ERROR: 10060, "), std::string::npos) << w.text;
    EXPECT_FALSE(w.token_free_while_reporting);
    EXPECT_EQ(s.t.ev_free.wait(), 0u); // given back once the report is out
    s.writer_done();
}

TEST(send_packet, websocket_receiver_gets_a_frame_and_too_long_a_payload_is_dropped) {
    target_slot s;
    s.t.ws.is_ws = 1;
    s.t.ws.version = 13;
    s.t.ws.reset_text_state();
    ASSERT_TRUE(send_packet(&s.t, 0, payload, 7));
    ASSERT_EQ(s.t.size_send, 9u);
    EXPECT_EQ(s.t.p_send[0], 0x81);
    EXPECT_EQ(s.t.p_send[1], 7);
    EXPECT_EQ(std::memcmp(s.t.p_send + 2, payload, 7), 0);
    EXPECT_GE(s.t.p_send, s.area);
    EXPECT_LE(s.t.p_send + 9, s.area + 64);
    s.writer_done();
    uint8_t big[64] = {};
    EXPECT_TRUE(send_packet(&s.t, 0, big, 64 - 10)); // L - 10 fits
    s.writer_done();
    EXPECT_FALSE(send_packet(&s.t, 0, big, 64 - 9)); // one more does not, silently
    ASSERT_TRUE(area_free(s.t));
    s.t.ws.version = 0; // a closed conversation gets nothing
    EXPECT_FALSE(send_packet(&s.t, 0, payload, 7));
    EXPECT_TRUE(area_free(s.t));
}

TEST(send_packet, two_key_receiver_is_refused_a_payload_holding_0xff_like_one_too_long) {
    target_slot s;
    s.t.ws.is_ws = 1;
    s.t.ws.version = 8;
    console_capture console;
    const uint8_t forged[] = {'A', 0xFF, 0x00, 'B', 0xFF};
    EXPECT_FALSE(send_packet(&s.t, 0, forged, sizeof forged));
    EXPECT_EQ(s.t.p_send, nullptr);
    EXPECT_EQ(s.t.current_half, s.area); // the half is not used up
    EXPECT_EQ(console.out(), "");        // nothing reported
    ASSERT_TRUE(area_free(s.t)) << "the refusal gives the area back";
    ASSERT_TRUE(send_packet(&s.t, 0, payload, 7));
    const uint8_t framed[] = {0x00, 'p', 'a', 'y', 'l', 'o', 'a', 'd', 0xFF};
    ASSERT_EQ(s.t.size_send, sizeof framed);
    EXPECT_EQ(std::memcmp(s.t.p_send, framed, sizeof framed), 0);
    s.writer_done();
}

TEST(send_packet, every_sender_parked_on_a_closed_slot_is_released_and_refuses) {
    target_slot s;
    ASSERT_EQ(wait_bounded(s.t.ev_free), 0u); // a payload is in flight: the area is taken
    constexpr int senders = 6;
    std::atomic<int> refused{0};
    std::atomic<int> parked{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < senders; ++i) {
        threads.emplace_back([&] {
            parked.fetch_add(1);
            if (!send_packet(&s.t, 0, payload, 7)) refused.fetch_add(1);
        });
    }
    testing_support::within("the senders' start", bound_ms, [&] {
        while (parked.load() < senders) std::this_thread::yield();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let them reach the wait
    uint8_t* half_before = s.t.current_half;
    s.t.ready.store(0);
    s.t.ev_free.close(); // what the slot's reader does at its end
    testing_support::within("the release of the parked senders", bound_ms, [&] {
        for (auto& t : threads) t.join();
    });
    EXPECT_EQ(refused.load(), senders);
    EXPECT_EQ(s.t.current_half, half_before);
    EXPECT_EQ(s.t.p_send, nullptr);
}

} // namespace
