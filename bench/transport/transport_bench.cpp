// Encrypted throughput over loopback: G_TLS::send and G_TLS::recv on the server side against
// a plain SSL_write and SSL_read pair over a descriptor, the same client on the other end.
// Each run moves the same bytes both ways and reports transport / baseline as "ratio".
#include "platform/platform.h"
#include "tests/support/tls_client.h"
#include "transport/tls.h"
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <thread>
#include <vector>

namespace {

constexpr size_t transfer = 16 << 20; // bytes per direction and per measurement

// A self-signed ECDSA certificate and key in one PEM file; returns its path.
std::string make_certificate() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_sign(cert, key, EVP_sha256());
    std::string path = (std::filesystem::temp_directory_path() / "relay-transport-bench.pem");
    FILE* file = std::fopen(path.c_str(), "w");
    PEM_write_X509(file, cert);
    PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(file);
    X509_free(cert);
    EVP_PKEY_free(key);
    return path;
}

// The server context of the relay, loaded once.
void load_context() {
    if (tls_ready) return;
    std::string path = make_certificate();
    server_ctx = SSL_CTX_new(TLS_server_method());
    tls_ctx_setup();
    std::copy(path.begin(), path.end(), cert_path);
    std::copy(path.begin(), path.end(), key_path);
    tls_load_cert();
    std::filesystem::remove(path);
}

tls_testing::client_options direct_client() {
    tls_testing::client_options options;
    options.direct = true;
    options.min_version = TLS1_3_VERSION;
    return options;
}

// The transport's side: a G_TLS on a socket accepted through the platform.
struct transport_side {
    SOCKET listen_so = INVALID_SOCKET;
    G_TLS tls;
    std::vector<uint8_t> handshake_buffer = std::vector<uint8_t>(4096);
    tls_testing::tls_client client{direct_client()};
    bool ready = false;

    transport_side() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listen_so = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = win::inet_addr("127.0.0.1");
        win::bind(listen_so, reinterpret_cast<sockaddr*>(&address), sizeof address);
        win::listen(listen_so, 4);
        int length = sizeof address;
        win::getsockname(listen_so, reinterpret_cast<sockaddr*>(&address), &length);
        tls.p_recv = handshake_buffer.data();
        tls.p_recv_size = handshake_buffer.size();
        bool client_ok = false;
        std::thread peer(
            [&] { client_ok = client.connect(ntohs(address.sin_port)) && client.handshake(); });
        SOCKET accepted = win::accept(listen_so, nullptr, nullptr);
        uint32_t timeout = 500;
        win::setsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout),
                        sizeof timeout);
        ready = tls.accept(accepted) == 0;
        peer.join();
        ready = ready && client_ok;
        timeout = 10000;
        win::setsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout),
                        sizeof timeout);
    }
    ~transport_side() {
        tls.close();
        win::closesocket(listen_so);
        WSACleanup();
    }
    bool send(const uint8_t* data, size_t size) { return tls.send(data, size) == int64_t(size); }
    long recv(uint8_t* buffer, size_t size) { return long(tls.recv(buffer, size)); }
};

// The baseline: SSL_write and SSL_read straight on a descriptor.
struct baseline_side {
    tls_testing::tls_fd_server server;
    tls_testing::tls_client client{direct_client()};
    bool ready = false;

    baseline_side() {
        uint16_t port = server.listen();
        bool client_ok = false;
        std::thread peer([&] { client_ok = client.connect(port) && client.handshake(); });
        ready = server.accept(server_ctx);
        peer.join();
        ready = ready && client_ok;
    }
    bool send(const uint8_t* data, size_t size) { return server.write(data, size); }
    long recv(uint8_t* buffer, size_t size) { return server.read(buffer, size); }
};

// Seconds to move `transfer` bytes from the server side to the client and back again, in
// chunks of `chunk` bytes (the relay's packet); negative on failure.
template <typename Side>
double round_trip(Side& side, size_t chunk) {
    std::vector<uint8_t> data(chunk, 0x5a);
    std::vector<uint8_t> sink(65536);
    auto start = std::chrono::steady_clock::now();
    bool ok = true;
    std::thread reader([&] { // the client reads what the server sends
        size_t got = 0;
        while (got < transfer) {
            long n = side.client.read(sink.data(), sink.size());
            if (n <= 0) break;
            got += size_t(n);
        }
        ok = ok && got == transfer;
    });
    for (size_t sent = 0; sent < transfer && ok; sent += chunk) ok = side.send(data.data(), chunk);
    reader.join();
    std::thread writer([&] { // the client sends, the server receives
        for (size_t sent = 0; sent < transfer; sent += chunk)
            if (!side.client.encrypt(data.data(), chunk)) break;
    });
    std::vector<uint8_t> buffer(chunk);
    size_t got = 0;
    while (got < transfer) {
        long n = side.recv(buffer.data(), buffer.size());
        if (n <= 0) break;
        got += size_t(n);
    }
    writer.join();
    ok = ok && got == transfer;
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return ok ? took.count() : -1;
}

void encrypted_throughput(benchmark::State& state) {
    load_context();
    transport_side transport;
    baseline_side baseline;
    if (!transport.ready || !baseline.ready) {
        state.SkipWithError(transport.ready ? "baseline set-up failed" : "transport set-up failed");
        return;
    }
    size_t chunk = size_t(state.range(0));
    double transport_time = 0, baseline_time = 0;
    for (auto _ : state) {
        double ours = round_trip(transport, chunk);
        double theirs = round_trip(baseline, chunk);
        if (ours < 0 || theirs < 0) {
            state.SkipWithError("transfer failed");
            return;
        }
        state.SetIterationTime(ours);
        transport_time += ours;
        baseline_time += theirs;
    }
    double bytes = 2.0 * transfer * double(state.iterations());
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["transport_MBps"] = bytes / transport_time / 1e6;
    state.counters["baseline_MBps"] = bytes / baseline_time / 1e6;
    state.counters["ratio"] = baseline_time / transport_time; // above 1: faster than baseline
}

BENCHMARK(encrypted_throughput)
    ->Arg(4096)
    ->Arg(65536)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
