// The transport record on a plain connection: construction, close, the plain receive under
// the retry rule, the plain send, and the abortive close.
#include "platform/win/hooks.h"
#include "support.h"
#include <gtest/gtest.h>

namespace {

// A plain connection: the record holds the accepted socket, the client a raw descriptor.
struct plain_pair {
    support::listener server;
    G_TLS tls;
    tls_testing::tls_client client;
    int32_t detected = 0;

    // The client sends `first` (nothing when empty) and the server runs detection on it.
    explicit plain_pair(const std::string& first = "hello!") {
        client.connect(server.port);
        if (!first.empty()) client.send_raw(first.data(), first.size());
        detected = tls.accept(server.accept());
    }
};

TEST(record, fresh_record_is_idle_and_close_does_nothing) {
    G_TLS tls;
    for (int round = 0; round < 2; ++round) {
        tls.close();
        EXPECT_EQ(tls.ssl.load(), nullptr);
        EXPECT_EQ(tls.so.load(), INVALID_SOCKET);
        EXPECT_EQ(tls.so_last, INVALID_SOCKET);
        EXPECT_EQ(tls.refs.load(), 0);
        EXPECT_EQ(tls.p_recv, nullptr);
        EXPECT_EQ(tls.p_recv_size, 0u);
    }
    EXPECT_EQ(tls.lock.valid.load(), 1);
}

TEST(record, plain_receive_gives_the_bytes_then_zero_at_the_orderly_close) {
    plain_pair pair("hello!");
    ASSERT_EQ(pair.detected, -2);
    char buffer[64] = {};
    EXPECT_EQ(pair.tls.recv(buffer, sizeof buffer), 6); // the peek consumed nothing
    EXPECT_EQ(std::string(buffer, 6), "hello!");
    pair.client.close();
    EXPECT_EQ(pair.tls.recv(buffer, sizeof buffer), 0);
    pair.tls.close();
}

TEST(record, plain_receive_that_times_out_gives_minus_one_with_the_error) {
    plain_pair pair("");
    ASSERT_EQ(pair.detected, -2); // the silent client made the peek time out
    EXPECT_EQ(pair.tls.wsa_error, WSAETIMEDOUT);
    char buffer[16];
    pair.tls.wsa_error = 0;
    EXPECT_EQ(pair.tls.recv_plain(buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(pair.tls.wsa_error, WSAETIMEDOUT);
    pair.tls.close();
}

TEST(record, interrupted_plain_receive_is_repeated_on_the_same_buffer) {
    plain_pair pair("abcdef");
    ASSERT_EQ(pair.detected, -2);
    fault_inject("recv", WSAEINTR, 0, 2);
    char buffer[16] = {};
    int64_t got = pair.tls.recv_plain(buffer, 4, 0);
    fault_clear();
    EXPECT_EQ(got, 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(pair.tls.wsa_error, WSAEINTR); // noted before each repeat, untouched by success
    EXPECT_EQ(WSAGetLastError(), 0);         // cleared for the repeat
    pair.tls.close();
}

TEST(record, plain_send_returns_the_sockets_result_and_writes_no_field) {
    plain_pair pair;
    pair.tls.wsa_error = 77;
    pair.tls.ssl_error = 88;
    EXPECT_EQ(pair.tls.send("reply", 5), 5);
    char buffer[8] = {};
    EXPECT_EQ(pair.client.recv_raw(buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), "reply");
    pair.tls.close();
    EXPECT_EQ(pair.tls.send("late", 4), -1);
    EXPECT_NE(WSAGetLastError(), 0);
    EXPECT_EQ(pair.tls.wsa_error, 77);
    EXPECT_EQ(pair.tls.ssl_error, 88);
}

TEST(record, close_keeps_so_last_and_the_peer_sees_the_end) {
    plain_pair pair;
    SOCKET accepted = pair.tls.so;
    ASSERT_NE(accepted, INVALID_SOCKET);
    EXPECT_EQ(pair.tls.so_last, accepted);
    pair.tls.close();
    pair.tls.close();
    EXPECT_EQ(pair.tls.so.load(), INVALID_SOCKET);
    EXPECT_EQ(pair.tls.so_last, accepted);
    char buffer[8];
    EXPECT_EQ(pair.client.recv_raw(buffer, sizeof buffer), 0);
    EXPECT_FALSE(pair.client.reset_seen());
    EXPECT_EQ(win::closesocket(accepted), SOCKET_ERROR); // it was closed, once, by the record
}

TEST(record, abortive_close_resets_the_connection) {
    plain_pair pair;
    pair.tls.abort = 1;
    pair.tls.close();
    EXPECT_EQ(pair.tls.abort.load(), 0); // the request was taken by the close that acted on it
    char buffer[8];
    EXPECT_EQ(pair.client.recv_raw(buffer, sizeof buffer), -1);
    EXPECT_TRUE(pair.client.reset_seen());
}

TEST(record, abort_request_without_a_socket_waits_for_the_next_close_with_one) {
    G_TLS tls;
    tls.abort = 1;
    tls.close();
    EXPECT_EQ(tls.abort.load(), 1);
}

// An abort asked for once a connection's socket is gone (its writer closed it first) belongs
// to that connection: the next one on the record ends in order, its last bytes delivered.
TEST(record, abort_request_of_an_ended_connection_never_reaches_the_next) {
    support::listener server;
    G_TLS tls;
    tls_testing::tls_client first;
    first.connect(server.port);
    first.send_raw("hello!", 6);
    ASSERT_EQ(tls.accept(server.accept()), -2);
    tls.close();
    tls.abort = 1; // too late for the first connection

    tls_testing::tls_client next;
    next.connect(server.port);
    next.send_raw("hello!", 6);
    ASSERT_EQ(tls.accept(server.accept()), -2);
    EXPECT_EQ(tls.abort.load(), 0);
    EXPECT_EQ(tls.send("last", 4), 4);
    tls.close();
    char buffer[8] = {};
    EXPECT_EQ(next.recv_raw(buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "last");
    EXPECT_EQ(next.recv_raw(buffer, sizeof buffer), 0);
    EXPECT_FALSE(next.reset_seen());
}

TEST(record, destruction_closes_the_connection_abortively) {
    support::listener server;
    tls_testing::tls_client client;
    client.connect(server.port);
    client.send_raw("hello!", 6);
    {
        G_TLS tls;
        ASSERT_EQ(tls.accept(server.accept()), -2);
    }
    char buffer[8];
    EXPECT_EQ(client.recv_raw(buffer, sizeof buffer), -1);
    EXPECT_TRUE(client.reset_seen());
}

TEST(record, nothing_is_left_open) {
    int before = tls_testing::open_descriptors();
    {
        plain_pair pair;
        pair.tls.close();
    }
    EXPECT_EQ(tls_testing::open_descriptors(), before);
}

} // namespace
