// The path scenario's load: N receivers connect to a hub, then one sender writes 4 KiB blocks
// of a known stream for a bounded time; every receiver checks every byte it gets, in order.
// Prints one line: MB/s per receiver after a warm-up, and whether every byte arrived intact.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr std::size_t block_bytes = 4096;
constexpr std::size_t read_bytes = 256 * 1024;
constexpr int max_receivers = 31;

struct G_OPTIONS {
    std::string host = "127.0.0.1"; // the hub's address
    int port = 0;                   // the hub's port
    int receivers = 1;              // receivers, each checks the whole stream
    double seconds = 10;            // how long the sender writes
    double warm = 2;                // seconds of the start not counted in the rates
    double drain = 30;              // how long receivers may take for the rest after the end
    double stall_at = 0;            // when receiver 0 stops reading (0: never), s after the start
    double stall_for = 0;           // for how long it stops
};

struct G_RECEIVER {
    int fd = -1;
    std::atomic<std::uint64_t> got{0};  // bytes received and checked
    std::atomic<std::uint64_t> bad{0};  // bytes that were not the stream's
    std::uint64_t at_warm = 0, at_end = 0; // `got` when the measured time began and ended
    std::thread thread;
};

std::atomic<std::uint64_t> sent_total{0};
std::atomic<std::uint64_t> held_in_stall{0}; // written by the sender, not yet read by receiver 0
std::atomic<bool> sending_done{false};

// Word i of the stream (its bytes in little-endian order): a scrambled index, so that a byte
// lost, doubled or moved shows at once.
std::uint64_t stream_word(std::uint64_t index) {
    std::uint64_t w = index * 0x9E3779B97F4A7C15ull;
    return w ^ (w >> 29);
}

// Counts the bytes of `p` that are not the stream's from offset `at` on.
std::uint64_t count_bad(const std::uint8_t* p, std::size_t n, std::uint64_t at) {
    std::uint64_t bad = 0, word = stream_word(at / 8);
    for (std::size_t k = 0; k < n; k++, at++) {
        if (at % 8 == 0) word = stream_word(at / 8);
        if (p[k] != std::uint8_t(word >> ((at % 8) * 8))) bad++;
    }
    return bad;
}

int connect_to(const G_OPTIONS& o) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(o.port));
    inet_pton(AF_INET, o.host.c_str(), &a.sin_addr);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("path load: connect");
        std::exit(1);
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{1, 0}; // a receive or send wakes each second to see whether the run is over
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

