// The one TLS server context: protocol versions, ciphers and security level, loading a
// certificate chain with its private key from a PEM file, and the expiry report.
// Runs on the main thread during start-up and shutdown only.
#include "platform/utf.h"
#include "transport/tls.h"
#include <openssl/err.h>
#include <openssl/x509.h>

SSL_CTX* server_ctx = nullptr;
uint8_t tls_ready = 0;
char16_t cert_path[65536];
char16_t key_path[65536];
char cert_path_utf8[65536];
char key_path_utf8[65536];

namespace {

constexpr char tls12_cipher_list[] =
    "CHACHA20:ECDHE+AESGCM:ECDHE+SHA384:ECDHE+SHA1:!CAMELLIA:!AES128";
constexpr char tls13_ciphersuites[] = "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";

// An encrypted key gets no pass phrase: it fails to load like any other unusable file,
// instead of the library prompting on the terminal and holding up the start-up.
int no_pass_phrase(char*, int, int, void*) {
    return -1;
}

// The chain, then the key, then the check that the key belongs to the chain's certificate.
bool load_chain_and_key() {
    if (SSL_CTX_use_certificate_chain_file(server_ctx, cert_path_utf8) <= 0) return false;
    if (SSL_CTX_use_PrivateKey_file(server_ctx, key_path_utf8, SSL_FILETYPE_PEM) <= 0) return false;
    return SSL_CTX_check_private_key(server_ctx) != 0;
}

// Reports a certificate whose end of validity has passed; it is served all the same.
void report_expiry() {
    X509* certificate = SSL_CTX_get0_certificate(server_ctx);
    if (certificate == nullptr) return;
    const ASN1_TIME* not_after = X509_get0_notAfter(certificate);
    if (not_after == nullptr) return;
    int days = 0;
    int seconds = 0;
    if (ASN1_TIME_diff(&days, &seconds, nullptr, not_after) == 0) return;
    if (days > 0 || seconds > 0) return;
    con_wprintf(L"certificate expired %i days ago\n\n", -days);
}

} // namespace

uint32_t tls_ctx_setup() {
    if (server_ctx == nullptr) return 0;
    uint32_t refused = 0;
    if (SSL_CTX_set_min_proto_version(server_ctx, TLS1_2_VERSION) != 1) refused |= 1;
    if (SSL_CTX_set_cipher_list(server_ctx, tls12_cipher_list) != 1) refused |= 2;
    if (SSL_CTX_set_ciphersuites(server_ctx, tls13_ciphersuites) != 1) refused |= 4;
    SSL_CTX_set_options(server_ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_security_level(server_ctx, 2);
    ERR_clear_error();
    return refused;
}

int tls_load_cert() {
    if (server_ctx == nullptr) return -1;
    if (utf16_to_utf8(cert_path_utf8, sizeof cert_path_utf8, cert_path) == 0) return -1;
    if (utf16_to_utf8(key_path_utf8, sizeof key_path_utf8, key_path) == 0) return -1;
    SSL_CTX_set_default_passwd_cb(server_ctx, no_pass_phrase);
    bool loaded = load_chain_and_key();
    ERR_clear_error(); // a failed load is passed over in silence
    if (!loaded) return -1;
    tls_ready = 1;
    report_expiry();
    ERR_clear_error();
    return 0;
}

void tls_ctx_release() {
    tls_ready = 0;
    SSL_CTX* context = server_ctx;
    server_ctx = nullptr;
    if (context != nullptr) SSL_CTX_free(context); // live sessions keep their own reference
}
