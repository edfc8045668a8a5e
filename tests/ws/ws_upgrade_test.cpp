// The upgrade attempt over real connections: the "GET " look on plain connections, the one
// read whose bytes are never relayed, both replies on the wire, the messages of a failed
// attempt, the upgrade over TLS, and the close reply through TLS.
#include "console_capture.h"
#include "frames.h"
#include "loopback.h"
#include "platform/settings.h"
#include "platform/win/hooks.h"
#include "test_cert.h"
#include "tests/support/testing.h"
#include "tests/support/tls_client.h"
#include "ws/ws.h"
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string sample_key = "dGhlIHNhbXBsZSBub25jZQ==";
const std::string reply_129 = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\n"
                              "Connection: Upgrade\r\nSec-WebSocket-Accept: "
                              "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
const std::string request_13 = "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: "
                               "websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " +
                               sample_key + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
const std::string request_76 = "GET /demo HTTP/1.1\r\nHost: example.com\r\nConnection: "
                               "Upgrade\r\nSec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n"
                               "Sec-WebSocket-Protocol: sample\r\nUpgrade: WebSocket\r\n"
                               "Sec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\nOrigin: "
                               "http://example.com\r\n\r\n^n:ds[4U";
const std::string reply_76 = "HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\n"
                             "Connection: Upgrade\r\nSec-WebSocket-Origin: http://example.com\r\n"
                             "Sec-WebSocket-Location: ws://example.com/\r\n"
                             "Sec-WebSocket-Protocol: dumb-increment-protocol\r\n\r\n"
                             "8jKS'y:G*Co,Wxa-";
const std::string invalid_message =
    "\n\tInvalid or unsupported WebSocket handshake from the client!\n";

std::string as_string(const frames::bytes& b) {
    return std::string(b.begin(), b.end());
}

// One plain connection: the server end in a G_WS as the accept loop leaves it, the client end
// played by the test.
struct plain_upgrade : ::testing::Test {
    std::vector<char> buffer = std::vector<char>(4096 + 1);
    G_WS ws;
    loopback::pair pair;
    capture::console out;
    uint32_t sockets_before = 0;

    void SetUp() override {
        packet_length = 4096;
        sockets_before = testing_support::open_sockets();
        pair = loopback::make();
        ASSERT_NE(pair.client, INVALID_SOCKET);
        loopback::recv_timeout(pair.client, 5000);
        uint32_t timeout = 2000; // no test may block for good on a missing byte
        setsockopt(pair.server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof timeout);
        ws.tls.p_recv = reinterpret_cast<uint8_t*>(buffer.data());
        ws.tls.p_recv_size = packet_length;
    }
    void TearDown() override {
        fault_clear();
        ws.tls.close();
        if (ws.tls.so_last != pair.server) closesocket(pair.server); // never handed over
        closesocket(pair.client);
        EXPECT_EQ(testing_support::open_sockets(), sockets_before) << "a socket was left open";
    }
    // The accept loop's order: detection, then the one upgrade attempt.
    int32_t attempt() {
        EXPECT_EQ(ws.tls.accept(pair.server), -2) << "a plain connection";
        return ws.handshake(buffer.data());
    }
    // What the next relay read brings, up to n bytes.
    std::string next_read(size_t n) {
        std::string got;
        while (got.size() < n) {
            int64_t r = ws.tls.recv(buffer.data(), packet_length - 1);
            if (r <= 0) break;
            got.append(buffer.data(), size_t(r));
        }
        return got;
    }
};

} // namespace

TEST_F(plain_upgrade, rfc_6455_request_is_answered_and_a_frame_in_its_read_dropped) {
    std::string dropped = as_string(frames::make(0x81, frames::text("dropped")));
    loopback::send_all(pair.client, request_13 + dropped);
    ws.out_opcode = 2; // left binary by an earlier connection of the slot
    ws.out_pending = 0;
    ws.out_at_start = 0;
    ws.in_fragment = 1;
    ASSERT_EQ(attempt(), 0);
    EXPECT_EQ(ws.is_ws, 1);
    EXPECT_EQ(ws.version, 13);
    EXPECT_EQ(ws.in_fragment, 0);
    EXPECT_EQ(ws.out_opcode, 1);
    EXPECT_EQ(ws.out_pending, 3);
    EXPECT_EQ(ws.out_at_start, 1);
    EXPECT_EQ(loopback::recv_exact(pair.client, reply_129.size()), reply_129);

    std::string later = as_string(frames::make(0x82, frames::text("later")));
    loopback::send_all(pair.client, later);
    EXPECT_EQ(next_read(later.size()), later) << "only bytes sent after the request are read";
    uint8_t* payload = nullptr;
    ASSERT_EQ(ws.decrypt(reinterpret_cast<uint8_t*>(buffer.data()), later.size(), &payload), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(payload), 5), "later");
    EXPECT_EQ(out.text(), "");
}

