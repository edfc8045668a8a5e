// The slot's two threads on one record at once: closes racing each other, a close while the
// other thread is blocked inside a receive or a send (shown asleep in that call by the kernel
// before the close, and ended within a bound), and a reader and a writer moving data both
// ways at the same time, both of them sending.
#include "support.h"
#include "tests/support/testing.h"
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <latch>

namespace {

using tls_testing::client_options;

struct concurrency_test : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(support::load_context(support::certs().ecdsa)); }
    void TearDown() override { support::drop_context(); }
};

using testing_support::thread_probe;
using testing_support::waiting_call;

// Every wait of these tests. A blocked call's own time-out is longer, so that a call which a
// close should end and does not overruns the bound and fails the test.
constexpr int bound_ms = 10000;
constexpr uint32_t blocked_timeout_ms = 60000;

// Joins a thread that must end within the bound (the process ends as failed otherwise).
void join_within(std::thread& thread, const char* what) {
    testing_support::within(what, bound_ms, [&] { thread.join(); });
}

client_options only(int version) {
    client_options options;
    options.min_version = options.max_version = version;
    return options;
}

// Waits (bounded) until an operation has taken its reference on the session.
bool operation_inside(G_TLS& tls) {
    for (int i = 0; i < 5000 && tls.refs.load() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return tls.refs.load() == 2;
}

TEST_F(concurrency_test, closes_from_both_threads_release_the_session_and_socket_once) {
    support::listener server;
    int before = tls_testing::open_descriptors();
    for (int round = 0; round < 100; ++round) {
        tls_testing::tls_client client;
        ASSERT_TRUE(client.connect(server.port));
        G_TLS tls;
        SOCKET accepted = server.accept();
        ASSERT_EQ(tls.create(accepted), 0);
        int freed = support::sessions_freed();
        std::latch start(2);
        auto closer = [&] {
            start.arrive_and_wait();
            tls.close();
        };
        std::thread other(closer);
        closer();
        other.join();
        EXPECT_EQ(support::sessions_freed(), freed + 1);
        EXPECT_EQ(tls.refs.load(), 0);
        EXPECT_EQ(tls.ssl.load(), nullptr);
        EXPECT_EQ(tls.so.load(), INVALID_SOCKET);
        EXPECT_EQ(tls.so_last, accepted);
        char byte;
        EXPECT_EQ(client.recv_raw(&byte, 1), 0); // one orderly end, no reset
    }
    EXPECT_EQ(tls_testing::open_descriptors(), before);
}

TEST_F(concurrency_test, close_during_a_blocked_receive_fails_it_and_frees_after_it_returns) {
    support::tls_pair pair(only(TLS1_3_VERSION));
    ASSERT_EQ(pair.open(), 0);
    pair.set_receive_timeout(blocked_timeout_ms);
    int freed = support::sessions_freed();
    int64_t result = 0;
    std::thread::id reader_id;
    thread_probe probe;
    std::thread reader([&] {
        reader_id = std::this_thread::get_id();
        probe.here();
        char buffer[64];
        result = pair.tls.recv(buffer, sizeof buffer); // the client sends nothing
    });
    EXPECT_TRUE(operation_inside(pair.tls));
    EXPECT_TRUE(probe.waits_in(waiting_call::receive, bound_ms)) << "the receive did not block";
    pair.tls.close();
    join_within(reader, "the blocked receive");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(support::sessions_freed(), freed + 1);
    EXPECT_EQ(support::last_free_thread(), reader_id); // freed by the receive on its way out
    EXPECT_EQ(pair.tls.refs.load(), 0);
}

TEST_F(concurrency_test, close_during_a_blocked_send_fails_it_and_frees_after_it_returns) {
    support::tls_pair pair(only(TLS1_3_VERSION));
    ASSERT_EQ(pair.open(), 0);
    int freed = support::sessions_freed();
    int small = 65536;
    win::setsockopt(pair.tls.so, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&small),
                    sizeof small);
    std::vector<uint8_t> data = support::pattern(16 << 20, 6); // far more than the socket holds
    int64_t result = 0;
    std::thread::id writer_id;
    thread_probe probe;
    std::thread writer([&] {
        writer_id = std::this_thread::get_id();
        probe.here();
        result = pair.tls.send(data.data(), data.size()); // the client reads nothing
    });
    EXPECT_TRUE(operation_inside(pair.tls));
    EXPECT_TRUE(probe.waits_in(waiting_call::send, bound_ms)) << "the send did not block";
    pair.tls.close();
    join_within(writer, "the blocked send");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(support::sessions_freed(), freed + 1);
    EXPECT_EQ(support::last_free_thread(), writer_id);
    EXPECT_EQ(pair.tls.refs.load(), 0);
}

