// Encrypted receive and send over an open session: how the receive fills the caller's
// buffer, how a connection's end shows, the pieces and flushes of a send, and what a record
// keeps from one connection to the next.
#include "platform/win/hooks.h"
#include "support.h"
#include <chrono>
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/buffer.h>

namespace {

using tls_testing::client_options;

struct io_test : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(support::load_context(support::certs().ecdsa)); }
    void TearDown() override { support::drop_context(); }
};

// An open TLS connection of the given version with a generous receive time-out.
struct session_pair : support::tls_pair {
    explicit session_pair(int version = TLS1_3_VERSION) : support::tls_pair(only(version)) {
        opened = open();
        set_receive_timeout(5000);
    }
    static client_options only(int version) {
        client_options options;
        options.min_version = options.max_version = version;
        return options;
    }
    int32_t opened;
};

TEST_F(io_test, receive_gives_at_most_size_and_keeps_the_rest) {
    session_pair pair;
    ASSERT_EQ(pair.opened, 0);
    std::vector<uint8_t> sent = support::pattern(1000, 1);
    ASSERT_TRUE(pair.client.write(sent.data(), sent.size()));
    std::vector<uint8_t> got(1000);
    ASSERT_EQ(pair.tls.recv(got.data(), 100), 100);
    ASSERT_EQ(pair.tls.recv(got.data() + 100, 4096), 900);
    EXPECT_EQ(got, sent);
    pair.tls.close();
}

TEST_F(io_test, receive_takes_several_records_of_one_segment_at_once) {
    session_pair pair;
    ASSERT_EQ(pair.opened, 0);
    std::vector<uint8_t> sent = support::pattern(600, 2);
    ASSERT_TRUE(pair.client.encrypt(sent.data(), 100));
    ASSERT_TRUE(pair.client.encrypt(sent.data() + 100, 200));
    ASSERT_TRUE(pair.client.encrypt(sent.data() + 300, 300));
    ASSERT_TRUE(pair.client.flush()); // three records, one send
    std::vector<uint8_t> got(4096);
    ASSERT_EQ(pair.tls.recv(got.data(), got.size()), 600);
    got.resize(600);
    EXPECT_EQ(got, sent);
    pair.tls.close();
}

TEST_F(io_test, receive_completes_a_record_split_over_two_segments) {
    session_pair pair;
    ASSERT_EQ(pair.opened, 0);
    std::vector<uint8_t> sent = support::pattern(500, 3);
    ASSERT_TRUE(pair.client.encrypt(sent.data(), sent.size()));
    std::vector<uint8_t> record = pair.client.take_pending();
    ASSERT_TRUE(pair.client.send_raw(record.data(), 100));
    std::thread rest([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pair.client.send_raw(record.data() + 100, record.size() - 100);
    });
    std::vector<uint8_t> got(4096);
    int64_t count = pair.tls.recv(got.data(), got.size());
    rest.join();
    ASSERT_EQ(count, 500);
    got.resize(500);
    EXPECT_EQ(got, sent);
    pair.tls.close();
}

TEST_F(io_test, receive_reports_how_the_connection_ended) {
    struct end_case {
        const char* name;
        void (*end)(tls_testing::tls_client&);
        uint32_t timeout_ms;
        int64_t result;
        int32_t ssl_error;
        int32_t wsa_error; // -1: not looked at
    };
    const end_case cases[] = {
        {"close_notify", [](tls_testing::tls_client& c) { c.close_notify(); }, 5000, 0,
         SSL_ERROR_ZERO_RETURN, -1},
        {"TCP close", [](tls_testing::tls_client& c) { c.close(); }, 5000, -1, 0, -1},
        {"silence", [](tls_testing::tls_client&) {}, 500, -1, 0, WSAETIMEDOUT},
    };
    for (const end_case& c : cases) {
        SCOPED_TRACE(c.name);
        session_pair pair;
        ASSERT_EQ(pair.opened, 0);
        pair.set_receive_timeout(c.timeout_ms);
        c.end(pair.client);
        char buffer[64];
        EXPECT_EQ(pair.tls.recv(buffer, sizeof buffer), c.result);
        EXPECT_EQ(pair.tls.ssl_error, c.ssl_error);
        EXPECT_EQ(pair.tls.recv_ssl_error, c.ssl_error);
        if (c.wsa_error != -1) {
            EXPECT_EQ(pair.tls.wsa_error, c.wsa_error);
        }
        EXPECT_EQ(pair.tls.refs.load(), 1);
        pair.tls.close();
        EXPECT_EQ(pair.tls.refs.load(), 0);
    }
}

