// Test certificates, context loading, the loopback listener, console capture and the count
// of freed sessions for the transport tests.
#include "support.h"
#include "platform/win/hooks.h"
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <random>
#include <vector>

namespace support {
namespace {

constexpr long day = 86400;

// Adds one extension in the config syntax, issued by issuer.
void add_extension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for key valid from `from` to `to` seconds relative to now, signed by
// issuer_key (self-signed when issuer is null), with extra_names padding names.
X509* make_cert(EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key, const char* name, long from,
                long to, bool ca, int extra_names) {
    static long serial = 1;
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert), from);
    X509_gmtime_adj(X509_getm_notAfter(cert), to);
    X509_set_pubkey(cert, key);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : subject);
    X509* signer = issuer ? issuer : cert;
    add_extension(cert, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    std::string names = "DNS:localhost";
    for (int i = 0; i < extra_names; ++i)
        names += ",DNS:host-" + std::to_string(i) + ".padding.relay-test.example";
    add_extension(cert, signer, NID_subject_alt_name, names);
    X509_sign(cert, issuer_key ? issuer_key : key, EVP_sha256());
    return cert;
}

void write_pem(const std::string& path, const std::vector<X509*>& chain, EVP_PKEY* key,
               const char* pass = nullptr) {
    FILE* file = std::fopen(path.c_str(), "w");
    for (X509* cert : chain) PEM_write_X509(file, cert);
    PEM_write_PrivateKey(file, key, pass ? EVP_aes_256_cbc() : nullptr, nullptr, 0, nullptr,
                         const_cast<char*>(pass));
    std::fclose(file);
}

struct folder_owner {
    std::filesystem::path path;
    ~folder_owner() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
} folder;

cert_files make_all() {
    std::random_device random;
    folder.path = std::filesystem::temp_directory_path() /
                  ("relay-transport-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(folder.path);
    cert_files files;
    files.folder = folder.path.string();
    auto at = [&](const char* name) { return (folder.path / name).string(); };

    EVP_PKEY* rsa = EVP_RSA_gen(2048);
    EVP_PKEY* ec = EVP_EC_gen("P-256");
    EVP_PKEY* other = EVP_EC_gen("P-256");
    EVP_PKEY* root_key = EVP_EC_gen("P-384");
    EVP_PKEY* middle_key = EVP_EC_gen("P-384");

    X509* rsa_cert = make_cert(rsa, nullptr, nullptr, "rsa", -day, 30 * day, false, 0);
    X509* ec_cert = make_cert(ec, nullptr, nullptr, "ecdsa", -day, 30 * day, false, 0);
    X509* other_cert = make_cert(other, nullptr, nullptr, "other", -day, 30 * day, false, 0);
    X509* old_days = make_cert(ec, nullptr, nullptr, "old", -10 * day, -3 * day - 60, false, 0);
    X509* old_hour = make_cert(ec, nullptr, nullptr, "old", -10 * day, -3600, false, 0);
    X509* root = make_cert(root_key, nullptr, nullptr, "root", -day, 30 * day, true, 20);
    X509* middle = make_cert(middle_key, root, root_key, "middle", -day, 30 * day, true, 20);
    X509* leaf = make_cert(ec, middle, middle_key, "leaf", -day, 30 * day, false, 60);

    files.rsa = at("rsa.pem");
    write_pem(files.rsa, {rsa_cert}, rsa);
    files.ecdsa = at("ecdsa.pem");
    write_pem(files.ecdsa, {ec_cert}, ec);
    files.expired_days = at("expired-days.pem");
    write_pem(files.expired_days, {old_days}, ec);
    files.expired_hour = at("expired-hour.pem");
    write_pem(files.expired_hour, {old_hour}, ec);
    files.mismatched = at("mismatched.pem");
    write_pem(files.mismatched, {ec_cert}, other);
    files.stray = at("stray.pem");
    write_pem(files.stray, {other_cert}, ec);
    files.long_chain = at("long-chain.pem");
    write_pem(files.long_chain, {leaf, middle, root}, ec);
    files.encrypted = at("encrypted.pem");
    write_pem(files.encrypted, {ec_cert}, ec, "secret");
    files.long_chain_der =
        std::size_t(i2d_X509(leaf, nullptr) + i2d_X509(middle, nullptr) + i2d_X509(root, nullptr));

    for (X509* cert : {rsa_cert, ec_cert, other_cert, old_days, old_hour, root, middle, leaf})
        X509_free(cert);
    for (EVP_PKEY* key : {rsa, ec, other, root_key, middle_key}) EVP_PKEY_free(key);
    return files;
}

std::atomic<int> freed{0};
std::mutex free_mutex;
std::thread::id free_thread;

void count_free(void* session, void*, CRYPTO_EX_DATA*, int, long, void*) {
    if (!SSL_is_server(static_cast<SSL*>(session))) return; // the test's own clients
    std::lock_guard<std::mutex> guard(free_mutex);
    free_thread = std::this_thread::get_id();
    freed.fetch_add(1);
}

// Registered before any test makes a session, so that every session's free is counted.
const int free_index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, count_free);

