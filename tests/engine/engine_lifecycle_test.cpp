// The engine's life in-process: the buffer layout and settings it publishes, the slots it
// prepares, the end of service after an interrupted or a failed accept, the accept error of a
// broken pending connection passed over, a slot that lacks an event, and the exit statuses of
// the program's failures.
#include "engine_harness.h"
#include "platform/internal/fault.h"

#include <cerrno>

using namespace engine_testing;

namespace {

struct layout_case {
    std::vector<std::wstring> args;
    uint64_t length;      // settled packet length L
    uint64_t rounded;     // E: L rounded up to 4096
    uint16_t connections; // slots in use
};

class engine_lifecycle : public engine_test {};

TEST_F(engine_lifecycle, slots_are_laid_out_in_the_arena_and_settings_published) {
    const uint64_t large = 2097152;
    const layout_case cases[] = {
        {{L"-c", L"5"}, 4096, 4096, 5},
        {{L"-c", L"3", L"-L", L"5000"}, 5000, 8192, 3},
        {{L"-c", L"2", L"-L", L"0"}, large, large, 2},
        {{L"-c", L"1", L"-L", L"-1"}, large, large, 1},
        {{L"-c", L"1", L"-L", L"1"}, 1, 4096, 1},
        {{L"-c", L"32", L"-L", L"8192"}, 8192, 8192, 32},
    };
    for (const layout_case& c : cases) {
        console_capture console;
        command_line line(c.args);
        auto engine = std::make_unique<G_SOCKET>(line.argc(), line.argv.data());
        ASSERT_EQ(engine->configured, 1);
        EXPECT_EQ(engine->cfg.packet_length_r, c.length);
        EXPECT_EQ(packet_length, c.length);
        EXPECT_EQ(packet_length_x2, 2 * c.length);
        EXPECT_EQ(stack_reservation, engine->ram.granularity);
        EXPECT_EQ(tasks, &engine->tasks[0]);
        EXPECT_EQ(connection_count, c.connections);
        const uint64_t bytes = 3 * c.rounded * c.connections;
        EXPECT_EQ(engine->ram.units, (bytes + large - 1) / large);
        auto* arena = static_cast<uint8_t*>(engine->ram.p_arena);
        for (uint32_t i = 0; i < max_connections; ++i) {
            G_TASK& t = engine->tasks[i];
            EXPECT_EQ(t.slot_number, i);
            EXPECT_TRUE(t.ev_send.valid.load() && t.ev_free.valid.load());
            if (i < c.connections) {
                EXPECT_EQ(t.pRAM, arena + 3 * c.rounded * i);
                EXPECT_EQ(t.send_base, t.pRAM + c.rounded);
                EXPECT_EQ(t.current_half, t.send_base);
                EXPECT_EQ(t.half, c.length);
                EXPECT_EQ(t.toggle, 0);
                EXPECT_EQ(t.ws.tls.p_recv, t.pRAM);
                EXPECT_EQ(t.ws.tls.p_recv_size, c.length);
                EXPECT_EQ(t.run.load(), 1);
                EXPECT_TRUE(t.thread_r.started && t.thread_w.started);
                EXPECT_TRUE(t.ev_start_r.valid.load() && t.ev_start_w.valid.load());
            } else {
                EXPECT_EQ(t.pRAM, nullptr);
                EXPECT_EQ(t.run.load(), 0);
                EXPECT_FALSE(t.thread_r.started || t.thread_w.started);
                EXPECT_FALSE(t.ev_start_r.valid.load() || t.ev_start_w.valid.load());
            }
        }
        // Never served: the destructor wakes and joins every parked thread.
        testing_support::within("the engine's end", bound_ms, [&] { engine.reset(); });
        EXPECT_EQ(console.out().find("!!"), std::string::npos) << console.out();
    }
}

TEST_F(engine_lifecycle, help_builds_slots_but_no_arena_and_no_thread) {
    console_capture console;
    command_line line({L"-h"});
    auto engine = std::make_unique<G_SOCKET>(line.argc(), line.argv.data());
    EXPECT_EQ(engine->configured, 0);
    EXPECT_EQ(engine->ram.p_arena, nullptr);
    EXPECT_EQ(slot_counter, max_connections);
    for (uint32_t i = 0; i < max_connections; ++i) {
        EXPECT_EQ(engine->tasks[i].slot_number, i);
        EXPECT_FALSE(engine->tasks[i].thread_r.started);
    }
    engine.reset();
    EXPECT_EQ(console.err(), "");
}

TEST_F(engine_lifecycle, interrupted_accept_closes_the_listener_once_and_the_program_ends) {
    console_capture console;
    reset_engine_globals();
    std::uint16_t port = free_port();
    command_line line({L"-p", std::to_wstring(port), L"-c", L"4"});
    win::fault_inject("accept", WSAEINTR, 0, 1);
    int result = -1;
    testing_support::within("the program", bound_ms,
                            [&] { result = relay_main(line.argc(), line.argv.data()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(so_listen.load(), INVALID_SOCKET);
    EXPECT_EQ(stop.load(), 1);
    std::string out = console.out();
    EXPECT_NE(out.find("RAW WS  max connections: 4\n:: waiting for client connection...\n\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("!!"), std::string::npos) << out; // every reader ends in silence
    EXPECT_LT(connect_raw(port), 0);                     // nothing listens any more
}

TEST_F(engine_lifecycle, interrupted_accept_lets_a_served_connection_finish) {
    console_capture console;
    std::uint16_t port = free_port();
    running_engine e(port, {L"-c", L"2"});
    e.start();
    ASSERT_TRUE(console.wait_for(":: waiting for client connection...\n\n"));
    int a = connect_ws(port);
    int b = connect_ws(port);
    ASSERT_TRUE(a >= 0 && b >= 0 && wait_ready(2));
    e.interrupt(); // both readers are serving: they finish their connections, then end
    uint8_t frame[64];
    std::size_t n = client_frame(0x81, "after", 5, frame);
    ASSERT_TRUE(send_all(a, frame, n));
    uint8_t op = 0, payload[16];
    EXPECT_EQ(read_server_frame(b, &op, payload, sizeof payload), 5);
    bench::bench_close(a);
    bench::bench_close(b);
    e.join();
    EXPECT_EQ(console.count(".fin  active"), 2u);
}

TEST_F(engine_lifecycle, failed_accept_reports_once_and_each_other_reader_serves_one_more) {
    console_capture console;
    std::uint16_t port = free_port();
    running_engine e(port, {L"-c", L"2"});
    // The second accept fails: the first is then blocked already (a reader released after
    // the failure would find the stop flag set and never accept).
    win::fault_inject("accept", WSAEMFILE, 1, 1);
    e.start();
    ASSERT_TRUE(console.wait_for("!! server "));
    int c = connect_raw(port);
    ASSERT_GE(c, 0);
    ASSERT_TRUE(send_all(c, "x", 1));
    ASSERT_TRUE(console.wait_for("RAW\n")) << console.out();
    bench::bench_close(c);
    // The other reader has served one more connection and ended.
    testing_support::within("the service", bound_ms, [&] { e.service.join(); });
    std::string out = console.out();
    EXPECT_EQ(console.count("!! server "), 1u) << out;
    std::size_t at = out.find("!! server 0");
    EXPECT_EQ(console.count(":: SYN from"), 1u) << out;
    ASSERT_NE(at, std::string::npos);
    std::string report = out.substr(at, out.find('\n', at) - at);
    EXPECT_NE(report.find("  accept(so_listen:"), std::string::npos) << report;
    EXPECT_NE(report.find(", (sockaddr *) &addr_listen:"), std::string::npos) << report;
    EXPECT_NE(report.find(", &addr_listen_size:16)"), std::string::npos) << report;
    // The label line and the error line are two writes: another reader's output (even the
    // open arrival line of its connection) may come between them, so each must be there
    // once, whole, the label first.
    EXPECT_EQ(report.back(), ')') << report;
    EXPECT_EQ(console.count("   ^ERROR: 10024, "), 1u) << out;
    EXPECT_EQ(console.count("^ERROR"), 1u) << out;
    EXPECT_GT(out.find("   ^ERROR: 10024, "), at) << out;
    EXPECT_NE(so_listen.load(), INVALID_SOCKET); // only an interrupted accept closes it
    e.interrupt();
    e.join();
}

// Threads of this process now (each is an entry of /proc/self/task).
std::size_t process_threads() {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++n;
    }
    return n;
}

// The count before the engine runs. A sanitizer's run-time starts a thread of its own at the
// process's first thread creation and keeps it: one thread is made and joined first, so that
// the run-time's thread is in the count too.
std::size_t process_threads_before() {
    std::thread([] {}).join();
    return process_threads();
}

// The count once it is back at `expected`, waiting at most 2 s: a joined thread may still be
// on its way out of the system.
std::size_t process_threads_settled(std::size_t expected) {
    for (int waited = 0; waited < 2000 && process_threads() != expected; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return process_threads();
}

// A pending connection that broke before it was taken makes the system's accept fail with
// a network error (ENOPROTOOPT here): the reader that met it passes it over in silence and
// goes on accepting, so both slots serve the connections that follow.
TEST_F(engine_lifecycle, broken_pending_connection_is_passed_over_and_every_reader_serves_on) {
    console_capture console;
    std::uint16_t port = free_port();
    running_engine e(port, {L"-c", L"2"});
    win::fault_inject("accept4", ENOPROTOOPT);
    e.start();
    ASSERT_TRUE(console.wait_for(":: waiting for client connection...\n\n"));
    client_fds clients;
    int a = clients.add(connect_raw(port));
    // Classified at once; "a" reaches b only if a's reader reads it after b is ready, and
    // what b receives is not looked at.
    ASSERT_TRUE(a >= 0 && send_all(a, "a", 1));
    ASSERT_TRUE(wait_ready(1, bound_ms));
    int b = clients.add(connect_raw(port));
    ASSERT_TRUE(b >= 0 && send_all(b, "b", 1)); // relayed to a once b is ready
    ASSERT_TRUE(wait_ready(2, bound_ms)) << console.out();
    std::uint32_t code = 0;
    EXPECT_FALSE(win::internal::fault_take("accept4", &code)) << "a reader met the error";
    ASSERT_TRUE(send_all(b, "relayed", 7));
    char got[9] = {};
    EXPECT_TRUE(recv_exact(a, got, 8));
    EXPECT_STREQ(got, "brelayed");
    EXPECT_EQ(console.count(":: SYN from"), 2u) << console.out();
    EXPECT_EQ(console.out().find("!!"), std::string::npos) << console.out();
    EXPECT_EQ(stop.load(), 0);
}

TEST_F(engine_lifecycle, network_start_failure_ends_with_the_slots_joined) {
    console_capture console;
    reset_engine_globals();
    const std::size_t threads_before = process_threads_before();
    command_line line({L"-p", std::to_wstring(free_port()), L"-c", L"3"});
    win::fault_inject("WSAStartup", WSASYSNOTREADY, 0, 1);
    int result = -1;
    testing_support::within("the program", bound_ms,
                            [&] { result = relay_main(line.argc(), line.argv.data()); });
    EXPECT_EQ(result, exit_failure);
    EXPECT_NE(
        console.out().find("WSAStartup(wsa_version_requested, &wsa_data)\n   ^ERROR: 10091, "),
        std::string::npos)
        << console.out();
    EXPECT_EQ(process_threads_settled(threads_before), threads_before);
}

// A port that another socket listens on: the program reports the bind, wakes and joins every
// parked slot thread, closes its socket, and says it failed. TearDown checks the handles and
// sockets.
TEST_F(engine_lifecycle, busy_port_ends_with_1_and_leaves_no_thread_or_socket) {
    console_capture console;
    reset_engine_globals();
    const std::size_t threads_before = process_threads_before();
    int holder = bench::bench_listen(0, 1);
    ASSERT_GE(holder, 0);
    const std::uint16_t port = bench::bench_local_port(holder);
    command_line line({L"-p", std::to_wstring(port), L"-c", L"4"});
    int result = -1;
    testing_support::within("the program", bound_ms,
                            [&] { result = relay_main(line.argc(), line.argv.data()); });
    EXPECT_EQ(result, exit_failure);
    bench::bench_close(holder);
    EXPECT_NE(console.out().find("sizeof(addr_local))\n   ^ERROR: 10048, "), std::string::npos)
        << console.out();
    EXPECT_EQ(console.out().find("waiting for client connection"), std::string::npos);
    EXPECT_EQ(so_listen.load(), INVALID_SOCKET);
    EXPECT_EQ(process_threads_settled(threads_before), threads_before);
}

// How many events one slot creates before and with its ev_free (the last of them).
int events_per_slot() {
    for (uint32_t skip = 0; skip < 16; ++skip) {
        win::fault_inject("CreateEventW", ERROR_NO_SYSTEM_RESOURCES, skip, 1);
        bool free_missing = false;
        {
            G_TASK probe;
            free_missing = !probe.ev_free.valid.load();
        }
        win::fault_clear();
        if (free_missing) return int(skip) + 1;
    }
    return -1;
}

TEST_F(engine_lifecycle, slot_without_its_free_event_serves_nothing_and_says_nothing) {
    int per_slot = events_per_slot();
    ASSERT_GT(per_slot, 0);
    console_capture console;
    std::uint16_t port = free_port();
    // Slot 1's ev_free: the last event of the second slot constructed.
    win::fault_inject("CreateEventW", ERROR_NO_SYSTEM_RESOURCES, uint32_t(2 * per_slot - 1), 1);
    running_engine e(port, {L"-c", L"2"});
    win::fault_clear();
    ASSERT_FALSE(e.engine->tasks[1].ev_free.valid.load());
    ASSERT_TRUE(e.engine->tasks[0].ev_free.valid.load());
    e.start();
    ASSERT_TRUE(console.wait_for(":: waiting for client connection...\n\n"));
    int a = connect_ws(port);
    ASSERT_GE(a, 0);
    int b = connect_raw(port);
    ASSERT_TRUE(send_all(b, "b", 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(console.count(":: SYN from"), 1u) << console.out(); // b waits in the backlog
    EXPECT_EQ(console.count("server_01"), 0u);
    bench::bench_close(a);
    ASSERT_TRUE(console.wait_for("RAW\n")); // slot 0 takes b once a has left
    EXPECT_EQ(console.count("server_01"), 0u) << console.out();
    EXPECT_EQ(console.out().find("!!"), std::string::npos) << console.out();
    e.interrupt();
    bench::bench_close(b);
    e.join();
}

TEST(engine_exit, arena_that_cannot_be_had_ends_the_process_with_1) {
    auto build = [] {
        work_dir dir;
        win::fault_value("GetLargePageMinimum", 0);
        win::fault_inject("_aligned_malloc", ERROR_NOT_ENOUGH_MEMORY, 0, 100);
        command_line line({L"-p", L"5"});
        G_SOCKET engine(line.argc(), line.argv.data());
    };
    EXPECT_EXIT(build(), ::testing::ExitedWithCode(1), "");
}

TEST(engine_exit, thread_that_cannot_be_created_ends_the_process_with_its_code) {
    auto build = [] {
        work_dir dir;
        win::fault_inject("CreateThread", ERROR_NOT_ENOUGH_MEMORY, 3, 1);
        command_line line({L"-p", L"5", L"-c", L"4"});
        G_SOCKET engine(line.argc(), line.argv.data());
    };
    EXPECT_EXIT(build(), ::testing::ExitedWithCode(int(ERROR_NOT_ENOUGH_MEMORY)), "");
}

// An exit status keeps the code's low byte only: a code of 0x200 would read as success.
TEST(engine_exit, thread_failure_whose_code_ends_in_a_zero_byte_ends_with_1) {
    auto build = [] {
        work_dir dir;
        win::fault_inject("CreateThread", 0x200, 1, 1);
        command_line line({L"-p", L"5", L"-c", L"2"});
        G_SOCKET engine(line.argc(), line.argv.data());
    };
    EXPECT_EXIT(build(), ::testing::ExitedWithCode(exit_failure), "");
}

} // namespace

namespace {

TEST_F(engine_lifecycle, failed_receive_is_reported_with_the_slot_and_its_socket) {
    console_capture console;
    std::uint16_t port = free_port();
    running_engine e(port, {L"-c", L"1"});
    e.start();
    ASSERT_TRUE(console.wait_for(":: waiting for client connection...\n\n"));
    // The detection peek and the upgrade peek pass; the relay's first receive fails.
    win::fault_inject("recv", WSAENETDOWN, 2, 1);
    int c = connect_raw(port);
    ASSERT_TRUE(send_all(c, "x", 1));
    ASSERT_TRUE(console.wait_for(".fin  active 00/01"));
    std::string out = console.out();
    std::size_t at = out.find("RAW\n");
    ASSERT_NE(at, std::string::npos) << out;
    std::string report = out.substr(at + 4);
    const std::string head = "\n!! recv(0)  so ";
    ASSERT_EQ(report.rfind(head, 0), 0u) << report;
    std::size_t line_end = report.find('\n', head.size());
    std::string sockets = report.substr(head.size(), line_end - head.size());
    std::size_t blank = sockets.find(' ');
    ASSERT_NE(blank, std::string::npos) << sockets;
    EXPECT_EQ(sockets.substr(0, blank), sockets.substr(blank + 1)); // so and so_last
    EXPECT_EQ(report.compare(line_end, 22, "\n\n   ^ERROR: 10050, Ne"), 0) << report;
    bench::bench_close(c);
}

} // namespace