TEST_F(io_test, interrupted_refill_is_repeated) {
    session_pair pair;
    ASSERT_EQ(pair.opened, 0);
    ASSERT_TRUE(pair.client.write("after", 5));
    fault_inject("recv", WSAEINTR, 0, 2);
    char buffer[16];
    int64_t got = pair.tls.recv(buffer, sizeof buffer);
    fault_clear();
    ASSERT_EQ(got, 5);
    EXPECT_EQ(std::string(buffer, 5), "after");
    EXPECT_EQ(pair.tls.wsa_error, WSAEINTR);
    pair.tls.close();
}

// A receive that timed out leaves the session usable: the connection stays TLS after an
// upgrade read that found nothing, and the next receive decrypts what comes later.
TEST_F(io_test, receive_after_a_time_out_goes_on_decrypting) {
    session_pair pair;
    ASSERT_EQ(pair.opened, 0);
    pair.set_receive_timeout(200);
    char buffer[64];
    ASSERT_EQ(pair.tls.recv(buffer, sizeof buffer), -1);
    ASSERT_EQ(pair.tls.wsa_error, WSAETIMEDOUT);
    pair.set_receive_timeout(5000);
    ASSERT_TRUE(pair.client.write("later", 5));
    ASSERT_EQ(pair.tls.recv(buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), "later");
    pair.tls.close();
}

// The bytes written into a session's write buffer between flushes; a flush starts by
// handing the BIO an empty storage.
struct flush_log {
    std::vector<size_t> flushes{0};
};

flush_log* active_log = nullptr;

long log_callback(BIO*, int operation, const char* argument, size_t, int command, long, int result,
                  size_t* processed) {
    if (operation == (BIO_CB_WRITE | BIO_CB_RETURN) && result > 0)
        active_log->flushes.back() += *processed;
    if (operation == BIO_CB_CTRL && command == BIO_C_SET_BUF_MEM) {
        auto* storage = reinterpret_cast<const BUF_MEM*>(argument);
        if (storage->length == 0 && active_log->flushes.back() != 0)
            active_log->flushes.push_back(0);
    }
    return result;
}

TEST_F(io_test, send_of_200000_bytes_goes_in_two_pieces_each_flushed) {
    session_pair pair;
    ASSERT_EQ(pair.opened, 0);
    flush_log log;
    active_log = &log;
    BIO_set_callback_ex(pair.tls.wbio.load(), log_callback);
    std::vector<uint8_t> sent = support::pattern(200000, 4);
    std::vector<uint8_t> got(sent.size());
    bool read = false;
    std::thread reader([&] { read = pair.client.read_exact(got.data(), got.size()); });
    EXPECT_EQ(pair.tls.send(sent.data(), sent.size()), 200000);
    reader.join();
    BIO_set_callback_ex(pair.tls.wbio.load(), nullptr);
    active_log = nullptr;
    ASSERT_TRUE(read);
    EXPECT_EQ(got, sent);
    // Two flushes: 196,608 and 3,392 bytes of plaintext, each with its records' overhead.
    ASSERT_EQ(log.flushes.size(), 3u);
    EXPECT_EQ(log.flushes[2], 0u);
    EXPECT_GE(log.flushes[0], 196608u);
    EXPECT_LE(log.flushes[0], 196608u + 12 * 64);
    EXPECT_GE(log.flushes[1], 3392u);
    EXPECT_LE(log.flushes[1], 3392u + 64);
    pair.tls.close();
}

TEST_F(io_test, failed_socket_send_gives_minus_one_and_empties_the_write_buffer) {
    session_pair pair;
    ASSERT_EQ(pair.opened, 0);
    pair.client.close();
    std::vector<uint8_t> data = support::pattern(65536, 5);
    int64_t result = 0;
    for (int i = 0; i < 200 && result >= 0; ++i) result = pair.tls.send(data.data(), data.size());
    int error = WSAGetLastError();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(pair.tls.ssl_error, 0);
    EXPECT_TRUE(error == WSAECONNRESET || error == WSAECONNABORTED) << error;
    EXPECT_EQ(BIO_ctrl_pending(pair.tls.wbio.load()), 0u);
    pair.tls.close();
}