TEST_F(plain_upgrade, two_key_request_is_answered_with_its_digest) {
    loopback::send_all(pair.client, request_76);
    ASSERT_EQ(attempt(), 0);
    EXPECT_EQ(ws.version, 8);
    EXPECT_EQ(loopback::recv_exact(pair.client, reply_76.size()), reply_76);
}

TEST_F(plain_upgrade, request_with_lower_case_header_names_is_answered) {
    // As Node.js's WebSocket client (undici) writes it.
    loopback::send_all(pair.client, "GET /chat HTTP/1.1\r\nhost: 127.0.0.1:27319\r\n"
                                    "connection: upgrade\r\nupgrade: websocket\r\n"
                                    "sec-websocket-key: " +
                                        sample_key + "\r\nsec-websocket-version: 13\r\n\r\n");
    ASSERT_EQ(attempt(), 0);
    EXPECT_EQ(ws.is_ws, 1);
    EXPECT_EQ(ws.version, 13);
    EXPECT_EQ(loopback::recv_exact(pair.client, reply_129.size()), reply_129);
    EXPECT_EQ(out.text(), "");
}

TEST_F(plain_upgrade, streams_not_starting_with_get_and_a_blank_stay_raw_and_lose_nothing) {
    for (std::string start : {"GET", "get / HTTP/1.1\r\n", "POST / HTTP/1.1\r\n", "\x16\x03"}) {
        SCOPED_TRACE(start);
        loopback::pair p = loopback::make();
        G_WS raw;
        uint32_t timeout = 2000;
        setsockopt(p.server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof timeout);
        loopback::send_all(p.client, start);
        EXPECT_EQ(raw.tls.accept(p.server), -2);
        EXPECT_EQ(raw.handshake(buffer.data()), -1);
        EXPECT_EQ(raw.is_ws, 0);
        // Header names in lower case are answered after "GET ", not after "get ".
        std::string rest = " /x HTTP/1.1\r\nsec-websocket-key: " + sample_key + "\r\n\r\n";
        loopback::send_all(p.client, rest);
        std::string all = start + rest, got;
        while (got.size() < all.size()) {
            int64_t r = raw.tls.recv(buffer.data(), packet_length - 1);
            if (r <= 0) break;
            got.append(buffer.data(), size_t(r));
        }
        EXPECT_EQ(got, all) << "every byte is left for the relay";
        raw.tls.close();
        closesocket(p.client);
    }
    EXPECT_EQ(out.text(), "");
}

TEST_F(plain_upgrade, get_request_without_keys_is_reported_and_dropped) {
    loopback::send_all(pair.client, "GET / HTTP/1.1\r\nHost: example.com\r\n\r\n");
    EXPECT_EQ(attempt(), -1);
    EXPECT_EQ(ws.is_ws, 0);
    EXPECT_EQ(out.text(), invalid_message);
    loopback::send_all(pair.client, "raw bytes");
    EXPECT_EQ(next_read(9), "raw bytes") << "the request itself is never relayed";
}

TEST_F(plain_upgrade, request_split_over_two_reads_is_judged_on_the_first) {
    std::string first = "GET /chat HTTP/1.1\r\nSec-WebSocket-Key: " + sample_key + "\r\n";
    std::string second = "Host: example.com\r\n\r\n";
    loopback::send_all(pair.client, first);
    ASSERT_EQ(attempt(), 0);
    EXPECT_EQ(loopback::recv_exact(pair.client, reply_129.size()), reply_129);
    loopback::send_all(pair.client, second);
    EXPECT_EQ(next_read(second.size()), second) << "read later as relay data";
}

TEST_F(plain_upgrade, silent_peer_and_closed_peer_end_the_attempt_without_a_word) {
    uint32_t short_timeout = 50;
    setsockopt(pair.server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&short_timeout),
               sizeof short_timeout);
    ws.tls.so = pair.server; // detection would wait as long; only the attempt is looked at
    ws.tls.so_last = pair.server;
    EXPECT_EQ(ws.handshake(buffer.data()), -1);
    closesocket(pair.client);
    pair.client = INVALID_SOCKET;
    EXPECT_EQ(ws.handshake(buffer.data()), -1);
    EXPECT_EQ(ws.is_ws, 0);
    EXPECT_EQ(out.text(), "");
}

TEST_F(plain_upgrade, packet_length_below_256_never_upgrades_and_reads_nothing) {
    packet_length = 255;
    loopback::send_all(pair.client, request_13);
    EXPECT_EQ(attempt(), -1);
    EXPECT_EQ(ws.handshake(nullptr), -1);
    packet_length = 4096;
    EXPECT_EQ(next_read(request_13.size()), request_13);
    EXPECT_EQ(out.text(), "");
}

