// Sockets over loopback: the results the relay's retry rules rely on (time-out, orderly
// close, reset), sends that take every byte and raise no signal, options, error codes, and
// handle values that are refused once closed and not handed out again soon.
#include "platform/internal/errors.h"
#include "platform/platform.h"
#include "platform/win/hooks.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace ts = testing_support;

namespace {

int set_int(SOCKET s, int level, int option, int value) {
    return setsockopt(s, level, option, reinterpret_cast<const char*>(&value), sizeof value);
}

// Each test starts and ends with no socket of the layer open.
class sockets : public ::testing::Test {
  protected:
    void SetUp() override {
        WSADATA data{};
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
        sockets_before_ = ts::open_sockets();
        descriptors_before_ = ts::open_descriptors();
    }
    void TearDown() override {
        fault_clear();
        EXPECT_EQ(ts::open_sockets_settled(sockets_before_), sockets_before_);
        EXPECT_EQ(ts::open_descriptors(), descriptors_before_);
        WSACleanup();
    }
    ts::socket_pair pair() {
        ts::socket_pair p = ts::make_socket_pair();
        EXPECT_NE(p.client, INVALID_SOCKET);
        EXPECT_NE(p.server, INVALID_SOCKET);
        return p;
    }
    static void close_pair(const ts::socket_pair& p) {
        closesocket(p.client);
        closesocket(p.server);
    }

