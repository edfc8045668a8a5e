// What the relay queues towards a receiver that has stopped reading: its socket to that
// receiver holds at most the larger of 256 KiB and two packets unsent, plus one segment, as the
// kernel reports it, however much a sender writes. At the default packet length, at 64 KiB
// packets (two of them below 256 KiB) and at 256 KiB packets (two of them above it).
#include "engine_harness.h"
#include "tests/support/tcp_probe.h"

#include <algorithm>

using namespace engine_testing;

namespace {

constexpr std::uint32_t unsent_floor = 256 * 1024;
constexpr int small_window = 4096; // the stalled receiver's fixed receive buffer
constexpr int quiet_ms = 1000;     // no room for the sender and no change at the relay this long

struct stall_case {
    std::vector<std::wstring> args;
    std::uint32_t length; // the packet length the relay settles on
};

// What the sender and the relay's socket towards the stalled receiver came to.
struct stall_result {
    bool blocked;        // the sender's sends stopped finding room, and the relay stopped moving
    std::size_t written; // bytes the sender got written
    testing_support::tcp_queue last; // the relay's socket when the sender was blocked
    std::uint32_t peak;              // the most it held unsent at any sample
    std::uint32_t mss;               // its largest segment size seen
};

// The sender writes without pause until its own sends block: no room came for quiet_ms while
// the relay's socket towards the receiver held the same count. That socket is sampled after
// every write and every wait, so the bound is held at each sample, not only at the end.
stall_result write_until_blocked(int sender, std::uint16_t relay_port, std::uint16_t receiver) {
    using clock = std::chrono::steady_clock;
    static std::uint8_t block[65536];
    stall_result r{false, 0, {false, 0, 0}, 0, 0};
    const auto deadline = clock::now() + std::chrono::seconds(60);
    auto moved = clock::now();
    while (clock::now() < deadline) {
        long n = bench::bench_send(sender, block, sizeof block);
        if (n > 0) {
            r.written += std::size_t(n);
            moved = clock::now();
        } else if (n == bench::io_would_block) {
            bench::G_POLL_ENTRY e{sender, false, true, false, false};
            bench::bench_poll(&e, 1, 50);
        } else {
            return r;
        }
        testing_support::tcp_queue q = testing_support::tcp_queue_of(relay_port, receiver);
        if (q.found != r.last.found || q.notsent != r.last.notsent) moved = clock::now();
        r.last = q;
        r.peak = std::max(r.peak, q.notsent);
        r.mss = std::max(r.mss, q.send_mss);
        if (clock::now() - moved >= std::chrono::milliseconds(quiet_ms)) {
            r.blocked = true;
            return r;
        }
    }
    return r;
}

class unsent_bound : public engine_test {};

TEST_F(unsent_bound, relay_socket_to_a_stalled_receiver_holds_its_bound_of_unsent_bytes) {
    const stall_case cases[] = {
        {{}, 4096},
        {{L"-L", L"65112"}, 65112},
        {{L"-L", L"262144"}, 262144},
    };
    for (const stall_case& c : cases) {
        SCOPED_TRACE(c.length);
        console_capture console;
        std::uint16_t port = free_port();
        std::vector<std::wstring> args = c.args;
        args.insert(args.end(), {L"-c", L"2"});
        running_engine e(port, args);
        ASSERT_EQ(packet_length, c.length);
        e.start();
        ASSERT_TRUE(console.wait_for(":: waiting for client connection...\n\n"));
        client_fds clients;
        int sender = clients.add(connect_raw(port));
        ASSERT_TRUE(sender >= 0 && send_all(sender, "s", 1));
        ASSERT_TRUE(wait_ready(1, bound_ms));
        int stalled =
            clients.add(testing_support::connect_small_window(port, small_window, bound_ms));
        ASSERT_TRUE(stalled >= 0 && send_all(stalled, "r", 1)); // ready, and never reads
        ASSERT_TRUE(wait_ready(2, bound_ms));
        ASSERT_TRUE(bench::bench_set_nonblocking(sender));

        stall_result r = write_until_blocked(sender, port, testing_support::local_port_of(stalled));
        ASSERT_TRUE(r.blocked) << "the sender was never held up; written " << r.written;
        ASSERT_TRUE(r.last.found) << "no socket of the relay to the stalled receiver";
        EXPECT_GT(r.last.notsent, 0u) << "the relay held nothing for the stalled receiver";
        const std::uint32_t bound = std::max(unsent_floor, 2 * c.length) + r.mss;
        EXPECT_LE(r.peak, bound) << "unsent at the end " << r.last.notsent << ", segment " << r.mss
                                 << ", written " << r.written;
        std::printf("[ unsent   ] -L %u: written %zu, unsent %u at the end, %u at most, "
                    "bound %u\n",
                    c.length, r.written, r.last.notsent, r.peak, bound);
    }
}

} // namespace