TEST_F(concurrency_test, close_during_a_blocked_plain_receive_ends_it) {
    support::listener server;
    tls_testing::tls_client client;
    ASSERT_TRUE(client.connect(server.port));
    client.send_raw("plain!", 6);
    G_TLS tls;
    ASSERT_EQ(tls.accept(server.accept(blocked_timeout_ms)), -2);
    char buffer[16];
    ASSERT_EQ(tls.recv(buffer, sizeof buffer), 6);
    int64_t result = 1;
    thread_probe probe;
    std::thread reader([&] {
        probe.here();
        result = tls.recv(buffer, sizeof buffer); // the client sends nothing more
    });
    EXPECT_TRUE(probe.waits_in(waiting_call::receive, bound_ms)) << "the receive did not block";
    tls.close();
    join_within(reader, "the blocked plain receive");
    EXPECT_LE(result, 0);
}

// While the writer is inside a flush (its socket send blocked, the lock free), the reader's
// receive makes the library write a record (the refusal of a renegotiation) into the write
// buffer. The flush's bytes must stay intact and the new record must go out once, after
// them, with nothing lost or sent twice.
TEST_F(concurrency_test, record_written_by_the_reader_during_a_flush_goes_out_once) {
    support::tls_pair pair(only(TLS1_2_VERSION));
    ASSERT_EQ(pair.open(), 0);
    pair.set_receive_timeout(10000);
    ASSERT_EQ(std::string(SSL_get_cipher_name(pair.client.ssl())),
              "ECDHE-ECDSA-CHACHA20-POLY1305"); // 16 bytes of overhead per record
    constexpr size_t total = 4 << 20;
    int small = 65536; // so that the writer's socket send surely blocks
    win::setsockopt(pair.tls.so, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&small),
                    sizeof small);
    std::vector<uint8_t> data = support::pattern(total, 9);
    int64_t sent = 0;
    thread_probe probe;
    std::thread writer([&] {
        probe.here();
        sent = pair.tls.send(data.data(), data.size());
    });
    EXPECT_TRUE(operation_inside(pair.tls));
    // The socket is full: the flush's send sleeps, and the lock is free.
    EXPECT_TRUE(probe.waits_in(waiting_call::send, bound_ms)) << "the send did not block";
    ASSERT_TRUE(pair.client.encrypt("x", 1));
    ASSERT_TRUE(pair.client.renegotiate());
    ASSERT_TRUE(pair.client.flush());
    char got[8];
    EXPECT_EQ(pair.tls.recv(got, sizeof got), 1);
    EXPECT_EQ(pair.tls.refs.load(), 2); // the writer is still inside its send
    // The client reads the raw records: every data record's plaintext, and one alert.
    std::vector<uint8_t> bytes;
    size_t at = 0, plaintext = 0, alerts = 0, others = 0;
    std::vector<uint8_t> chunk(65536);
    while (plaintext < total || alerts == 0) {
        while (at + 5 <= bytes.size() &&
               at + 5 + (bytes[at + 3] << 8 | bytes[at + 4]) <= bytes.size()) {
            size_t length = bytes[at + 3] << 8 | bytes[at + 4];
            if (bytes[at] == 0x17)
                plaintext += length - 16;
            else if (bytes[at] == 0x15)
                ++alerts;
            else
                ++others;
            at += 5 + length;
        }
        if (plaintext >= total && alerts > 0) break;
        long n = pair.client.recv_raw(chunk.data(), chunk.size());
        if (n <= 0) break;
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
    }
    join_within(writer, "the writer's send");
    EXPECT_EQ(sent, int64_t(total));
    EXPECT_EQ(plaintext, total);
    EXPECT_EQ(alerts, 1u);
    EXPECT_EQ(others, 0u);
    EXPECT_EQ(at, bytes.size());
    pair.tls.close();
}

// A message of the duplex test: kind ('A' from the writer, 'B' from the reader), its number
// among its kind, its length, then a payload that both can work out.
constexpr size_t header = 9;