void sink(int, const char* text, std::size_t length, void* context) {
    static_cast<std::string*>(context)->append(text, length);
}

} // namespace

const cert_files& certs() {
    static const cert_files files = make_all();
    return files;
}

std::u16string wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

void set_cert_name(const std::u16string& name) {
    std::fill(std::begin(cert_path), std::end(cert_path), u'\0');
    std::fill(std::begin(key_path), std::end(key_path), u'\0');
    std::copy(name.begin(), name.end(), cert_path);
    std::copy(name.begin(), name.end(), key_path);
}

bool load_context(const std::string& pem) {
    drop_context();
    server_ctx = SSL_CTX_new(TLS_server_method());
    tls_ctx_setup();
    set_cert_name(wide(pem));
    return tls_load_cert() == 0;
}

void drop_context() {
    tls_ctx_release();
}

listener::listener() {
    (void)free_index;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    so = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = win::inet_addr("127.0.0.1");
    win::bind(so, reinterpret_cast<sockaddr*>(&address), sizeof address);
    win::listen(so, 16);
    int length = sizeof address;
    win::getsockname(so, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
}

listener::~listener() {
    win::closesocket(so);
    WSACleanup();
}

SOCKET listener::accept(uint32_t timeout_ms) {
    SOCKET accepted = win::accept(so, nullptr, nullptr);
    if (accepted != INVALID_SOCKET)
        win::setsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO,
                        reinterpret_cast<const char*>(&timeout_ms), sizeof timeout_ms);
    return accepted;
}

console_capture::console_capture() {
    con_set_sink(sink, &out);
}
console_capture::~console_capture() {
    con_set_sink(nullptr, nullptr);
}

tls_pair::tls_pair(const tls_testing::client_options& options, std::size_t buffer_size)
    : buffer(buffer_size), client(options) {
    tls.p_recv = buffer.data();
    tls.p_recv_size = buffer.size();
}

int32_t tls_pair::open(std::function<bool(tls_testing::tls_client&, uint16_t)> steps,
                       bool steps_first) {
    if (!steps)
        steps = [](tls_testing::tls_client& c, uint16_t port) {
            return c.connect(port) && c.handshake();
        };
    std::thread peer([&] { client_ok = steps(client, server.port); });
    if (steps_first) peer.join();
    int32_t result = tls.accept(server.accept(accept_timeout_ms));
    if (result == -1) tls.close(); // as the accept loop does: the client sees the end at once
    if (peer.joinable()) peer.join();
    return result;
}

void tls_pair::set_receive_timeout(uint32_t timeout_ms) {
    win::setsockopt(tls.so, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout_ms),
                    sizeof timeout_ms);
}

std::vector<uint8_t> pattern(std::size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = uint8_t(state >> 24);
    }
    return bytes;
}

int sessions_freed() {
    return freed.load();
}

std::thread::id last_free_thread() {
    std::lock_guard<std::mutex> guard(free_mutex);
    return free_thread;
}

} // namespace support
