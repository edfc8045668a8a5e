// The start-up's TLS server context when the TLS library refuses one of its settings: the
// console names what was refused, and a refusal that would leave the library's own setting
// in force (older versions, ciphers without forward secrecy, the finite-field groups) leaves
// the relay serving no TLS, as when no certificate loads. The library's calls are reached
// through the linker (each wrapped below), armed through the layer's fault table.
#include "engine_harness.h"
#include "platform/internal/fault.h"
#include "tests/support/tls_client.h"

#include <openssl/ssl.h>

using namespace engine_testing;

// The TLS library's calls under the test, each failing once when a test has armed it by the
// library's own name; otherwise the library's call itself.
extern "C" {
long __real_SSL_CTX_ctrl(SSL_CTX* context, int command, long number, void* pointer);
int __real_SSL_CTX_set_cipher_list(SSL_CTX* context, const char* list);
int __real_SSL_CTX_set_ciphersuites(SSL_CTX* context, const char* list);

long __wrap_SSL_CTX_ctrl(SSL_CTX* context, int command, long number, void* pointer) {
    std::uint32_t code = 0;
    if (command == SSL_CTRL_SET_GROUPS_LIST &&
        win::internal::fault_take("SSL_CTX_set1_groups_list", &code))
        return 0;
    if (command == SSL_CTRL_SET_MIN_PROTO_VERSION &&
        win::internal::fault_take("SSL_CTX_set_min_proto_version", &code))
        return 0;
    return __real_SSL_CTX_ctrl(context, command, number, pointer);
}
int __wrap_SSL_CTX_set_cipher_list(SSL_CTX* context, const char* list) {
    std::uint32_t code = 0;
    if (win::internal::fault_take("SSL_CTX_set_cipher_list", &code)) return 0;
    return __real_SSL_CTX_set_cipher_list(context, list);
}
int __wrap_SSL_CTX_set_ciphersuites(SSL_CTX* context, const char* list) {
    std::uint32_t code = 0;
    if (win::internal::fault_take("SSL_CTX_set_ciphersuites", &code)) return 0;
    return __real_SSL_CTX_set_ciphersuites(context, list);
}
}

namespace {

struct refusal_case {
    std::vector<const char*> refused; // the library's calls that fail
    const char* report;               // the console's line, "" for none
    bool tls_served;
};

class tls_setup : public engine_test {
  protected:
    void SetUp() override {
        engine_test::SetUp();
        ASSERT_TRUE(dir.make_certificate());
    }
};

// A client of the library's defaults completes its handshake with the relay.
bool handshake_completes(std::uint16_t port) {
    tls_testing::tls_client client;
    return client.connect(port, bound_ms) && client.handshake();
}

TEST_F(tls_setup, a_refused_setting_is_reported_and_an_unfit_context_serves_no_tls) {
    const refusal_case cases[] = {
        {{}, "", true},
        {{"SSL_CTX_set1_groups_list"},
         "server SSL context refused its key exchange groups: TLS is not served\n\n",
         false},
        {{"SSL_CTX_set_min_proto_version"},
         "server SSL context refused its lowest protocol version: TLS is not served\n\n",
         false},
        {{"SSL_CTX_set_cipher_list"},
         "server SSL context refused its cipher list: TLS is not served\n\n",
         false},
        {{"SSL_CTX_set_ciphersuites"},
         "server SSL context refused its TLS 1.3 ciphersuites: the TLS library's own are "
         "served\n\n",
         true},
        {{"SSL_CTX_set_ciphersuites", "SSL_CTX_set1_groups_list"},
         "server SSL context refused its TLS 1.3 ciphersuites, key exchange groups: TLS is not "
         "served\n\n",
         false},
    };
    for (const refusal_case& c : cases) {
        SCOPED_TRACE(c.report);
        win::fault_clear();
        for (const char* call : c.refused) win::fault_inject(call, 0);
        console_capture console;
        std::uint16_t port = free_port();
        running_engine e(port, {L"-c", L"2"});
        e.start();
        ASSERT_TRUE(console.wait_for(":: waiting for client connection...\n\n"));
        std::string out = console.out();
        for (const char* call : c.refused) {
            std::uint32_t code = 0;
            EXPECT_FALSE(win::internal::fault_take(call, &code)) << call << " was not called";
        }
        if (c.report[0] != 0) {
            // Reported once, after the library's version and before the configuration.
            std::size_t at = out.find(c.report);
            EXPECT_NE(at, std::string::npos) << out;
            EXPECT_LT(out.find("OpenSSL"), at) << out;
            EXPECT_LT(at, out.find(":: config ::")) << out;
        }
        EXPECT_EQ(console.count("server SSL context refused"), c.report[0] != 0 ? 1u : 0u) << out;
        const char* banner = c.tls_served ? "  RAW TLS WS WSS  max connections: 2\n"
                                          : "  RAW WS  max connections: 2\n";
        EXPECT_NE(out.find(banner), std::string::npos) << out;
        EXPECT_EQ(tls_ready, c.tls_served ? 1 : 0);
        EXPECT_EQ(handshake_completes(port), c.tls_served);
    }
}

} // namespace
