// In-process harness for the engine tests: builds the engine from a command line in a
// temporary working directory, runs its service on a thread, captures the console, waits
// with bounds, and speaks to it with plain loopback clients (descriptors outside the layer,
// so that faults injected into the layer's calls reach only the relay).
#pragma once
#include "engine/engine.h"
#include "platform/win/hooks.h"
#include "tests/support/bench_net.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace engine_testing {

// Console output of the process while a capture is alive.
class console_capture {
  public:
    console_capture() { win::con_set_sink(&console_capture::sink, this); }
    ~console_capture() { win::con_set_sink(nullptr, nullptr); }
    std::string out() {
        std::lock_guard<std::mutex> g(lock);
        return stdout_text;
    }
    std::string err() {
        std::lock_guard<std::mutex> g(lock);
        return stderr_text;
    }
    // Bounds are generous: a sanitizer build on a loaded machine is slow, and a wait that
    // succeeds returns at once.
    bool wait_for(const std::string& needle, int timeout_ms = 30000) {
        for (int waited = 0; waited < timeout_ms; waited += 5) {
            if (out().find(needle) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return out().find(needle) != std::string::npos;
    }
    std::size_t count(const std::string& needle) {
        std::string text = out();
        std::size_t n = 0;
        for (std::size_t at = text.find(needle); at != std::string::npos;
             at = text.find(needle, at + 1))
            ++n;
        return n;
    }

  private:
    static void sink(int stream, const char* text, std::size_t length, void* context) {
        auto* self = static_cast<console_capture*>(context);
        std::lock_guard<std::mutex> g(self->lock);
        (stream == 2 ? self->stderr_text : self->stdout_text).append(text, length);
    }
    std::mutex lock;
    std::string stdout_text;
    std::string stderr_text;
};

// Every wait of a test is bounded, so that a fault fails in seconds: what a working engine
// does at once gets this long (a sanitizer build on a loaded machine is slow).
inline constexpr int bound_ms = 10000;

// Takes the event's signal as G_EVENT::wait does, but gives up after timeout_ms: 0, 111 when
// the event is gone, 138 when no signal came in time.
inline uint32_t wait_bounded(G_EVENT& e, int timeout_ms = bound_ms) {
    if (!e.valid.load()) return 111;
    DWORD r = WaitForSingleObject(e.h_event, DWORD(timeout_ms));
    if (r == WAIT_OBJECT_0) return 0;
    return r == WAIT_TIMEOUT ? 138 : 111;
}

// The slot's send area is free: its token comes within the bound, and is put back. A
// send_packet that follows then takes it at once, where it would wait for ever on a token
// that was never given back.
inline ::testing::AssertionResult area_free(G_TASK& t) {
    uint32_t r = wait_bounded(t.ev_free);
    if (r != 0)
        return ::testing::AssertionFailure() << "the send area is still taken (" << r << ")";
    t.ev_free.set();
    return ::testing::AssertionSuccess();
}

// Puts the engine's shared state back to how a process starts.
inline void reset_engine_globals() {
    stop.store(0);
    active.store(0);
    line_open.store(0);
    line_owner = 0;
    so_listen.store(INVALID_SOCKET);
}

// A port for the engine to listen on, below the ephemeral range (32768 up): a port the
// system handed out for a moment can meanwhile be taken as the local end of another test's
// outgoing connection, and the engine's bind would fail. A random one, so that tests running
// side by side seldom try the same; only one that can be bound now.
inline std::uint16_t free_port() {
    static std::mt19937 pick{std::random_device{}()};
    std::uniform_int_distribution<int> below_ephemeral(20000, 32000);
    for (int attempt = 0; attempt < 200; ++attempt) {
        auto port = std::uint16_t(below_ephemeral(pick));
        int fd = bench::bench_listen(port, 1);
        if (fd < 0) continue;
        bench::bench_close(fd);
        return port;
    }
    int fd = bench::bench_listen(0, 1);
    std::uint16_t port = bench::bench_local_port(fd);
    bench::bench_close(fd);
    return port;
}

// A wide argument vector that lives as long as the engine.
struct command_line {
    std::vector<std::wstring> words;
    std::vector<wchar_t*> argv;
    explicit command_line(std::vector<std::wstring> args) : words(std::move(args)) {
        words.insert(words.begin(), L"relay");
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
    }
    int argc() const { return int(words.size()); }
};

// A temporary working directory for the engine (where it looks for its certificates).
struct work_dir {
    std::filesystem::path before = std::filesystem::current_path();
    std::string path = testing_support::make_temp_dir("relay-engine");
    work_dir() { std::filesystem::current_path(path); }
    ~work_dir() {
        std::filesystem::current_path(before);
        testing_support::remove_tree(path);
    }
    // relay.pem: a self-signed certificate and its key, made by the openssl command.
    bool make_certificate() {
        std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                          "-nodes -keyout k.pem -out c.pem -days 2 -subj /CN=localhost "
                          ">/dev/null 2>&1 && cat c.pem k.pem > relay.pem";
        return std::system(cmd.c_str()) == 0;
    }
};

// A test of the whole engine in a working directory of its own: it ends with no fault armed, no
// slot constructed, and no handle or socket of the layer left open.
class engine_test : public ::testing::Test {
  protected:
    void SetUp() override {
        win::fault_clear();
        handles_before = testing_support::open_handles();
        sockets_before = testing_support::open_sockets();
    }
    void TearDown() override {
        win::fault_clear();
        EXPECT_EQ(slot_counter, 0u);
        EXPECT_EQ(testing_support::open_handles(), handles_before);
        EXPECT_EQ(testing_support::open_sockets(), sockets_before);
    }
    work_dir dir;
    uint32_t handles_before = 0;
    uint32_t sockets_before = 0;
};

// The engine built from a command line, its service running on a thread of its own.
struct running_engine {
    command_line line;
    std::unique_ptr<G_SOCKET> engine;
    std::thread service;
    std::uint16_t port;

    running_engine(std::uint16_t port_, std::vector<std::wstring> args)
        : line(with_port(port_, std::move(args))), port(port_) {
        reset_engine_globals();
        engine = std::make_unique<G_SOCKET>(line.argc(), line.argv.data());
    }
    static std::vector<std::wstring> with_port(std::uint16_t p, std::vector<std::wstring> a) {
        a.insert(a.begin(), {L"-p", std::to_wstring(p)});
        return a;
    }
    void start() {
        service = std::thread([this] { engine->run(); });
    }
    // Ends the service the way an interrupted accept does: the listening socket is closed,
    // every reader ends once its connection (if any) has ended.
    void interrupt() {
        SOCKET l = so_listen.exchange(INVALID_SOCKET);
        if (l != INVALID_SOCKET) {
            shutdown(l, SD_BOTH);
            closesocket(l);
        }
    }
    // The service ends and every slot thread is joined within the bound, or the test fails.
    void join() {
        testing_support::within("the engine's end", bound_ms, [this] {
            if (service.joinable()) service.join();
            engine.reset();
        });
    }
    ~running_engine() {
        interrupt();
        join();
    }
};

// Waits until `count` used slots take relayed data.
inline bool wait_ready(int count, int timeout_ms = 30000) {
    for (int waited = 0; waited <= timeout_ms; waited += 5) {
        int ready = 0;
        for (uint32_t i = 0; i < connection_count; ++i) ready += tasks[i].ready.load();
        if (ready >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Loopback clients over plain descriptors; a receive or send gives up after 30 s.
inline int connect_raw(std::uint16_t port) {
    return bench::bench_connect(port, 30000);
}

// Closes the clients on every way out of a test (declared after the engine, so before its
// end), so that the engine's readers can end.
struct client_fds {
    std::vector<int> fds;
    int add(int fd) {
        fds.push_back(fd);
        return fd;
    }
    ~client_fds() {
        for (int fd : fds) bench::bench_close(fd);
    }
};

inline bool send_all(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        long n = bench::bench_send(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= std::size_t(n);
    }
    return true;
}

// Receives exactly size bytes (false on time-out or close).
inline bool recv_exact(int fd, void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        long n = bench::bench_recv(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= std::size_t(n);
    }
    return true;
}

inline constexpr char ws_request[] =
    "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// An RFC 6455 client: connects and reads the 101 reply up to its empty line.
inline int connect_ws(std::uint16_t port) {
    int fd = connect_raw(port);
    if (fd < 0 || !send_all(fd, ws_request, sizeof ws_request - 1)) return -1;
    std::string reply;
    char c;
    while (reply.size() < 4 || reply.compare(reply.size() - 4, 4, "\r\n\r\n") != 0) {
        if (bench::bench_recv(fd, &c, 1) != 1) return -1;
        reply.push_back(c);
    }
    return reply.find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=") != std::string::npos ? fd : -1;
}

// A masked client frame (FIN set) of opcode byte b0 around payload, into out; its length.
inline std::size_t client_frame(uint8_t b0, const void* payload, std::size_t n, uint8_t* out) {
    static const uint8_t key[4] = {0x11, 0x22, 0x33, 0x44};
    std::size_t h = 0;
    out[h++] = b0;
    if (n < 126) {
        out[h++] = uint8_t(0x80 | n);
    } else {
        out[h++] = 0x80 | 126;
        out[h++] = uint8_t(n >> 8);
        out[h++] = uint8_t(n);
    }
    std::memcpy(out + h, key, 4);
    h += 4;
    const uint8_t* p = static_cast<const uint8_t*>(payload);
    for (std::size_t i = 0; i < n; ++i) out[h + i] = p[i] ^ key[i % 4];
    return h + n;
}

// Reads one unmasked server frame with a payload below 64 KiB; its payload length, or -1.
inline long read_server_frame(int fd, uint8_t* opcode, uint8_t* payload, std::size_t room) {
    uint8_t head[4];
    if (!recv_exact(fd, head, 2)) return -1;
    std::size_t n = head[1] & 0x7F;
    if (n == 126) {
        if (!recv_exact(fd, head + 2, 2)) return -1;
        n = (std::size_t(head[2]) << 8) | head[3];
    }
    if (n > room || !recv_exact(fd, payload, n)) return -1;
    *opcode = head[0];
    return long(n);
}

} // namespace engine_testing