// Content types of the TLS records that the client's socket receives, until `count`.
std::vector<uint8_t> record_types(tls_testing::tls_client& client, size_t count) {
    std::vector<uint8_t> bytes, types;
    size_t at = 0;
    uint8_t chunk[4096];
    for (int reads = 0; types.size() < count && reads < 100;) {
        if (at + 5 <= bytes.size() &&
            at + 5 + (bytes[at + 3] << 8 | bytes[at + 4]) <= bytes.size()) {
            types.push_back(bytes[at]);
            at += 5 + (bytes[at + 3] << 8 | bytes[at + 4]);
            continue;
        }
        long got = client.recv_raw(chunk, sizeof chunk);
        if (got <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
        ++reads;
    }
    return types;
}

// A TLS 1.2 client that sends "x" and then starts a renegotiation, which the server refuses
// with a warning alert written into its write buffer while it receives.
void send_x_and_renegotiate(tls_testing::tls_client& client) {
    ASSERT_TRUE(client.encrypt("x", 1));
    ASSERT_TRUE(client.renegotiate());
    ASSERT_TRUE(client.flush());
}

TEST_F(io_test, record_written_while_receiving_goes_out_with_the_next_send) {
    session_pair pair(TLS1_2_VERSION);
    ASSERT_EQ(pair.opened, 0);
    send_x_and_renegotiate(pair.client);
    char buffer[8];
    ASSERT_EQ(pair.tls.recv(buffer, sizeof buffer), 1);
    EXPECT_GT(BIO_ctrl_pending(pair.tls.wbio.load()), 0u); // the refusal, not yet sent
    ASSERT_EQ(pair.tls.send("y", 1), 1);
    EXPECT_EQ(BIO_ctrl_pending(pair.tls.wbio.load()), 0u);
    EXPECT_EQ(record_types(pair.client, 2), (std::vector<uint8_t>{0x15, 0x17})); // alert, data
    pair.tls.close();
}

TEST_F(io_test, close_sends_no_close_notify_or_other_alert) {
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(version);
        session_pair pair(version);
        ASSERT_EQ(pair.opened, 0);
        ASSERT_TRUE(pair.client.write("ping", 4));
        char buffer[8];
        ASSERT_EQ(pair.tls.recv(buffer, sizeof buffer), 4);
        ASSERT_EQ(pair.tls.send("pong", 4), 4);
        ASSERT_TRUE(pair.client.read_exact(buffer, 4));
        size_t before = pair.client.raw_received();
        pair.tls.close();
        EXPECT_EQ(pair.client.recv_raw(buffer, sizeof buffer), 0); // the TCP close alone
        EXPECT_EQ(pair.client.raw_received(), before);
        EXPECT_FALSE(pair.client.reset_seen());
    }
}

// Both of a slot's threads write ssl_error, the sends too; the receive's own outcome is kept
// apart as well, and what a send meets afterwards never changes it.
TEST_F(io_test, receive_outcome_is_kept_whatever_a_later_send_meets) {
    session_pair pair;
    ASSERT_EQ(pair.opened, 0);
    const uint8_t broken[37] = {0x17, 0x03, 0x03, 0x00, 0x20}; // 32 bytes that fail the MAC
    ASSERT_TRUE(pair.client.send_raw(broken, sizeof broken));
    char buffer[64];
    EXPECT_LE(pair.tls.recv(buffer, sizeof buffer), 0);
    EXPECT_EQ(pair.tls.ssl_error, SSL_ERROR_SSL);
    EXPECT_EQ(pair.tls.recv_ssl_error, SSL_ERROR_SSL);
    EXPECT_EQ(pair.tls.send("late", 4), -1); // on the broken session: a class of its own
    EXPECT_EQ(pair.tls.recv_ssl_error, SSL_ERROR_SSL);
    SSL* session = pair.tls.ssl.exchange(nullptr); // a close's first step
    EXPECT_EQ(pair.tls.send("later", 5), -1);
    EXPECT_EQ(pair.tls.ssl_error, -1);
    EXPECT_EQ(pair.tls.recv_ssl_error, SSL_ERROR_SSL);
    EXPECT_EQ(pair.tls.recv(buffer, sizeof buffer), -1); // a receive writes both again
    EXPECT_EQ(pair.tls.recv_ssl_error, -1);
    pair.tls.ssl.store(session);
    pair.tls.close();
}