  private:
    std::uint32_t sockets_before_ = 0;
    int descriptors_before_ = 0;
};

TEST_F(sockets, receive_gives_data_then_zero_after_orderly_close) {
    ts::socket_pair p = pair();
    ASSERT_EQ(send(p.client, "hello", 5, 0), 5);
    char buf[16] = {};
    ASSERT_EQ(recv(p.server, buf, 2, MSG_PEEK), 2); // a peek leaves the bytes in place
    EXPECT_EQ(std::string(buf, 2), "he");
    ASSERT_EQ(recv(p.server, buf, sizeof buf, 0), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    ASSERT_EQ(shutdown(p.client, SD_SEND), 0);
    WSASetLastError(777);
    EXPECT_EQ(recv(p.server, buf, sizeof buf, 0), 0);
    EXPECT_EQ(WSAGetLastError(), 777) << "a successful call leaves the error untouched";
    close_pair(p);
}

TEST_F(sockets, receive_time_out_fails_with_10060_and_zero_removes_it) {
    ts::socket_pair p = pair();
    DWORD ms = 30;
    ASSERT_EQ(setsockopt(p.server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                         sizeof ms),
              0);
    char buf[4];
    EXPECT_EQ(recv(p.server, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
    ms = 0; // none: the receive below waits until the data comes
    ASSERT_EQ(setsockopt(p.server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                         sizeof ms),
              0);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        send(p.client, "x", 1, 0);
    });
    EXPECT_EQ(recv(p.server, buf, sizeof buf, 0), 1);
    late.join();
    close_pair(p);
}

TEST_F(sockets, abortive_close_resets_the_peer_which_then_fails_with_10054) {
    ts::socket_pair p = pair();
    ASSERT_EQ(set_int(p.server, IPPROTO_TCP, TCP_ABORTIVE_CLOSE, 1), 0);
    // The relay shuts both directions down before it closes: the peer must still see a reset.
    shutdown(p.server, SD_BOTH);
    closesocket(p.server);
    char buf[4];
    EXPECT_EQ(recv(p.client, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    closesocket(p.client);
}

TEST_F(sockets, send_into_a_reset_peer_fails_with_10054_and_no_signal) {
    ts::socket_pair p = pair();
    ASSERT_EQ(set_int(p.server, IPPROTO_TCP, TCP_ABORTIVE_CLOSE, 1), 0);
    closesocket(p.server);
    std::vector<char> data(65536, 'r');
    int result = 0;
    // The first send may still be taken before the reset arrives; a later one must fail.
    for (int i = 0; i < 50 && result != SOCKET_ERROR; ++i)
        result = send(p.client, data.data(), int(data.size()), 0);
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    closesocket(p.client);
}

TEST_F(sockets, blocking_send_takes_every_byte_of_a_large_buffer) {
    ts::socket_pair p = pair();
    const int size = 32 << 20; // far more than the socket buffers hold at once
    std::vector<char> data(size);
    for (int i = 0; i < size; ++i) data[i] = char(i * 7 + (i >> 12));
    std::vector<char> got;
    got.reserve(size);
    std::thread reader([&] {
        char buf[65536];
        for (;;) {
            int n = recv(p.server, buf, sizeof buf, 0);
            if (n <= 0) return;
            got.insert(got.end(), buf, buf + n);
        }
    });
    EXPECT_EQ(send(p.client, data.data(), size, 0), size);
    shutdown(p.client, SD_SEND);
    reader.join();
    EXPECT_TRUE(got == data);
    close_pair(p);
}

TEST_F(sockets, connect_to_a_closed_port_is_refused_with_10061) {
    ts::loopback_listener l = ts::listen_loopback();
    ASSERT_NE(l.so, INVALID_SOCKET);
    closesocket(l.so);
    EXPECT_EQ(ts::connect_client(l.port), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
}

TEST_F(sockets, bind_to_a_port_in_use_fails_with_10048) {
    ts::loopback_listener l = ts::listen_loopback();
    ASSERT_NE(l.so, INVALID_SOCKET);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(l.port);
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    closesocket(s);
    closesocket(l.so);
}

TEST_F(sockets, calls_on_a_closed_or_unknown_handle_fail_with_10038) {
    ts::socket_pair p = pair();
    SOCKET gone = p.server;
    ASSERT_EQ(closesocket(gone), 0);
    char buf[4];
    int v = 1;
    const struct {
        const char* call;
        int result;
    } calls[] = {
        {"recv", recv(gone, buf, 4, 0)},
        {"send", send(gone, "x", 1, 0)},
        {"setsockopt", setsockopt(gone, SOL_SOCKET, SO_KEEPALIVE, (const char*)&v, 4)},
        {"shutdown", shutdown(gone, SD_BOTH)},
        {"closesocket again", closesocket(gone)},
        {"recv on INVALID_SOCKET", recv(INVALID_SOCKET, buf, 4, 0)},
        {"send on 0", send(0, "x", 1, 0)},
        {"accept on a closed handle", accept(gone, nullptr, nullptr) == INVALID_SOCKET ? -1 : 0},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.call);
        EXPECT_EQ(c.result, SOCKET_ERROR);
    }
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    closesocket(p.client);
}

TEST_F(sockets, closed_values_are_not_handed_out_again_soon) {
    std::set<SOCKET> seen;
    for (int i = 0; i < 200; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_NE(s, INVALID_SOCKET);
        EXPECT_GT(int(s), 0) << "prints as a positive %i";
        EXPECT_TRUE(seen.insert(s).second) << "value " << s << " came back";
        closesocket(s);
    }
}

TEST_F(sockets, options_are_accepted_and_unknown_ones_refused) {
    ts::socket_pair p = pair();
    const struct {
        int level, option, value, result;
    } options[] = {
        {SOL_SOCKET, SO_RCVBUF, 4096, 0},        {SOL_SOCKET, SO_SNDBUF, 8192, 0},
        {IPPROTO_TCP, TCP_NODELAY, 1, 0},        {SOL_SOCKET, SO_REUSEADDR, 1, 0},
        {SOL_SOCKET, SO_KEEPALIVE, 1, 0},        {IPPROTO_TCP, TCP_KEEPALIVE, 75, 0},
        {IPPROTO_TCP, TCP_ABORTIVE_CLOSE, 0, 0}, {SOL_SOCKET, 0x7777, 1, SOCKET_ERROR},
    };
    for (const auto& o : options) {
        SCOPED_TRACE(o.option);
        EXPECT_EQ(set_int(p.server, o.level, o.option, o.value), o.result);
    }
    EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);
    close_pair(p);
}

TEST_F(sockets, accepted_socket_reports_the_peer_address) {
    ts::loopback_listener l = ts::listen_loopback();
    SOCKET c = ts::connect_client(l.port);
    sockaddr_in peer{};
    int len = 16;
    SOCKET s = accept(l.so, reinterpret_cast<sockaddr*>(&peer), &len);
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(len, 16);
    EXPECT_EQ(peer.sin_family, AF_INET);
    EXPECT_EQ(peer.sin_addr.s_addr, inet_addr("127.0.0.1"));
    EXPECT_NE(peer.sin_port, 0);
    closesocket(s);
    closesocket(c);
    closesocket(l.so);
}

TEST_F(sockets, accepted_socket_inherits_the_listener_options_and_accept_ignores_the_time_out) {
    ts::loopback_listener l = ts::listen_loopback();
    DWORD ms = 20;
    ASSERT_EQ(
        setsockopt(l.so, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms),
        0);
    SOCKET c = INVALID_SOCKET;
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // several time-outs
        c = ts::connect_client(l.port);
    });
    SOCKET s = accept(l.so, nullptr, nullptr);
    late.join();
    ASSERT_NE(s, INVALID_SOCKET) << "error " << WSAGetLastError();
    char buf[4];
    EXPECT_EQ(recv(s, buf, sizeof buf, 0), SOCKET_ERROR); // the listener's time-out applies
    EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
    closesocket(s);
    closesocket(c);
    closesocket(l.so);
}

TEST_F(sockets, send_after_a_local_shutdown_fails_by_what_was_shut_down) {
    const struct {
        int how;
        int error;
    } cases[] = {{SD_SEND, WSAESHUTDOWN}, {SD_BOTH, WSAECONNABORTED}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        ts::socket_pair p = pair();
        ASSERT_EQ(shutdown(p.client, c.how), 0);
        EXPECT_EQ(send(p.client, "x", 1, 0), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), c.error);
        close_pair(p);
    }
    ts::socket_pair p = pair();
    ASSERT_EQ(shutdown(p.client, SD_SEND), 0);
    char buf[4];
    ASSERT_EQ(send(p.server, "ok", 2, 0), 2); // the other direction still works
    EXPECT_EQ(recv(p.client, buf, sizeof buf, 0), 2);
    close_pair(p);
}

