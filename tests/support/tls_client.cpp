// An in-process TLS client over a raw loopback descriptor, and a descriptor-based TLS
// server for baselines. Blocking sockets with time-outs, so that a test can never hang.
#include "tests/support/tls_client.h"
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tls_testing {
namespace {

void set_timeouts(int fd, int timeout_ms) {
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool send_fully(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= std::size_t(sent);
    }
    return true;
}

void set_blocking(int fd, bool blocking) {
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

} // namespace

tls_client::tls_client(const client_options& chosen) : options(chosen) {}

tls_client::~tls_client() {
    close();
    if (session != nullptr) SSL_free(session);
    if (context != nullptr) SSL_CTX_free(context);
    ERR_clear_error();
}

bool tls_client::connect(std::uint16_t port, int timeout_ms) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    set_timeouts(fd, timeout_ms);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) return false;
    SSL_CTX_set_security_level(context, 0); // the client must be able to offer old versions
    if (options.min_version != 0) SSL_CTX_set_min_proto_version(context, options.min_version);
    if (options.max_version != 0) SSL_CTX_set_max_proto_version(context, options.max_version);
    if (options.cipher_list != nullptr &&
        SSL_CTX_set_cipher_list(context, options.cipher_list) != 1)
        return false;
    if (options.ciphersuites != nullptr &&
        SSL_CTX_set_ciphersuites(context, options.ciphersuites) != 1)
        return false;
    session = SSL_new(context);
    if (session == nullptr) return false;
    SSL_set_connect_state(session);
    if (options.direct) return SSL_set_fd(session, fd) == 1;
    in_bio = BIO_new(BIO_s_mem());
    out_bio = BIO_new(BIO_s_mem());
    SSL_set_bio(session, in_bio, out_bio);
    return true;
}

bool tls_client::pump_in() {
    std::uint8_t chunk[65536];
    long got = recv_raw(chunk, sizeof chunk);
    if (got <= 0) {
        BIO_set_mem_eof_return(in_bio, 0); // the library now sees the end of the stream
        return false;
    }
    BIO_write(in_bio, chunk, int(got));
    return true;
}

bool tls_client::handshake(bool hold_last) {
    if (session == nullptr) return false;
    for (;;) {
        ERR_clear_error();
        int result = SSL_do_handshake(session);
        if (options.direct) return result == 1;
        if (result == 1) return hold_last || flush();
        if (SSL_get_error(session, result) != SSL_ERROR_WANT_READ) return false;
        if (!flush() || !pump_in()) return false;
    }
}

bool tls_client::encrypt(const void* data, std::size_t size) {
    ERR_clear_error();
    return SSL_write(session, data, int(size)) == int(size);
}

std::vector<std::uint8_t> tls_client::take_pending() {
    std::vector<std::uint8_t> bytes(std::size_t(BIO_pending(out_bio)));
    if (!bytes.empty()) BIO_read(out_bio, bytes.data(), int(bytes.size()));
    return bytes;
}

bool tls_client::flush() {
    if (options.direct) return true;
    std::vector<std::uint8_t> bytes = take_pending();
    return send_raw(bytes.data(), bytes.size());
}

bool tls_client::write(const void* data, std::size_t size) {
    return encrypt(data, size) && flush();
}

long tls_client::read(void* buffer, std::size_t size) {
    for (;;) {
        ERR_clear_error();
        int result = SSL_read(session, buffer, int(size));
        if (result > 0) return flush() ? result : -1;
        int error = SSL_get_error(session, result);
        if (error == SSL_ERROR_ZERO_RETURN) return 0;
        if (options.direct || error != SSL_ERROR_WANT_READ) return -1;
        if (!flush()) return -1;
        pump_in(); // at the end, the next SSL_read reports it
    }
}

bool tls_client::read_exact(void* buffer, std::size_t size) {
    auto* position = static_cast<std::uint8_t*>(buffer);
    while (size > 0) {
        long got = read(position, size);
        if (got <= 0) return false;
        position += got;
        size -= std::size_t(got);
    }
    return true;
}

bool tls_client::send_raw(const void* data, std::size_t size) {
    return send_fully(fd, static_cast<const std::uint8_t*>(data), size);
}