TEST_F(io_test, session_taken_out_by_a_close_fails_receive_and_send) {
    session_pair pair;
    ASSERT_EQ(pair.opened, 0);
    pair.tls.close();
    char buffer[8];
    EXPECT_EQ(pair.tls.recv(buffer, sizeof buffer), -1); // the plain path on a closed socket
    EXPECT_EQ(pair.tls.send("z", 1), -1);
    EXPECT_EQ(pair.tls.refs.load(), 0);
}

// A close takes the session out before the socket. A receive or send that comes between
// finds the socket still open, and must fail rather than fall back to it: the send's
// plaintext would go out in clear, the receive would take the peer's records for data.
TEST_F(io_test, connection_that_began_with_tls_never_takes_the_plain_path) {
    session_pair pair;
    ASSERT_EQ(pair.opened, 0);
    SSL* session = pair.tls.ssl.exchange(nullptr); // a close's first step, the socket kept
    EXPECT_EQ(pair.tls.send("clear text", 10), -1);
    EXPECT_EQ(pair.tls.ssl_error, -1);
    EXPECT_EQ(WSAGetLastError(), WSAECONNABORTED);
    ASSERT_TRUE(pair.client.write("ping", 4));
    char buffer[64];
    pair.tls.ssl_error = 0;
    EXPECT_EQ(pair.tls.recv(buffer, sizeof buffer), -1);
    EXPECT_EQ(pair.tls.ssl_error, -1);
    pair.tls.ssl.store(session);
    pair.tls.close();
    std::string wire; // what reached the client's socket unread: the session's own records
    for (long n; (n = pair.client.recv_raw(buffer, sizeof buffer)) > 0;) wire.append(buffer, n);
    EXPECT_EQ(wire.find("clear text"), std::string::npos);
}

// One record serves connections one after another: nothing of an earlier one (pending
// records, error values, the session) reaches the next.
TEST_F(io_test, connections_on_one_record_share_nothing) {
    support::listener server;
    G_TLS tls;
    std::vector<uint8_t> buffer(4096);
    tls.p_recv = buffer.data();
    tls.p_recv_size = buffer.size();
    char got[16];
    int freed = support::sessions_freed();
    { // TLS 1.2, left with an alert unsent and a receive that timed out
        tls_testing::tls_client client(session_pair::only(TLS1_2_VERSION));
        std::thread peer([&] { client.connect(server.port) && client.handshake(); });
        ASSERT_EQ(tls.accept(server.accept()), 0);
        peer.join();
        send_x_and_renegotiate(client);
        ASSERT_EQ(tls.recv(got, sizeof got), 1);
        ASSERT_GT(BIO_ctrl_pending(tls.wbio.load()), 0u);
        ASSERT_EQ(tls.recv(got, sizeof got), -1);
        ASSERT_EQ(tls.wsa_error, WSAETIMEDOUT);
        tls.close();
    }
    EXPECT_EQ(support::sessions_freed(), freed + 1);
    { // plain: no error value and no byte of the earlier session
        tls_testing::tls_client client;
        client.connect(server.port);
        client.send_raw("plain!", 6);
        ASSERT_EQ(tls.accept(server.accept()), -2);
        EXPECT_EQ(tls.ssl_error, 0);
        EXPECT_EQ(tls.recv_ssl_error, 0);
        EXPECT_EQ(tls.wsa_error, 0);
        EXPECT_EQ(tls.ssl.load(), nullptr);
        EXPECT_EQ(tls.send("reply", 5), 5);
        tls.close();
        char raw[64];
        EXPECT_EQ(client.recv_raw(raw, sizeof raw), 5);
        EXPECT_EQ(std::string(raw, 5), "reply");
    }
    { // TLS again: a fresh session whose first record is the first one sent
        tls_testing::tls_client client(session_pair::only(TLS1_2_VERSION));
        std::thread peer([&] { client.connect(server.port) && client.handshake(); });
        ASSERT_EQ(tls.accept(server.accept()), 0);
        peer.join();
        EXPECT_EQ(BIO_ctrl_pending(tls.wbio.load()), 0u);
        ASSERT_EQ(tls.send("3", 1), 1);
        ASSERT_TRUE(client.read_exact(got, 1)); // an earlier record here would not decrypt
        EXPECT_EQ(got[0], '3');
        tls.close();
    }
    EXPECT_EQ(support::sessions_freed(), freed + 2);
}

} // namespace
