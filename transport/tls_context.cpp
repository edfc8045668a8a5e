// The one TLS server context: protocol versions, ciphers, key exchange groups, the bound of
// its session cache and security level, loading a certificate chain with its private key from
// a PEM file, and the expiry report. Runs on the main thread during start-up and shutdown only.
#include "platform/utf.h"
#include "transport/tls.h"
#include <openssl/err.h>
#include <openssl/pem.h>
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
// Key exchange on elliptic curves only, X25519 first: the finite-field groups cost the
// server a hundred times what a client pays for asking. The same curves serve TLS 1.2 ECDHE.
constexpr char key_exchange_groups[] = "X25519:P-256:P-384";
// Sessions kept for TLS 1.2 clients that resume by session id (the library's default keeps
// 20,480, each about a kilobyte, for two hours). Ticket sessions are kept by the clients.
constexpr long session_cache_size = 128;

// An encrypted key gets no pass phrase: it fails to load like any other unusable file,
// instead of the library prompting on the terminal and holding up the start-up.
int no_pass_phrase(char*, int, int, void*) {
    return -1;
}

// The certificate chain file: the leaf, then the certificates of its chain, each skipping
// blocks of other kinds (the key) as the library's own chain loader does.
bool read_chain(BIO* file, X509** leaf, STACK_OF(X509) * *chain) {
    *leaf = PEM_read_bio_X509_AUX(file, nullptr, no_pass_phrase, nullptr);
    *chain = sk_X509_new_null();
    if (*leaf == nullptr || *chain == nullptr) return false;
    for (;;) {
        X509* next = PEM_read_bio_X509(file, nullptr, no_pass_phrase, nullptr);
        if (next == nullptr) break;
        if (sk_X509_push(*chain, next) == 0) {
            X509_free(next);
            return false;
        }
    }
    unsigned long last = ERR_peek_last_error(); // the end of the file, or a broken block
    return ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE;
}

bool read_chain_file(const char* path, X509** leaf, STACK_OF(X509) * *chain) {
    BIO* file = BIO_new_file(path, "r");
    if (file == nullptr) return false;
    bool read = read_chain(file, leaf, chain);
    BIO_free(file);
    return read;
}

EVP_PKEY* read_key_file(const char* path) {
    BIO* file = BIO_new_file(path, "r");
    if (file == nullptr) return nullptr;
    EVP_PKEY* key = PEM_read_bio_PrivateKey(file, nullptr, no_pass_phrase, nullptr);
    BIO_free(file);
    return key;
}

// Reads the chain and the key and checks that the key belongs to the chain's certificate
// before either goes into the context: a file takes effect whole or not at all, so one that
// fails leaves the context serving exactly what it served before. A certificate of a key type
// the context already holds replaces that one, with its key and chain.
bool load_chain_and_key() {
    X509* leaf = nullptr;
    STACK_OF(X509)* chain = nullptr;
    EVP_PKEY* key = nullptr;
    bool loaded = read_chain_file(cert_path_utf8, &leaf, &chain) &&
                  (key = read_key_file(key_path_utf8)) != nullptr &&
                  X509_check_private_key(leaf, key) == 1 &&
                  SSL_CTX_use_cert_and_key(server_ctx, leaf, key, chain, 1) == 1;
    X509_free(leaf); // the context holds references of its own
    EVP_PKEY_free(key);
    sk_X509_pop_free(chain, X509_free);
    return loaded;
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
    if (SSL_CTX_set_min_proto_version(server_ctx, TLS1_2_VERSION) != 1)
        refused |= tls_refused_min_version;
    if (SSL_CTX_set_cipher_list(server_ctx, tls12_cipher_list) != 1)
        refused |= tls_refused_cipher_list;
    if (SSL_CTX_set_ciphersuites(server_ctx, tls13_ciphersuites) != 1)
        refused |= tls_refused_ciphersuites;
    if (SSL_CTX_set1_groups_list(server_ctx, key_exchange_groups) != 1)
        refused |= tls_refused_groups;
    SSL_CTX_sess_set_cache_size(server_ctx, session_cache_size);
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
