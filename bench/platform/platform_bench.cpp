// Costs of the layer's calls on the relay's data path: a set with nobody waiting (no system
// call), a set/wait hand-over between two threads, a small send and receive over loopback,
// and a console call formatted into a sink. Prints nanoseconds per operation.
#include "platform/event.h"
#include "platform/win/hooks.h"
#include "tests/support/testing.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace ts = testing_support;

namespace {

using clock_type = std::chrono::steady_clock;

template <class F>
double ns_per_op(int ops, F f) {
    auto start = clock_type::now();
    f();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now() - start);
    return double(ns.count()) / ops;
}

void set_without_waiter() {
    constexpr int ops = 2000000;
    G_EVENT ev{};
    ev.create(false);
    double ns = ns_per_op(ops, [&] {
        for (int i = 0; i < ops; ++i) ev.set();
    });
    ev.close();
    std::printf("event set, nobody waiting       %8.1f ns\n", ns);
}

void set_wait_hand_over() {
    constexpr int ops = 100000;
    G_EVENT ping{}, pong{};
    ping.create(false);
    pong.create(false);
    std::thread echo([&] {
        for (int i = 0; i < ops; ++i) {
            ping.wait();
            pong.set();
        }
    });
    double ns = ns_per_op(ops, [&] {
        for (int i = 0; i < ops; ++i) {
            ping.set();
            pong.wait();
        }
    });
    echo.join();
    ping.close();
    pong.close();
    std::printf("event round trip, two threads   %8.1f ns\n", ns);
}

void socket_round_trip() {
    constexpr int ops = 50000;
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    ts::socket_pair p = ts::make_socket_pair();
    int one = 1;
    setsockopt(p.client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), 4);
    setsockopt(p.server, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), 4);
    std::thread echo([&] {
        char buf[64];
        for (int i = 0; i < ops; ++i) {
            if (recv(p.server, buf, 64, 0) <= 0) return;
            send(p.server, buf, 64, 0);
        }
    });
    char buf[64] = {};
    double ns = ns_per_op(ops, [&] {
        for (int i = 0; i < ops; ++i) {
            send(p.client, buf, 64, 0);
            int got = 0;
            while (got < 64) got += recv(p.client, buf + got, 64 - got, 0);
        }
    });
    echo.join();
    closesocket(p.client);
    closesocket(p.server);
    std::printf("64-byte socket round trip       %8.1f ns\n", ns);
}

void console_call() {
    constexpr int ops = 500000;
    con_set_sink([](int, const char*, std::size_t, void*) {}, nullptr);
    double ns = ns_per_op(ops, [&] {
        for (int i = 0; i < ops; ++i)
            con_wprintf(L"\r:: SYN from %u.%u.%u.%u:%u  :: server_%02u.working  active %02u/%02u  "
                        L"so %i  ",
                        127u, 0u, 0u, 1u, 50000u, 3u, 1u, 32u, 1025);
    });
    con_set_sink(nullptr, nullptr);
    std::printf("console arrival line (formatted) %7.1f ns\n", ns);
}

} // namespace

int main() {
    set_without_waiter();
    set_wait_hand_over();
    socket_round_trip();
    console_call();
    return 0;
}