// Shut down both ways here, the connection is over on this side: a receive that starts then
// fails, even with the peer's bytes waiting, instead of reporting the peer's orderly close.
// Shutting down sending alone leaves receiving as it was.
TEST_F(sockets, receive_on_a_socket_shut_down_both_ways_here_fails_with_10058) {
    const struct {
        const char* name;
        std::vector<int> hows;
        int result;
        int error;
    } cases[] = {
        {"both at once", {SD_BOTH}, SOCKET_ERROR, WSAESHUTDOWN},
        {"both in two calls", {SD_RECEIVE, SD_SEND}, SOCKET_ERROR, WSAESHUTDOWN},
        {"sending only", {SD_SEND}, 5, 777},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ts::socket_pair p = pair();
        ASSERT_EQ(send(p.client, "hello", 5, 0), 5);
        for (int how : c.hows) ASSERT_EQ(shutdown(p.server, how), 0);
        char buf[16];
        WSASetLastError(777);
        for (int flags : {MSG_PEEK, 0}) EXPECT_EQ(recv(p.server, buf, sizeof buf, flags), c.result);
        EXPECT_EQ(WSAGetLastError(), c.error);
        close_pair(p);
    }
}

// accept(2) passes the pending connection's network errors on and asks to be called again:
// each reaches the accept loop as that connection's reset, which does not stop the relay.
const int pending_connection_errors[] = {ENETDOWN,     EPROTO,     ENOPROTOOPT, EHOSTDOWN,   ENONET,
                                         EHOSTUNREACH, EOPNOTSUPP, ENETUNREACH, ECONNABORTED};
