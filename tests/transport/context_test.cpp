// The server context: its protocol and cipher settings, loading certificate files (missing,
// mismatched, expired, encrypted, names that do not fit), and its release.
#include "support.h"
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <set>

namespace {

std::string common_name(X509* cert) {
    char name[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name, sizeof name);
    return name;
}

struct context_test : ::testing::Test {
    void SetUp() override {
        support::drop_context();
        server_ctx = SSL_CTX_new(TLS_server_method());
        ASSERT_NE(server_ctx, nullptr);
    }
    void TearDown() override { support::drop_context(); }
    int load(const std::string& file) {
        support::set_cert_name(support::wide(file));
        return tls_load_cert();
    }
};

TEST_F(context_test, setup_sets_versions_ciphers_preference_and_level) {
    EXPECT_EQ(tls_ctx_setup(), 0u);
    EXPECT_EQ(SSL_CTX_get_min_proto_version(server_ctx), TLS1_2_VERSION);
    EXPECT_EQ(SSL_CTX_get_max_proto_version(server_ctx), 0);
    EXPECT_NE(SSL_CTX_get_options(server_ctx) & SSL_OP_CIPHER_SERVER_PREFERENCE, 0u);
    EXPECT_EQ(SSL_CTX_get_security_level(server_ctx), 2);
    std::set<std::string> tls13;
    STACK_OF(SSL_CIPHER)* ciphers = SSL_CTX_get_ciphers(server_ctx);
    for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i) {
        const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(ciphers, i);
        std::string name = SSL_CIPHER_get_name(cipher);
        EXPECT_EQ(name.find("AES128"), std::string::npos) << name;
        EXPECT_EQ(name.find("CAMELLIA"), std::string::npos) << name;
        if (name.rfind("TLS_", 0) == 0) tls13.insert(name); // TLS 1.3 suites
    }
    EXPECT_EQ(tls13,
              (std::set<std::string>{"TLS_CHACHA20_POLY1305_SHA256", "TLS_AES_256_GCM_SHA384"}));
}

TEST_F(context_test, setup_without_a_context_makes_no_call) {
    support::drop_context();
    EXPECT_EQ(tls_ctx_setup(), 0u);
    EXPECT_EQ(tls_load_cert(), -1);
    EXPECT_EQ(tls_ready, 0);
}

// Primary and secondary loads in turn: their results, tls_ready and the console after them.
// Whenever tls_ready says so, a client's handshake succeeds.
struct load_case {
    const char* name;
    std::vector<std::string (*)()> files;
    std::vector<int> results;
    uint8_t ready;
    std::string output;
};

std::string missing() {
    return support::certs().folder + "/relay-missing.pem";
}
std::string rsa() {
    return support::certs().rsa;
}
std::string ecdsa() {
    return support::certs().ecdsa;
}
std::string mismatched() {
    return support::certs().mismatched;
}
std::string stray() {
    return support::certs().stray;
}
std::string expired_days() {
    return support::certs().expired_days;
}
std::string expired_hour() {
    return support::certs().expired_hour;
}
std::string encrypted() {
    return support::certs().encrypted;
}
std::string empty() {
    return "";
}

TEST_F(context_test, loads_follow_the_files) {
    const load_case cases[] = {
        {"neither file", {missing, missing}, {-1, -1}, 0, ""},
        {"only the secondary", {missing, ecdsa}, {-1, 0}, 1, ""},
        {"both", {rsa, ecdsa}, {0, 0}, 1, ""},
        {"mismatched key alone", {mismatched}, {-1}, 0, ""},
        {"mismatched after a good one", {rsa, mismatched}, {0, -1}, 1, ""},
        {"mismatched of the same key type after a good one", {ecdsa, stray}, {0, -1}, 1, ""},
        {"good after a mismatched one of the same key type", {stray, ecdsa}, {-1, 0}, 1, ""},
        {"expired days ago", {expired_days}, {0}, 1, "certificate expired 3 days ago\n\n"},
        {"expired an hour ago", {expired_hour}, {0}, 1, "certificate expired 0 days ago\n\n"},
        {"encrypted key", {encrypted}, {-1}, 0, ""},
        {"empty name", {empty}, {-1}, 0, ""},
    };
    for (const load_case& c : cases) {
        SCOPED_TRACE(c.name);
        support::drop_context();
        server_ctx = SSL_CTX_new(TLS_server_method());
        tls_ctx_setup();
        support::console_capture console;
        std::vector<int> results;
        for (auto file : c.files) results.push_back(load(file()));
        EXPECT_EQ(results, c.results);
        EXPECT_EQ(tls_ready, c.ready);
        EXPECT_EQ(console.out, c.output);
        if (tls_ready != 0) {
            support::tls_pair pair;
            EXPECT_EQ(pair.open(), 0); // the context serves what it advertises
            pair.tls.close();
        }
    }
}

TEST_F(context_test, failed_load_leaves_the_context_as_it_was) {
    EXPECT_EQ(load(mismatched()), -1);
    EXPECT_EQ(SSL_CTX_get0_certificate(server_ctx), nullptr); // nothing of it went in
    EXPECT_EQ(tls_ready, 0);
    ASSERT_EQ(load(support::certs().ecdsa), 0);
    EXPECT_EQ(load(stray()), -1);
    X509* cert = SSL_CTX_get0_certificate(server_ctx);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(common_name(cert), "ecdsa");
    EXPECT_EQ(SSL_CTX_check_private_key(server_ctx), 1);
    EXPECT_EQ(tls_ready, 1);
}

TEST_F(context_test, encrypted_key_gets_no_pass_phrase) {
    EXPECT_EQ(load(encrypted()), -1);
    pem_password_cb* callback = SSL_CTX_get_default_passwd_cb(server_ctx);
    ASSERT_NE(callback, nullptr);
    char phrase[64];
    EXPECT_LE(callback(phrase, sizeof phrase, 0, nullptr), 0);
}

TEST_F(context_test, name_too_long_for_its_utf8_form_fails_before_the_library) {
    ASSERT_EQ(load(ecdsa()), 0);
    // 21,846 three-byte characters need 65,538 bytes and the terminator.
    std::u16string name(21846, u'\u4e00');
    support::set_cert_name(name);
    support::console_capture console;
    EXPECT_EQ(tls_load_cert(), -1);
    EXPECT_EQ(tls_ready, 1);
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(common_name(SSL_CTX_get0_certificate(server_ctx)), "ecdsa");
}

TEST_F(context_test, non_ascii_name_reaches_the_library_as_utf8) {
    std::string folder = support::certs().folder;
    std::string target = folder + "/\xc3\xa9t\xc3\xa9.pem"; // "été.pem"
    std::remove(target.c_str());
    ASSERT_EQ(std::rename(support::certs().ecdsa.c_str(), target.c_str()), 0);
    support::set_cert_name(support::wide(folder) + u"/\u00e9t\u00e9.pem");
    int result = tls_load_cert();
    std::rename(target.c_str(), support::certs().ecdsa.c_str());
    EXPECT_EQ(result, 0);
    EXPECT_EQ(std::string(cert_path_utf8), target);
}

TEST_F(context_test, release_clears_ready_and_the_context) {
    ASSERT_EQ(load(ecdsa()), 0);
    tls_ctx_release();
    EXPECT_EQ(server_ctx, nullptr);
    EXPECT_EQ(tls_ready, 0);
    tls_ctx_release();
    EXPECT_EQ(server_ctx, nullptr);
}

} // namespace
