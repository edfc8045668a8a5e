// The stack floor of the layer's threads: a thread started as the relay starts its slot
// threads (a reservation of 64 KiB) runs the deepest path the relay takes, a TLS server
// handshake with RSA and with ECDSA keys, TLS 1.2 and 1.3, a record each way and console
// output, and must keep at least half of its stack unused.
#include "platform/event.h"
#include "platform/settings.h"
#include "platform/win/hooks.h"
#include "tests/support/stack_probe.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>

namespace ts = testing_support;

namespace {

EVP_PKEY* make_key(bool rsa) {
    return rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256");
}

X509* make_certificate(EVP_PKEY* key) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    return cert;
}

// Moves what one side wrote to the other side's read buffer.
void pump(BIO* from, BIO* to) {
    char buf[16384];
    int n = 0;
    while ((n = BIO_read(from, buf, sizeof buf)) > 0) BIO_write(to, buf, n);
}

// One client and one server session over memory buffers, driven in turn on this thread.
bool handshake_and_exchange(SSL_CTX* server_ctx, SSL_CTX* client_ctx) {
    SSL* server = SSL_new(server_ctx);
    SSL* client = SSL_new(client_ctx);
    BIO* s_in = BIO_new(BIO_s_mem());
    BIO* s_out = BIO_new(BIO_s_mem());
    BIO* c_in = BIO_new(BIO_s_mem());
    BIO* c_out = BIO_new(BIO_s_mem());
    SSL_set_bio(server, s_in, s_out);
    SSL_set_bio(client, c_in, c_out);
    SSL_set_accept_state(server);
    SSL_set_connect_state(client);
    bool server_done = false, client_done = false;
    for (int i = 0; i < 20 && !(server_done && client_done); ++i) {
        if (!client_done) client_done = SSL_do_handshake(client) == 1;
        pump(c_out, s_in);
        if (!server_done) server_done = SSL_do_handshake(server) == 1;
        pump(s_out, c_in);
    }
    bool ok = server_done && client_done;
    char buf[256];
    if (ok) {
        ok = SSL_write(client, "ping", 4) == 4;
        pump(c_out, s_in);
        ok = ok && SSL_read(server, buf, sizeof buf) == 4;
        ok = ok && SSL_write(server, "pong", 4) == 4;
        pump(s_out, c_in);
        ok = ok && SSL_read(client, buf, sizeof buf) == 4;
    }
    SSL_free(server);
    SSL_free(client);
    return ok;
}

struct depth_run {
    bool rsa;            // the key kind
    int version;         // TLS1_2_VERSION or TLS1_3_VERSION
    SSL_CTX* server_ctx; // prepared on the main thread, as the relay does
    SSL_CTX* client_ctx;
    bool ok;          // the handshake and the exchange succeeded
    std::size_t used; // deepest stack use in bytes
    std::size_t size; // the stack the thread was given
};

void discard(int, const char*, std::size_t, void*) {}

DWORD measure(LPVOID argument) {
    auto* run = static_cast<depth_run*>(argument);
    ts::stack_probe probe{};
    if (!ts::stack_paint(&probe)) return 0;
    run->ok = handshake_and_exchange(run->server_ctx, run->client_ctx);
    con_wprintf(L"\r:: SYN from %u.%u.%u.%u:%u  :: server_%02u.working  active %02u/%02u  so %i  ",
                127u, 0u, 0u, 1u, 5000u, 1u, 1u, 32u, 1025);
    print_error(10054,
                L"!! send_packet() !! work_w() !! send(so, p_send, size_send, SO_SEND_FLAGS)");
    run->used = ts::stack_used(probe);
    run->size = ts::stack_size_of_this_thread();
    return 0;
}

TEST(stack_floor, deepest_tls_path_uses_at_most_half_of_a_slot_thread_stack) {
    const bool kinds[] = {true, false};
    const int versions[] = {TLS1_2_VERSION, TLS1_3_VERSION};
    con_set_sink(discard, nullptr);
    uint64_t saved = stack_reservation;
    stack_reservation = 65536; // what the relay asks for: the allocation granularity
    for (bool rsa : kinds) {
        EVP_PKEY* key = make_key(rsa);
        X509* cert = make_certificate(key);
        for (int version : versions) {
            depth_run run{rsa,
                          version,
                          SSL_CTX_new(TLS_server_method()),
                          SSL_CTX_new(TLS_client_method()),
                          false,
                          0,
                          0};
            SSL_CTX_use_certificate(run.server_ctx, cert);
            SSL_CTX_use_PrivateKey(run.server_ctx, key);
            for (SSL_CTX* ctx : {run.server_ctx, run.client_ctx}) {
                SSL_CTX_set_min_proto_version(ctx, version);
                SSL_CTX_set_max_proto_version(ctx, version);
            }
            G_THREAD thread{};
            ASSERT_EQ(thread.start(measure, &run), 0u);
            EXPECT_EQ(thread.join(), 0u);
            thread.close();
            std::printf("%s TLS 1.%d: %zu of %zu stack bytes used\n", rsa ? "RSA-2048" : "P-256",
                        version == TLS1_3_VERSION ? 3 : 2, run.used, run.size);
            EXPECT_TRUE(run.ok);
            EXPECT_GT(run.used, 0u);
            EXPECT_LE(run.used * 2, run.size) << "the stack floor leaves too little headroom";
            SSL_CTX_free(run.server_ctx);
            SSL_CTX_free(run.client_ctx);
        }
        X509_free(cert);
        EVP_PKEY_free(key);
    }
    stack_reservation = saved;
    con_set_sink(nullptr, nullptr);
}

} // namespace