// Any other error of accept(2) is the listener's own, and stops the accept loop.
const struct {
    int error_number;
    int wsa;
} other_accept_errors[] = {{EMFILE, WSAEMFILE}, {ENOBUFS, WSAENOBUFS}, {EINVAL, WSAEINVAL}};

TEST(accept_errors, retry_errors_are_the_reset_of_a_pending_connection) {
    for (int e : pending_connection_errors) {
        SCOPED_TRACE(e);
        EXPECT_EQ(win::internal::accept_error(e), WSAECONNRESET);
    }
    for (const auto& o : other_accept_errors) {
        SCOPED_TRACE(o.error_number);
        EXPECT_EQ(win::internal::accept_error(o.error_number), o.wsa);
    }
}

// The same through accept itself: the system call fails with the error, accept reports it,
// and the listener then hands out the connection that was waiting all along.
TEST_F(sockets, accept_reports_a_system_error_as_the_loop_must_see_it_and_the_listener_goes_on) {
    ts::loopback_listener l = ts::listen_loopback();
    SOCKET c = ts::connect_client(l.port); // waits in the backlog throughout
    auto accept_fails_with = [&](int error_number) {
        fault_inject("accept4", uint32_t(error_number));
        WSASetLastError(0);
        SOCKET s = accept(l.so, nullptr, nullptr);
        int wsa = WSAGetLastError();
        if (s != INVALID_SOCKET) closesocket(s);
        return s == INVALID_SOCKET ? wsa : 0;
    };
    for (int e : pending_connection_errors) {
        SCOPED_TRACE(e);
        EXPECT_EQ(accept_fails_with(e), WSAECONNRESET);
    }
    for (const auto& o : other_accept_errors) {
        SCOPED_TRACE(o.error_number);
        EXPECT_EQ(accept_fails_with(o.error_number), o.wsa);
    }
    SOCKET s = accept(l.so, nullptr, nullptr);
    ASSERT_NE(s, INVALID_SOCKET) << WSAGetLastError();
    ASSERT_EQ(send(c, "x", 1, 0), 1);
    char b = 0;
    EXPECT_EQ(recv(s, &b, 1, 0), 1);
    EXPECT_EQ(b, 'x');
    closesocket(s);
    closesocket(c);
    closesocket(l.so);
}

TEST_F(sockets, accept_on_a_listener_being_shut_down_is_interrupted) {
    ts::loopback_listener l = ts::listen_loopback();
    ASSERT_EQ(shutdown(l.so, SD_BOTH), 0); // the close that follows has not come yet
    EXPECT_EQ(accept(l.so, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEINTR);
    closesocket(l.so);
    EXPECT_EQ(accept(l.so, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST_F(sockets, injected_faults_fail_the_named_call_with_the_given_code) {
    ts::socket_pair p = pair();
    fault_inject("send", WSAENOBUFS, 1, 1); // the second send fails, the third goes through
    EXPECT_EQ(send(p.client, "a", 1, 0), 1);
    EXPECT_EQ(send(p.client, "b", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOBUFS);
    EXPECT_EQ(send(p.client, "c", 1, 0), 1);
    fault_inject("WSAStartup", WSASYSNOTREADY);
    WSADATA data{};
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), WSASYSNOTREADY);
    fault_inject("accept", WSAECONNRESET);
    EXPECT_EQ(accept(p.server, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    close_pair(p);
}

TEST(inet_addr_parse, dotted_addresses_and_failures) {
    EXPECT_EQ(inet_addr("127.0.0.1"), htonl(0x7F000001));
    EXPECT_EQ(inet_addr("0.0.0.0"), 0u);
    EXPECT_EQ(inet_addr("not an address"), INADDR_NONE);
    EXPECT_EQ(inet_addr(nullptr), INADDR_NONE);
    EXPECT_EQ(ntohs(htons(0x1234)), 0x1234);
    EXPECT_EQ(htons(0x1234), 0x3412);
}

} // namespace
