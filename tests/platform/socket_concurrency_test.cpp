// Sockets shared between threads: a close in one thread wakes the receive, send or accept
// blocked on it in another, and a closed value never reaches the connection that comes next,
// even while a call that read the old value is still inside the layer.
#include "platform/platform.h"
#include "platform/win/hooks.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace ts = testing_support;

namespace {

class shared_sockets : public ::testing::Test {
  protected:
    void SetUp() override {
        WSADATA data{};
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        sockets_before_ = ts::open_sockets();
        descriptors_before_ = ts::open_descriptors();
    }
    void TearDown() override {
        EXPECT_EQ(ts::open_sockets_settled(sockets_before_), sockets_before_);
        EXPECT_EQ(ts::open_descriptors(), descriptors_before_);
        WSACleanup();
    }

  private:
    std::uint32_t sockets_before_ = 0;
    int descriptors_before_ = 0;
};

void let_them_block() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// Runs `round` until its blocked calls were really blocked when the close came: a call that
// the machine was too slow to start before the close fails with 10038 instead, and the
// round is run again. Returns the codes of the last round.
template <class Round>
std::vector<int> until_blocked(Round round) {
    std::vector<int> codes;
    for (int attempt = 0; attempt < 20; ++attempt) {
        codes = round();
        bool late = false;
        for (int c : codes) late = late || c == WSAENOTSOCK;
        if (!late) break;
    }
    return codes;
}

TEST_F(shared_sockets, close_wakes_a_blocked_receive_with_10004_and_later_calls_get_10038) {
    std::vector<int> codes = until_blocked([] {
        ts::socket_pair p = ts::make_socket_pair();
        int result = 0, error = 0;
        std::thread reader([&] {
            char buf[16];
            result = recv(p.server, buf, sizeof buf, 0);
            error = WSAGetLastError();
        });
        let_them_block();
        shutdown(p.server, SD_BOTH);
        closesocket(p.server);
        reader.join();
        EXPECT_EQ(result, SOCKET_ERROR);
        char buf[4];
        EXPECT_EQ(recv(p.server, buf, sizeof buf, 0), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
        closesocket(p.client);
        return std::vector<int>{error};
    });
    EXPECT_EQ(codes, std::vector<int>{WSAEINTR});
}

TEST_F(shared_sockets, close_wakes_a_send_blocked_on_a_full_connection) {
    std::vector<char> data(64 << 20, 'w'); // the peer reads nothing: the send blocks
    // A close alone, and the transport's close (both directions shut down, then closed):
    // either way the send ends as a connection aborted here, the relay's normal end.
    for (bool shut_first : {false, true}) {
        SCOPED_TRACE(shut_first ? "shutdown, then close" : "close");
        std::vector<int> codes = until_blocked([&] {
            ts::socket_pair p = ts::make_socket_pair();
            int result = 0, error = 0;
            std::thread writer([&] {
                result = send(p.client, data.data(), int(data.size()), 0);
                error = WSAGetLastError();
            });
            let_them_block();
            if (shut_first) shutdown(p.client, SD_BOTH);
            closesocket(p.client);
            writer.join();
            EXPECT_EQ(result, SOCKET_ERROR);
            closesocket(p.server);
            return std::vector<int>{error};
        });
        EXPECT_EQ(codes, std::vector<int>{WSAECONNABORTED});
    }
}

TEST_F(shared_sockets, accepts_blocked_in_several_threads_all_fail_with_10004_on_close) {
    constexpr int count = 8;
    std::vector<int> codes = until_blocked([] {
        ts::loopback_listener l = ts::listen_loopback();
        std::vector<int> errors(count, 0);
        std::vector<std::thread> acceptors;
        std::atomic<int> entered{0};
        for (int i = 0; i < count; ++i) {
            acceptors.emplace_back([&, i] {
                entered.fetch_add(1);
                SOCKET s = accept(l.so, nullptr, nullptr);
                errors[i] = s == INVALID_SOCKET ? WSAGetLastError() : 0;
                if (s != INVALID_SOCKET) closesocket(s);
            });
        }
        while (entered.load() < count) std::this_thread::yield();
        let_them_block();
        shutdown(l.so, SD_BOTH);
        closesocket(l.so);
        for (std::thread& t : acceptors) t.join();
        return errors;
    });
    EXPECT_EQ(codes, std::vector<int>(count, WSAEINTR));
}

TEST_F(shared_sockets, each_connection_goes_to_exactly_one_of_several_acceptors) {
    ts::loopback_listener l = ts::listen_loopback();
    constexpr int count = 4, connections = 40;
    std::atomic<int> accepted{0};
    std::vector<std::thread> acceptors;
    for (int i = 0; i < count; ++i) {
        acceptors.emplace_back([&] {
            for (;;) {
                SOCKET s = accept(l.so, nullptr, nullptr);
                if (s == INVALID_SOCKET) return;
                accepted.fetch_add(1);
                char c = 0;
                recv(s, &c, 1, 0); // until the client closes
                closesocket(s);
            }
        });
    }
    for (int i = 0; i < connections; ++i) {
        SOCKET c = ts::connect_client(l.port);
        ASSERT_NE(c, INVALID_SOCKET);
        closesocket(c);
    }
    while (accepted.load() < connections) std::this_thread::yield();
    shutdown(l.so, SD_BOTH);
    closesocket(l.so);
    for (std::thread& t : acceptors) t.join();
    EXPECT_EQ(accepted.load(), connections);
}

// The fault a bare descriptor has: a thread that read the socket just before another thread
// closed it would receive from the connection that the next accept reuses the number for.
TEST_F(shared_sockets, a_closed_value_never_reaches_the_next_connection) {
    ts::loopback_listener l = ts::listen_loopback(64);
    ASSERT_NE(l.so, INVALID_SOCKET);
    for (int round = 0; round < 100; ++round) {
        SOCKET client = ts::connect_client(l.port);
        SOCKET old = accept(l.so, nullptr, nullptr);
        ASSERT_NE(old, INVALID_SOCKET);
        std::atomic<bool> stale_got_data{false};
        std::atomic<bool> done{false};
        std::thread stale([&] {
            char buf[64];
            // Keeps using the value it read before the close, as a late thread would.
            while (!done.load()) {
                if (recv(old, buf, sizeof buf, 0) > 0) stale_got_data = true;
                if (send(old, "stale", 5, 0) > 0 && done.load()) stale_got_data = true;
            }
        });
        closesocket(old);
        closesocket(client);
        SOCKET next_client = ts::connect_client(l.port);
        SOCKET next = accept(l.so, nullptr, nullptr);
        ASSERT_NE(next, INVALID_SOCKET);
        EXPECT_NE(next, old);
        ASSERT_EQ(send(next_client, "fresh", 5, 0), 5);
        char buf[8] = {};
        ASSERT_EQ(recv(next, buf, 5, 0), 5);
        EXPECT_EQ(std::string(buf, 5), "fresh") << "round " << round;
        done = true;
        stale.join();
        EXPECT_FALSE(stale_got_data.load()) << "round " << round;
        // Nothing from the stale thread reached the new connection's peer.
        DWORD ms = 1;
        setsockopt(next_client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), 4);
        EXPECT_EQ(recv(next_client, buf, sizeof buf, 0), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
        closesocket(next);
        closesocket(next_client);
    }
    closesocket(l.so);
}

TEST_F(shared_sockets, reader_writer_and_closer_race_without_harm) {
    for (int round = 0; round < 50; ++round) {
        ts::socket_pair p = ts::make_socket_pair();
        ASSERT_NE(p.server, INVALID_SOCKET);
        std::thread reader([&] {
            char buf[256];
            while (recv(p.server, buf, sizeof buf, 0) > 0) {
            }
        });
        std::thread writer([&] {
            char data[256] = {};
            while (send(p.server, data, sizeof data, 0) > 0) {
            }
        });
        std::thread peer([&] {
            char buf[4096];
            send(p.client, "go", 2, 0);
            while (recv(p.client, buf, sizeof buf, 0) > 0) {
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        shutdown(p.server, SD_BOTH);
        closesocket(p.server);
        reader.join();
        writer.join();
        closesocket(p.client); // ends the peer's receive
        peer.join();
    }
}

} // namespace