long tls_client::recv_raw(void* buffer, std::size_t size) {
    for (;;) {
        ssize_t got = ::recv(fd, buffer, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == ECONNRESET) reset = true;
        if (got > 0) received += std::size_t(got);
        return got < 0 ? -1 : long(got);
    }
}

bool tls_client::key_update() {
    return SSL_key_update(session, SSL_KEY_UPDATE_REQUESTED) == 1;
}

bool tls_client::renegotiate() {
    if (SSL_renegotiate(session) != 1) return false;
    ERR_clear_error();
    SSL_do_handshake(session); // writes the hello and then waits for the server
    return BIO_pending(out_bio) > 0;
}

bool tls_client::close_notify() {
    SSL_shutdown(session);
    return flush();
}

bool tls_client::duplex(const std::uint8_t* out, std::size_t out_size, std::uint8_t* in,
                        std::size_t in_size, std::size_t key_update_every, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<std::uint8_t> outgoing;
    std::size_t outgoing_at = 0, out_at = 0, in_at = 0, since_update = 0;
    std::uint8_t chunk[65536];
    set_blocking(fd, false);
    bool ok = true;
    while (ok && (out_at < out_size || outgoing_at < outgoing.size() || in_at < in_size)) {
        if (std::chrono::steady_clock::now() > deadline) ok = false;
        if (outgoing_at == outgoing.size() && out_at < out_size) {
            if (key_update_every != 0 && since_update >= key_update_every) {
                key_update();
                since_update = 0;
            }
            std::size_t piece = std::min<std::size_t>(out_size - out_at, 16384);
            ok = ok && encrypt(out + out_at, piece);
            out_at += piece;
            since_update += piece;
            outgoing = take_pending();
            outgoing_at = 0;
        }
        pollfd entry{fd, short(POLLIN | (outgoing_at < outgoing.size() ? POLLOUT : 0)), 0};
        if (::poll(&entry, 1, 100) < 0 && errno != EINTR) ok = false;
        if (entry.revents & POLLOUT) {
            ssize_t sent = ::send(fd, outgoing.data() + outgoing_at, outgoing.size() - outgoing_at,
                                  MSG_NOSIGNAL);
            if (sent > 0)
                outgoing_at += std::size_t(sent);
            else if (errno != EAGAIN && errno != EINTR)
                ok = false;
        }
        if (entry.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got > 0)
                BIO_write(in_bio, chunk, int(got));
            else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                ok = false;
        }
        while (ok && in_at < in_size) {
            int result =
                SSL_read(session, in + in_at, int(std::min<std::size_t>(in_size - in_at, 65536)));
            if (result <= 0) {
                if (SSL_get_error(session, result) != SSL_ERROR_WANT_READ) ok = false;
                break;
            }
            in_at += std::size_t(result);
        }
        if (outgoing_at == outgoing.size()) { // replies the library wrote while reading
            std::vector<std::uint8_t> more = take_pending();
            if (!more.empty()) {
                outgoing = std::move(more);
                outgoing_at = 0;
            }
        }
    }
    set_blocking(fd, true);
    return ok;
}

void tls_client::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

tls_fd_server::~tls_fd_server() {
    close();
    if (listen_fd >= 0) ::close(listen_fd);
}

std::uint16_t tls_fd_server::listen() {
    listen_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd, 4) != 0 ||
        getsockname(listen_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool tls_fd_server::accept(SSL_CTX* context, int timeout_ms) {
    fd = ::accept(listen_fd, nullptr, nullptr);
    if (fd < 0) return false;
    set_timeouts(fd, timeout_ms);
    session = SSL_new(context);
    if (session == nullptr || SSL_set_fd(session, fd) != 1) return false;
    ERR_clear_error();
    return SSL_accept(session) == 1;
}

long tls_fd_server::read(void* buffer, std::size_t size) {
    int result = SSL_read(session, buffer, int(size));
    return result > 0 ? result : -1;
}

bool tls_fd_server::write(const void* data, std::size_t size) {
    return SSL_write(session, data, int(size)) == int(size);
}

void tls_fd_server::close() {
    if (session != nullptr) SSL_free(session);
    session = nullptr;
    if (fd >= 0) ::close(fd);
    fd = -1;
    ERR_clear_error();
}

int open_descriptors() {
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(folder))
        if (entry->d_name[0] != '.') ++count;
    closedir(folder);
    return count - 1; // the folder's own descriptor
}

} // namespace tls_testing