double since(clock_type::time_point t) {
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

void receive(G_RECEIVER* r, bool stalls, const G_OPTIONS& o, clock_type::time_point start,
             clock_type::time_point give_up) {
    std::vector<std::uint8_t> buf(read_bytes);
    std::uint64_t at = 0, bad = 0;
    while (clock_type::now() < give_up) {
        if (sending_done.load() && at >= sent_total.load()) break;
        double t = since(start);
        if (stalls && t >= o.stall_at && t < o.stall_at + o.stall_for) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        ssize_t n = recv(r->fd, buf.data(), buf.size(), 0);
        if (n == 0) break;
        if (n < 0) continue; // the time-out: look at the clock again
        bad += count_bad(buf.data(), std::size_t(n), at);
        at += std::uint64_t(n);
        r->got.store(at);
        r->bad.store(bad);
    }
}

void send_stream(int fd, const G_OPTIONS& o, clock_type::time_point start) {
    std::vector<std::uint8_t> block(block_bytes);
    std::uint64_t at = 0;
    while (since(start) < o.seconds) {
        for (std::size_t k = 0; k < block_bytes; k += 8) {
            std::uint64_t w = stream_word((at + k) / 8);
            std::memcpy(&block[k], &w, 8); // little-endian: byte k of the stream comes first
        }
        std::size_t off = 0;
        while (off < block_bytes) {
            ssize_t n = send(fd, block.data() + off, block_bytes - off, MSG_NOSIGNAL);
            if (n < 0 && errno == EAGAIN && since(start) < o.seconds + o.drain) continue;
            if (n <= 0) return;
            off += std::size_t(n);
        }
        at += block_bytes;
        sent_total.store(at);
    }
}

// What the sender has written beyond what the stalled receiver read, just before it reads
// again: what the path (hub and kernels) lets a sender queue against a receiver that stops.
void watch_stall(const G_RECEIVER* r, const G_OPTIONS& o, clock_type::time_point start) {
    using seconds = std::chrono::duration<double>;
    std::this_thread::sleep_until(start + seconds(o.stall_at + o.stall_for - 0.1));
    held_in_stall.store(sent_total.load() - r->got.load());
}

G_OPTIONS parse(int argc, char** argv) {
    G_OPTIONS o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        double v = std::atof(argv[i + 1]);
        if (k == "--host") o.host = argv[i + 1];
        else if (k == "--port") o.port = int(v);
        else if (k == "--receivers") o.receivers = int(v);
        else if (k == "--seconds") o.seconds = v;
        else if (k == "--warm") o.warm = v;
        else if (k == "--drain") o.drain = v;
        else if (k == "--stall-at") o.stall_at = v;
        else if (k == "--stall-for") o.stall_for = v;
        else o.port = 0;
    }
    if (o.port <= 0 || o.receivers < 1 || o.receivers > max_receivers || o.warm >= o.seconds) {
        std::fprintf(stderr, "usage: relay_path_load --host H --port P [--receivers N] "
                             "[--seconds S] [--warm W] [--drain D] [--stall-at T --stall-for D]\n");
        std::exit(2);
    }
    return o;
}

} // namespace

int main(int argc, char** argv) {
    G_OPTIONS o = parse(argc, argv);
    std::vector<G_RECEIVER> rs(std::size_t(o.receivers));
    for (auto& r : rs) r.fd = connect_to(o);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // silent clients become raw
    int sender = connect_to(o);
    auto start = clock_type::now();
    auto give_up = start + std::chrono::duration<double>(o.seconds + o.drain);
    for (std::size_t i = 0; i < rs.size(); i++)
        rs[i].thread = std::thread(receive, &rs[i], i == 0 && o.stall_for > 0, std::cref(o),
                                   start, std::chrono::time_point_cast<clock_type::duration>(give_up));
    std::thread writer(send_stream, sender, std::cref(o), start);
    std::thread watcher;
    if (o.stall_for > 0) watcher = std::thread(watch_stall, &rs[0], std::cref(o), start);
    std::this_thread::sleep_until(start + std::chrono::duration<double>(o.warm));
    for (auto& r : rs) r.at_warm = r.got.load();
    std::this_thread::sleep_until(start + std::chrono::duration<double>(o.seconds));
    for (auto& r : rs) r.at_end = r.got.load();
    writer.join();
    if (watcher.joinable()) watcher.join();
    sending_done.store(true);
    std::uint64_t sent = sent_total.load();
    double span = o.seconds - o.warm, sum = 0, low = 1e300;
    std::uint64_t bad = 0;
    bool complete = true;
    for (auto& r : rs) {
        r.thread.join();
        double rate = double(r.at_end - r.at_warm) / span / 1e6;
        sum += rate;
        low = rate < low ? rate : low;
        bad += r.bad.load();
        complete = complete && r.got.load() == sent;
    }
    std::printf("result receivers=%d per_receiver=%.2f min=%.2f sent=%llu held=%llu complete=%d "
                "bad=%llu ok=%d\n",
                o.receivers, sum / double(rs.size()), low, (unsigned long long)sent,
                (unsigned long long)held_in_stall.load(), complete ? 1 : 0,
                (unsigned long long)bad, complete && bad == 0 ? 1 : 0);
    close(sender);
    for (auto& r : rs) close(r.fd);
    return complete && bad == 0 ? 0 : 1;
}
