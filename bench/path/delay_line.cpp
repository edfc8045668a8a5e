// The path scenario's delay line: a tun device "pathtun" in each of two network namespaces;
// every packet read from one is written to the other after a fixed delay, a share dropped at
// random. Ends after a bounded time, and its devices go with it (measurement only).
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <memory>
#include <linux/if_tun.h>
#include <poll.h>
#include <random>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t slot_bytes = 2048;      // one packet of MTU 1500 and more
constexpr std::size_t queue_slots = 1u << 15; // 64 MiB per direction, far above any window
constexpr char device_name[] = "pathtun";

std::atomic<bool> stop{false};

std::uint64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::uint64_t(t.tv_sec) * 1000000000u + std::uint64_t(t.tv_nsec);
}

// Opens a new tun device inside the named namespace; the calling thread is moved there and
// back, and the descriptor keeps the device alive in that namespace.
int open_tun_in(const std::string& ns) {
    int self = open("/proc/self/ns/net", O_RDONLY);
    int target = open(("/run/netns/" + ns).c_str(), O_RDONLY);
    if (self < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
        std::perror(("delay line: namespace " + ns).c_str());
        std::exit(2);
    }
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK);
    ifreq req{};
    req.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(req.ifr_name, device_name, IFNAMSIZ - 1);
    if (fd < 0 || ioctl(fd, TUNSETIFF, &req) != 0) {
        std::perror("delay line: tun device");
        std::exit(2);
    }
    setns(self, CLONE_NEWNET);
    close(self);
    close(target);
    return fd;
}

// A ring of packets in arrival order; each leaves at its arrival time plus the delay.
struct G_QUEUE {
    std::unique_ptr<std::uint8_t[]> bytes{new std::uint8_t[slot_bytes * queue_slots]};
    std::vector<std::uint64_t> due = std::vector<std::uint64_t>(queue_slots); // release, ns
    std::vector<std::uint16_t> size = std::vector<std::uint16_t>(queue_slots);
    std::size_t head = 0, tail = 0; // next to leave, next free
};

// One direction: reads what arrives at `in`, holds it for `delay_ns` and writes it to `out`.
void carry(int in, int out, std::uint64_t delay_ns, double loss, unsigned seed) {
    G_QUEUE q;
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    while (!stop.load()) {
        std::uint64_t now = now_ns();
        while (q.head != q.tail && q.due[q.head % queue_slots] <= now) {
            std::size_t s = q.head % queue_slots;
            if (write(out, &q.bytes[s * slot_bytes], q.size[s]) < 0 && errno == EAGAIN) break;
            q.head++;
        }
        long wait_ns = 200000000;
        if (q.head != q.tail) wait_ns = long(q.due[q.head % queue_slots] - now);
        if (wait_ns < 0) wait_ns = 0;
        pollfd p{in, POLLIN, 0};
        timespec t{wait_ns / 1000000000, wait_ns % 1000000000};
        if (ppoll(&p, 1, &t, nullptr) <= 0) continue;
        for (;;) {
            std::size_t s = q.tail % queue_slots;
            ssize_t n = read(in, &q.bytes[s * slot_bytes], slot_bytes);
            if (n <= 0) break;
            if (q.tail - q.head >= queue_slots - 1 || (loss > 0 && chance(random) < loss))
                continue; // a full queue drops, as a router's does
            q.due[s] = now_ns() + delay_ns;
            q.size[s] = std::uint16_t(n);
            q.tail++;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: relay_delay_line NS_A NS_B ONE_WAY_MS LOSS SECONDS\n");
        return 2;
    }
    int a = open_tun_in(argv[1]);
    int b = open_tun_in(argv[2]);
    auto delay_ns = std::uint64_t(std::atof(argv[3]) * 1e6);
    double loss = std::atof(argv[4]);
    std::printf("ready\n");
    std::fflush(stdout);
    std::thread ab(carry, a, b, delay_ns, loss, 1u);
    std::thread ba(carry, b, a, delay_ns, loss, 2u);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[5])));
    stop.store(true);
    ab.join();
    ba.join();
    return 0;
}
