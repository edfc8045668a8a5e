// Client connections of the load driver: set-up (TCP, TLS, WebSocket upgrade) in blocking mode
// with time-outs, then non-blocking reads and writes that the driver's poll loop drives.
#include "bench/engine/bench_conn.h"

#include "tests/support/bench_net.h"

#include <cstring>
#include <openssl/err.h>

namespace bench {
namespace {

constexpr int setup_timeout_ms = 5000;
constexpr char upgrade_key[] = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr char upgrade_accept[] = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
constexpr std::uint8_t mask_key[4] = {0x37, 0xfa, 0x21, 0x3d};

long raw_read(G_CONN* c, std::uint8_t* p, std::size_t n) {
    if (!c->p_ssl) return bench_recv(c->fd, p, n);
    ERR_clear_error();
    int r = SSL_read(c->p_ssl, p, static_cast<int>(n));
    if (r > 0) return r;
    int e = SSL_get_error(c->p_ssl, r);
    c->tls_wants_write = e == SSL_ERROR_WANT_WRITE;
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return io_would_block;
    return e == SSL_ERROR_ZERO_RETURN ? io_closed : io_failed;
}

long raw_write(G_CONN* c, const std::uint8_t* p, std::size_t n) {
    if (!c->p_ssl) return bench_send(c->fd, p, n);
    ERR_clear_error();
    int r = SSL_write(c->p_ssl, p, static_cast<int>(n));
    if (r > 0) return r;
    int e = SSL_get_error(c->p_ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return io_would_block;
    return io_failed;
}

std::string upgrade(G_CONN* c, std::uint16_t port) {
    std::string req =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + upgrade_key +
        "\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (raw_write(c, reinterpret_cast<const std::uint8_t*>(req.data()), req.size()) !=
        long(req.size()))
        return "upgrade request not sent";
    for (int tries = 0; tries < 64; ++tries) {
        long n = raw_read(c, c->p_rbuf + c->rlen, conn_buffer - c->rlen);
        if (n <= 0) return "no upgrade reply";
        c->rlen += n;
        std::string head(reinterpret_cast<char*>(c->p_rbuf), c->rlen);
        std::size_t end = head.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        if (head.compare(0, 12, "HTTP/1.1 101") != 0 || head.find(upgrade_accept) > end)
            return "bad upgrade reply: " + head.substr(0, head.find("\r\n"));
        c->rlen -= end + 4;
        std::memmove(c->p_rbuf, c->p_rbuf + end + 4, c->rlen);
        return "";
    }
    return "upgrade reply too long";
}

} // namespace

SSL_CTX* conn_tls_context() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return nullptr;
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

std::string conn_open(G_CONN* c, std::uint16_t port, SSL_CTX* ctx, bool ws) {
    c->p_rbuf = new std::uint8_t[conn_buffer];
    c->fd = bench_connect(port, setup_timeout_ms);
    if (c->fd < 0) return "connect failed";
    if (ctx) {
        c->p_ssl = SSL_new(ctx);
        SSL_set_fd(c->p_ssl, c->fd);
        ERR_clear_error();
        if (SSL_connect(c->p_ssl) != 1) return "TLS handshake failed";
    }
    c->ws = ws;
    if (ws) {
        std::string e = upgrade(c, port);
        if (!e.empty()) return e;
    }
    return bench_set_nonblocking(c->fd) ? "" : "cannot make the socket non-blocking";
}

void conn_adopt(G_CONN* c, int fd) {
    c->fd = fd;
    c->p_rbuf = new std::uint8_t[conn_buffer];
    bench_set_nonblocking(fd);
}

G_IO conn_read(G_CONN* c) {
    if (c->rlen == conn_buffer) return G_IO::blocked;
    long n = raw_read(c, c->p_rbuf + c->rlen, conn_buffer - c->rlen);
    if (n > 0) {
        c->rlen += n;
        return G_IO::progress;
    }
    return n == io_would_block ? G_IO::blocked : n == io_closed ? G_IO::closed : G_IO::failed;
}

G_IO conn_write(G_CONN* c) {
    while (conn_busy(*c)) {
        long n = raw_write(c, c->p_out + c->out_off, c->out_len - c->out_off);
        if (n == io_would_block) return G_IO::blocked;
        if (n <= 0) return G_IO::failed;
        c->out_off += n;
    }
    return G_IO::progress;
}

void conn_close(G_CONN* c) {
    if (c->p_ssl) SSL_free(c->p_ssl);
    c->p_ssl = nullptr;
    bench_close(c->fd);
    c->fd = -1;
    delete[] c->p_rbuf;
    c->p_rbuf = nullptr;
}

std::size_t ws_frame(std::uint8_t* dst, const std::uint8_t* payload, std::size_t n, bool text,
                     bool masked) {
    std::size_t h = 0;
    dst[h++] = text ? 0x81 : 0x82;
    std::uint8_t m = masked ? 0x80 : 0;
    if (n < 126) {
        dst[h++] = static_cast<std::uint8_t>(m | n);
    } else if (n < 65536) {
        dst[h++] = m | 126;
        dst[h++] = static_cast<std::uint8_t>(n >> 8);
        dst[h++] = static_cast<std::uint8_t>(n);
    } else {
        dst[h++] = m | 127;
        for (int i = 7; i >= 0; --i)
            dst[h++] = static_cast<std::uint8_t>(std::uint64_t(n) >> (8 * i));
    }
    if (!masked) {
        std::memcpy(dst + h, payload, n);
        return h + n;
    }
    std::memcpy(dst + h, mask_key, 4);
    h += 4;
    for (std::size_t i = 0; i < n; ++i) dst[h + i] = payload[i] ^ mask_key[i & 3];
    return h + n;
}

long ws_unframe(const std::uint8_t* p, std::size_t n, std::size_t* payload_off,
                std::size_t* payload_len, int* opcode) {
    if (n < 2) return 0;
    if (p[1] & 0x80) return -1;
    std::size_t h = 2, len = p[1] & 0x7f;
    if (len == 126) {
        if (n < 4) return 0;
        len = std::size_t(p[2]) << 8 | p[3];
        h = 4;
    } else if (len == 127) {
        if (n < 10) return 0;
        len = 0;
        for (int i = 2; i < 10; ++i) len = len << 8 | p[i];
        if (len > conn_buffer) return -1;
        h = 10;
    }
    if (n < h + len) return 0;
    *payload_off = h;
    *payload_len = len;
    *opcode = p[0];
    return static_cast<long>(h + len);
}

} // namespace bench
