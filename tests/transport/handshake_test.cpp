// TLS detection on an accepted socket and the server handshake, against the in-process
// client and the openssl command-line client.
#include "support.h"
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

using tls_testing::client_options;
using tls_testing::tls_client;

struct handshake_test : ::testing::Test {
    void TearDown() override { support::drop_context(); }
};

// First bytes a client sends, and what detection makes of them.
struct detection_case {
    const char* name;
    std::vector<uint8_t> first;
    bool certificate;
    int32_t result;
};

TEST_F(handshake_test, detection_reads_the_record_header_and_message_type) {
    const detection_case cases[] = {
        {"ClientHello header, no certificate", {0x16, 0x03, 0x01, 0x02, 0x00, 0x01}, false, -1},
        {"handshake record of another type", {0x16, 0x03, 0x01, 0x02, 0x00, 0x02}, true, -2},
        {"five bytes of a ClientHello header", {0x16, 0x03, 0x01, 0x00, 0x05}, true, -2},
        {"upgrade request", {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'}, true, -2},
        {"two-byte header hello", {0x80, 0x2e, 0x01, 0x03, 0x01, 0x00, 0x15}, true, -2},
        {"application data record", {0x17, 0x03, 0x03, 0x00, 0x10, 0x01}, true, -2},
        {"silent client", {}, true, -2},
        {"malformed ClientHello, certificate loaded",
         {0x16, 0x03, 0x01, 0x00, 0x05, 0x01, 0xff, 0xff, 0xff, 0xff},
         true,
         -1},
    };
    for (const detection_case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.certificate) {
            ASSERT_TRUE(support::load_context(support::certs().ecdsa));
        } else {
            support::drop_context();
        }
        support::tls_pair pair;
        pair.accept_timeout_ms = 500; // the engine's: the silent client meets it
        int32_t result = pair.open(
            [&](tls_client& client, uint16_t port) {
                return client.connect(port) && client.send_raw(c.first.data(), c.first.size());
            },
            true);
        EXPECT_EQ(result, c.result);
        if (c.first.empty()) {
            EXPECT_EQ(pair.tls.wsa_error, WSAETIMEDOUT);
        }
        if (result == -2) { // plain: the peek left every byte in the socket
            EXPECT_EQ(pair.tls.ssl.load(), nullptr);
            std::vector<uint8_t> read(64);
            if (!c.first.empty()) {
                int64_t got = pair.tls.recv(read.data(), read.size());
                ASSERT_GT(got, 0);
                read.resize(size_t(got));
                EXPECT_EQ(read, c.first);
            }
        }
        pair.tls.close();
        char byte;
        EXPECT_EQ(pair.client.recv_raw(&byte, 1), 0);
        EXPECT_EQ(pair.client.raw_received(), 0u); // nothing was sent, no alert either
        EXPECT_EQ(pair.tls.refs.load(), 0);
    }
}

// Certificate and protocol version of a handshake that must complete.
struct served_case {
    const char* name;
    std::string (*file)();
    int version;
};

std::string rsa() {
    return support::certs().rsa;
}
std::string ecdsa() {
    return support::certs().ecdsa;
}
std::string expired() {
    return support::certs().expired_days;
}
std::string long_chain() {
    return support::certs().long_chain;
}

// After the handshake, one message each way through the record.
void exchange(support::tls_pair& pair) {
    ASSERT_TRUE(pair.client.write("ping", 4));
    char buffer[16] = {};
    ASSERT_EQ(pair.tls.recv(buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    ASSERT_EQ(pair.tls.send("pong", 4), 4);
    ASSERT_TRUE(pair.client.read_exact(buffer, 4));
    EXPECT_EQ(std::string(buffer, 4), "pong");
}

TEST_F(handshake_test, handshakes_complete_for_each_version_and_key) {
    const served_case cases[] = {
        {"RSA, TLS 1.2", rsa, TLS1_2_VERSION},
        {"RSA, TLS 1.3", rsa, TLS1_3_VERSION},
        {"ECDSA, TLS 1.2", ecdsa, TLS1_2_VERSION},
        {"ECDSA, TLS 1.3", ecdsa, TLS1_3_VERSION},
        {"expired certificate, TLS 1.3", expired, TLS1_3_VERSION},
    };
    for (const served_case& c : cases) {
        SCOPED_TRACE(c.name);
        support::console_capture quiet;
        ASSERT_TRUE(support::load_context(c.file()));
        client_options options;
        options.min_version = options.max_version = c.version;
        support::tls_pair pair(options);
        ASSERT_EQ(pair.open(), 0);
        EXPECT_TRUE(pair.client_ok);
        EXPECT_EQ(SSL_version(pair.client.ssl()), c.version);
        EXPECT_EQ(pair.tls.refs.load(), 1); // the open session's own reference
        exchange(pair);
        pair.tls.close();
        EXPECT_EQ(pair.tls.refs.load(), 0);
    }
}

// A server flight longer than the handshake buffer (a three-certificate chain with the
// default 4096 bytes) is sent whole, piece by piece, before client data is awaited.
TEST_F(handshake_test, server_flight_longer_than_the_buffer_goes_out_whole) {
    ASSERT_GT(support::certs().long_chain_der, 4096u);
    ASSERT_TRUE(support::load_context(long_chain()));
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(version);
        client_options options;
        options.min_version = options.max_version = version;
        support::tls_pair pair(options, 4096);
        ASSERT_EQ(pair.open(), 0);
        EXPECT_TRUE(pair.client_ok);
        STACK_OF(X509)* chain = SSL_get_peer_cert_chain(pair.client.ssl());
        EXPECT_EQ(sk_X509_num(chain), 3);
        exchange(pair);
        pair.tls.close();
    }
}

TEST_F(handshake_test, client_hello_larger_than_the_buffer_is_fed_over_several_passes) {
    ASSERT_TRUE(support::load_context(ecdsa()));
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(version);
        client_options options;
        options.min_version = options.max_version = version;
        support::tls_pair pair(options, 64); // every hello is longer than 64 bytes
        ASSERT_EQ(pair.open(), 0);
        exchange(pair);
        pair.tls.close();
    }
}

TEST_F(handshake_test, offers_the_context_does_not_serve_are_refused_without_an_alert) {
    ASSERT_TRUE(support::load_context(rsa()));
    client_options old_version;
    old_version.max_version = TLS1_1_VERSION;
    client_options aes128;
    aes128.cipher_list = "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-SHA256:AES128-SHA";
    aes128.ciphersuites = "TLS_AES_128_GCM_SHA256";
    for (const client_options& options : {old_version, aes128}) {
        support::tls_pair pair(options);
        EXPECT_EQ(pair.open(), -1);
        EXPECT_FALSE(pair.client_ok);
        EXPECT_EQ(pair.client.raw_received(), 0u);
        pair.tls.close();
        EXPECT_EQ(pair.tls.refs.load(), 0);
    }
}

TEST_F(handshake_test, silent_client_after_its_hello_fails_the_handshake_after_the_time_out) {
    ASSERT_TRUE(support::load_context(ecdsa()));
    support::tls_pair pair;
    pair.accept_timeout_ms = 500; // the engine's
    int32_t result = pair.open(
        [](tls_client& client, uint16_t port) {
            if (!client.connect(port)) return false;
            SSL_do_handshake(client.ssl()); // the hello, into the pending output
            return client.flush();          // and nothing after it
        },
        true); // the hello is there when the time-out starts
    EXPECT_EQ(result, -1);
    EXPECT_EQ(pair.tls.ssl_error, 0);
    EXPECT_EQ(pair.tls.wsa_error, WSAETIMEDOUT);
    pair.tls.close();
}

TEST_F(handshake_test, data_right_behind_the_clients_finished_is_not_lost) {
    ASSERT_TRUE(support::load_context(ecdsa()));
    client_options options;
    options.min_version = TLS1_3_VERSION;
    support::tls_pair pair(options);
    const std::string request = "GET / HTTP/1.1\r\nHost: relay\r\n\r\n";
    ASSERT_EQ(pair.open([&](tls_client& client, uint16_t port) {
        // Finished and the request leave in one send, so they arrive in one segment.
        return client.connect(port) && client.handshake(true) &&
               client.encrypt(request.data(), request.size()) && client.flush();
    }),
              0);
    std::vector<char> buffer(4096);
    int64_t got = pair.tls.recv(buffer.data(), buffer.size());
    ASSERT_EQ(got, int64_t(request.size()));
    EXPECT_EQ(std::string(buffer.data(), size_t(got)), request);
    pair.tls.close();
}

TEST_F(handshake_test, handshake_without_a_buffer_reports_it) {
    ASSERT_TRUE(support::load_context(ecdsa()));
    support::tls_pair pair;
    pair.tls.p_recv = nullptr;
    support::console_capture console;
    EXPECT_EQ(pair.open(), -1);
    EXPECT_EQ(console.out, "p_recv or p_recv_size not set\n");
    pair.tls.close();
    EXPECT_EQ(pair.tls.refs.load(), 0);
}

TEST_F(handshake_test, session_is_not_made_without_a_certificate_or_a_socket) {
    G_TLS tls;
    EXPECT_EQ(tls.create(INVALID_SOCKET), -1);
    EXPECT_EQ(tls.handshake(), -1);
    EXPECT_EQ(tls.ssl_error, -1);
    EXPECT_EQ(tls.accept(INVALID_SOCKET), -1);
    EXPECT_EQ(tls.ssl.load(), nullptr);
}

// The openssl command as an independent client: one line each way.
TEST_F(handshake_test, openssl_command_line_client_is_served) {
    if (std::system("openssl version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl";
    ASSERT_TRUE(support::load_context(rsa()));
    for (const char* version : {"-tls1_2", "-tls1_3"}) {
        SCOPED_TRACE(version);
        support::listener server;
        std::string out = support::certs().folder + "/s_client.out";
        std::ostringstream command;
        command << "printf 'hello\\n' | timeout 20 openssl s_client -connect 127.0.0.1:"
                << server.port << " " << version << " -ign_eof -quiet > " << out << " 2> /dev/null";
        std::thread peer([&] { std::system(command.str().c_str()); });
        G_TLS tls;
        std::vector<uint8_t> buffer(4096);
        tls.p_recv = buffer.data();
        tls.p_recv_size = buffer.size();
        int32_t result = tls.accept(server.accept(5000));
        EXPECT_EQ(result, 0);
        char line[16] = {};
        if (result == 0) {
            EXPECT_EQ(tls.recv(line, sizeof line), 6);
            EXPECT_EQ(std::string(line, 6), "hello\n");
            EXPECT_EQ(tls.send("world\n", 6), 6);
        }
        tls.close();
        peer.join();
        std::ifstream file(out);
        std::stringstream text;
        text << file.rdbuf();
        EXPECT_EQ(text.str(), "world\n");
    }
}

} // namespace