std::vector<uint8_t> message(uint8_t kind, uint32_t number, uint32_t length) {
    std::vector<uint8_t> bytes(header);
    bytes[0] = kind;
    std::memcpy(&bytes[1], &number, 4);
    std::memcpy(&bytes[5], &length, 4);
    std::vector<uint8_t> payload = support::pattern(length, uint32_t(kind) << 24 | number);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

uint32_t writer_length(uint32_t number) {
    return number % 16 == 5 ? 300000 : 4000;
}
uint32_t reader_length(uint32_t number) {
    return number % 4 == 1 ? 250000 : 6;
}

// Checks the client's received stream: every message whole, each exactly once, in order.
void check_stream(const std::vector<uint8_t>& stream, uint32_t writer_count,
                  uint32_t reader_count) {
    uint32_t next[2] = {0, 0};
    size_t at = 0;
    while (at + header <= stream.size()) {
        uint8_t kind = stream[at];
        ASSERT_TRUE(kind == 'A' || kind == 'B') << "at " << at;
        uint32_t number, length;
        std::memcpy(&number, &stream[at + 1], 4);
        std::memcpy(&length, &stream[at + 5], 4);
        ASSERT_EQ(number, next[kind - 'A']++) << "kind " << kind;
        ASSERT_LE(at + header + length, stream.size());
        std::vector<uint8_t> expected = message(kind, number, length);
        ASSERT_EQ(0, std::memcmp(expected.data(), &stream[at], expected.size()));
        at += expected.size();
    }
    EXPECT_EQ(at, stream.size());
    EXPECT_EQ(next[0], writer_count);
    EXPECT_EQ(next[1], reader_count);
}

// The reader receives the client's stream and checks it byte for byte, sending a message
// of its own (as the WebSocket close reply does) at every 128 KiB; meanwhile the writer
// relays its own messages, some longer than one encryption piece; the client asks for key
// updates on TLS 1.3. Nothing may be lost, doubled, reordered or corrupted.
TEST_F(concurrency_test, reader_and_writer_move_data_both_ways_at_once) {
    constexpr size_t inbound = 2 << 20;
    constexpr size_t reader_step = 128 << 10;
    constexpr uint32_t writer_count = 64;
    constexpr uint32_t reader_count = inbound / reader_step;
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(version);
        support::tls_pair pair(only(version));
        ASSERT_EQ(pair.open(), 0);
        pair.set_receive_timeout(20000);
        size_t outbound = 0;
        for (uint32_t n = 0; n < writer_count; ++n) outbound += header + writer_length(n);
        for (uint32_t n = 0; n < reader_count; ++n) outbound += header + reader_length(n);
        std::vector<uint8_t> from_client = support::pattern(inbound, 99);
        std::vector<uint8_t> at_client(outbound);

        std::atomic<bool> reader_ok{true}, writer_ok{true};
        std::thread reader([&] {
            std::vector<uint8_t> buffer(65536);
            size_t total = 0;
            uint32_t sent = 0;
            while (total < inbound && reader_ok) {
                int64_t got = pair.tls.recv(buffer.data(), buffer.size());
                if (got <= 0 ||
                    std::memcmp(buffer.data(), from_client.data() + total, size_t(got)) != 0) {
                    reader_ok = false;
                    break;
                }
                total += size_t(got);
                for (; sent < total / reader_step; ++sent) {
                    std::vector<uint8_t> reply = message('B', sent, reader_length(sent));
                    if (pair.tls.send(reply.data(), reply.size()) != int64_t(reply.size()))
                        reader_ok = false;
                }
            }
        });
        std::thread writer([&] {
            for (uint32_t n = 0; n < writer_count && writer_ok; ++n) {
                std::vector<uint8_t> relayed = message('A', n, writer_length(n));
                if (pair.tls.send(relayed.data(), relayed.size()) != int64_t(relayed.size()))
                    writer_ok = false;
            }
        });
        bool client_ok =
            pair.client.duplex(from_client.data(), from_client.size(), at_client.data(),
                               at_client.size(), version == TLS1_3_VERSION ? 256 << 10 : 0, 30000);
        if (!client_ok) pair.tls.close(); // frees the server threads
        reader.join();
        writer.join();
        EXPECT_TRUE(client_ok);
        EXPECT_TRUE(reader_ok);
        EXPECT_TRUE(writer_ok);
        if (client_ok) check_stream(at_client, writer_count, reader_count);
        pair.tls.close();
        EXPECT_EQ(pair.tls.refs.load(), 0);
    }
}

} // namespace