TEST_F(plain_upgrade, failed_reply_send_is_reported_and_leaves_the_connection_raw) {
    loopback::send_all(pair.client, request_13);
    ASSERT_EQ(ws.tls.accept(pair.server), -2);
    fault_inject("send", WSAECONNRESET);
    EXPECT_EQ(ws.handshake(buffer.data()), -1);
    EXPECT_EQ(ws.is_ws, 0);
    EXPECT_EQ(out.text(), "[10054] tls.send(c_header_server, c_header_server_size)\n");
}

TEST_F(plain_upgrade, accept_value_failure_is_reported_twice_and_leaves_the_connection_raw) {
    loopback::send_all(pair.client, request_13);
    ASSERT_EQ(ws.tls.accept(pair.server), -2);
    fault_inject("CryptCreateHash", NTE_BAD_ALGID);
    EXPECT_EQ(ws.handshake(buffer.data()), -1);
    EXPECT_EQ(ws.is_ws, 0);
    std::string text = out.text();
    EXPECT_EQ(text.rfind("CryptCreateHash(h_prov, CALG_SHA1, 0, 0, &ctx[i])\n   ^ERROR: ", 0), 0u);
    EXPECT_NE(text.find(invalid_message), std::string::npos);
}

// --------------------------------------------------------------------------------- TLS

namespace {

struct tls_upgrade : ::testing::Test {
    std::vector<char> buffer = std::vector<char>(4096 + 1);
    G_WS ws;
    capture::console out;
    tls_testing::tls_client client;
    uint16_t port = 0;
    SOCKET listening = INVALID_SOCKET;
    uint32_t sockets_before = 0;

    static void SetUpTestSuite() { ASSERT_TRUE(test_cert::load_server_context("ws-upgrade")); }
    static void TearDownTestSuite() { tls_ctx_release(); }

    void SetUp() override {
        packet_length = 4096;
        sockets_before = testing_support::open_sockets();
        ws.tls.p_recv = reinterpret_cast<uint8_t*>(buffer.data());
        ws.tls.p_recv_size = packet_length;
        listening = loopback::listen_any(&port);
    }
    void TearDown() override {
        client.close();
        ws.tls.close();
        closesocket(listening);
        EXPECT_EQ(testing_support::open_sockets(), sockets_before) << "a socket was left open";
    }
    // Accepts the client's connection and completes the TLS handshake on both sides.
    void open_tls() {
        std::thread peer([&] {
            ASSERT_TRUE(client.connect(port));
            ASSERT_TRUE(client.handshake());
        });
        SOCKET s = accept(listening, nullptr, nullptr);
        uint32_t timeout = 2000;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof timeout);
        EXPECT_EQ(ws.tls.accept(s), 0) << "TLS detected and its handshake done";
        peer.join();
    }
};

} // namespace

TEST_F(tls_upgrade, request_is_answered_over_tls_and_frames_decoded_then_closed) {
    open_tls();
    ASSERT_TRUE(client.write(request_13.data(), request_13.size()));
    ASSERT_EQ(ws.handshake(buffer.data()), 0);
    EXPECT_EQ(ws.is_ws, 1);
    std::string reply(reply_129.size(), '\0');
    ASSERT_TRUE(client.read_exact(reply.data(), reply.size()));
    EXPECT_EQ(reply, reply_129);

    frames::bytes data = frames::join(
        {frames::make(0x81, frames::text("over tls")), frames::make(0x88, {0x03, 0xE8})});
    ASSERT_TRUE(client.write(data.data(), data.size()));
    int64_t n = ws.tls.recv(buffer.data(), packet_length - 1);
    ASSERT_EQ(n, int64_t(data.size()));
    auto* frame = reinterpret_cast<uint8_t*>(buffer.data());
    uint8_t* payload = nullptr;
    ASSERT_EQ(ws.decrypt(frame, uint64_t(n), &payload), 8);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(payload), 8), "over tls");
    uint64_t rest = uint64_t(n) - uint64_t(payload + 8 - frame);
    EXPECT_EQ(ws.decrypt(payload + 8, rest, &payload), -8);
    char close_reply[4];
    ASSERT_TRUE(client.read_exact(close_reply, 4));
    EXPECT_EQ(std::string(close_reply, 4), std::string("\x88\x02\x03\xE8", 4));
    EXPECT_EQ(out.text(), "");
}

TEST_F(tls_upgrade, first_data_that_is_no_request_is_reported_and_dropped) {
    open_tls();
    std::string hello = "hello, not http";
    ASSERT_TRUE(client.write(hello.data(), hello.size()));
    EXPECT_EQ(ws.handshake(buffer.data()), -1);
    EXPECT_EQ(ws.is_ws, 0);
    EXPECT_EQ(out.text(), invalid_message);
    std::string later = "later data";
    ASSERT_TRUE(client.write(later.data(), later.size()));
    int64_t n = ws.tls.recv(buffer.data(), packet_length - 1);
    EXPECT_EQ(std::string(buffer.data(), size_t(n > 0 ? n : 0)), later);
}
