// Load driver for hubs that pass each connection's payloads to every other connection (the
// relay, ncat --broker, a ws broadcast server) and for a plain loopback copy of the same bytes.
// Measures fan-out and many-to-many throughput, latency and idle connections, and proves that
// every payload arrived whole and in order (see bench_record.h), so a fast wrong hub cannot win.
#include "bench/engine/bench_conn.h"
#include "bench/engine/bench_record.h"
#include "tests/support/bench_net.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace bench;

namespace {

using clock_type = std::chrono::steady_clock;
constexpr unsigned max_conns = 32;
constexpr auto sync_interval = std::chrono::milliseconds(20);
constexpr int grace_seconds = 30; // sync and drain time allowed besides the measured time
// Records of one sender in flight per receiver at most: hubs that queue without limit (ws,
// ncat) are measured at the rate they deliver, not at the rate they can take in.
constexpr std::uint64_t window_records = 512;

// Command line of the driver.
struct G_OPTIONS {
    std::uint16_t port = 0;      // hub's port on 127.0.0.1 (unused for a direct copy)
    std::string proto = "raw";   // raw, tls, ws or wss
    std::string mode = "fanout"; // fanout, many, latency or idle
    unsigned conns = 32;         // connections, senders included
    unsigned senders = 1;        // connections 0 .. senders-1 send
    std::size_t size = 4096;     // record (payload) size in bytes, a multiple of 8
    double seconds = 3;          // measured time of a throughput run, hold time of idle
    unsigned rounds = 2000;      // latency samples at most
    unsigned threads = 4;        // poll threads
    bool direct = false;         // no hub: the sender writes to each receiver itself
    bool text = true;            // WebSocket senders send text frames
    double rate = 0;             // fanout: records per second of each sender; 0 as fast as it can
    std::string ready_file;      // idle: created once every connection is open
};

// What one receiver knows of one sender.
struct G_PEER {
    bool expected = false;  // this receiver should get the sender's records
    bool synced = false;    // a sync record has arrived
    bool started = false;   // a data record has arrived
    bool done = false;      // the end record has arrived
    std::uint32_t next = 0; // next data sequence number expected
};

// A connection whose incoming records are checked.
struct G_INPUT {
    G_CONN* c = nullptr;                   // the connection
    unsigned owner = 0;                    // receiver identity (connection number)
    G_PEER peers[max_conns];               // per sender
    std::uint32_t unacked[max_conns] = {}; // data records received, not yet added to acked
    unsigned waiting = 0;                  // expected senders whose end record has not arrived
    bool aligned = false;                  // raw stream: a whole sync record has been found
    bool done = false;                     // every expected sender has ended
};

// A sender and the connections it writes to.
struct G_SENDER {
    unsigned id = 0;                     // sender number (its connection number)
    std::vector<G_CONN*> outputs;        // hub mode: its own connection; direct: every receiver
    G_BODY body;                         // body of every record
    std::vector<std::uint8_t> batch;     // frames being written
    std::vector<std::uint8_t> record;    // one record before framing
    int phase = 0;                       // 0 sync, 1 data, 2 end queued, 3 done
    std::uint32_t seq = 0;               // data records queued
    clock_type::time_point last_sync;    // when the last sync record was queued
    std::atomic<std::uint64_t> acked{0}; // data records received of it, over all receivers
    std::uint64_t receivers = 0;         // receivers that expect it
};

// Everything the poll threads share.
struct G_SHARED {
    G_OPTIONS opt;                           // the command line
    std::atomic<int> phase{0};               // 0 sync, 1 measuring
    std::atomic<unsigned> synced{0};         // (receiver, sender) pairs synced
    unsigned pairs = 0;                      // pairs expected
    std::atomic<unsigned> inputs_done{0};    // inputs whose senders all ended
    unsigned inputs = 0;                     // inputs in all
    std::atomic<unsigned> senders_done{0};   // senders whose end record is written
    unsigned senders = 0;                    // senders in all
    clock_type::time_point start;            // start of the measured phase
    std::atomic<std::int64_t> end_ns{0};     // last input done, ns after start
    clock_type::time_point deadline;         // the run fails past this
    std::atomic<bool> failed{false};         // a check failed
    std::mutex error_lock;                   // guards error
    std::string error;                       // first failure
    std::atomic<std::uint64_t> delivered{0}; // data records received, over all inputs
    // Latency (one thread only): the open round and its samples.
    bool round_open = false;
    std::uint32_t round_seq = 0;
    unsigned round_hits = 0;
    unsigned receivers = 0;
    clock_type::time_point round_t0;
    std::vector<double> samples_us;
    G_SENDER* p_senders[max_conns] = {}; // sender by number
};

// One poll thread's share.
struct G_WORKER {
    std::vector<G_SENDER*> senders;
    std::vector<G_CONN*> conns;   // each connection once
    std::vector<G_INPUT*> inputs; // parallel to conns; null for write-only connections
    std::uint64_t delivered = 0;
};

G_SHARED g;

void fail(const std::string& why) {
    std::lock_guard<std::mutex> hold(g.error_lock);
    if (!g.failed.exchange(true)) g.error = why;
}

bool is_ws() {
    return g.opt.proto == "ws" || g.opt.proto == "wss";
}
bool is_tls() {
    return g.opt.proto == "tls" || g.opt.proto == "wss";
}

std::int64_t since_start_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now() - g.start)
        .count();
}

// ---- sending ----

void sender_queue(G_SENDER* s, G_KIND kind, unsigned count) {
    std::size_t n = 0;
    std::size_t frame_max = g.opt.size + 14;
    if (s->batch.size() < frame_max * count) s->batch.resize(frame_max * count);
    for (unsigned i = 0; i < count; ++i) {
        std::uint32_t seq = kind == G_KIND::data ? s->seq++ : kind == G_KIND::end ? s->seq : 0;
        if (!is_ws()) {
            record_write(s->batch.data() + n, s->body, kind, s->id, seq);
            n += g.opt.size;
            continue;
        }
        record_write(s->record.data(), s->body, kind, s->id, seq);
        n += ws_frame(s->batch.data() + n, s->record.data(), g.opt.size, g.opt.text, !g.opt.direct);
    }
    for (G_CONN* c : s->outputs) {
        c->p_out = s->batch.data();
        c->out_len = n;
        c->out_off = 0;
        if (conn_write(c) == G_IO::failed) fail("send to the hub failed");
    }
}

bool sender_busy(const G_SENDER* s) {
    for (const G_CONN* c : s->outputs)
        if (conn_busy(*c)) return true;
    return false;
}

// Records due by now at the fixed rate, counted from the start of the measured phase.
std::uint32_t records_due(clock_type::time_point now) {
    double elapsed = std::chrono::duration<double>(now - g.start).count();
    return std::uint32_t(elapsed * g.opt.rate) + 1;
}

// A paced sender writes one record when the next one is due, so that each payload reaches the
// hub on its own, as messages of a chat do.
void sender_paced(G_SENDER* s, clock_type::time_point now) {
    if (s->seq < records_due(now)) sender_queue(s, G_KIND::data, 1);
}

// How long a poll may sleep: until the next record of a paced sender is due.
int poll_timeout_ms(const G_WORKER* w) {
    if (g.opt.rate <= 0 || w->senders.empty() || g.phase.load() != 1) return 2;
    auto now = clock_type::now();
    double next_s = double(w->senders.front()->seq) / g.opt.rate;
    double left_ms = (next_s - std::chrono::duration<double>(now - g.start).count()) * 1000;
    return std::clamp(int(left_ms), 0, 2);
}

void sender_data(G_SENDER* s, clock_type::time_point now) {
    bool latency = g.opt.mode == "latency";
    if (latency && g.round_open) return;
    bool over = now - g.start >= std::chrono::duration<double>(g.opt.seconds);
    if (over || (latency && s->seq >= g.opt.rounds)) {
        sender_queue(s, G_KIND::end, 1);
        s->phase = 2;
        return;
    }
    if (latency) {
        g.round_open = true;
        g.round_seq = s->seq;
        g.round_hits = 0;
        g.round_t0 = clock_type::now();
        sender_queue(s, G_KIND::data, 1);
        return;
    }
    if (g.opt.rate > 0) return sender_paced(s, now);
    std::size_t frame = g.opt.size + (is_ws() ? 14 : 0);
    unsigned count = unsigned(std::clamp<std::size_t>(65536 / frame, 1, 64));
    if ((s->seq + count) * s->receivers > s->acked.load() + window_records * s->receivers) return;
    sender_queue(s, G_KIND::data, count);
}

void sender_step(G_SENDER* s) {
    if (s->phase == 3 || sender_busy(s)) return;
    auto now = clock_type::now();
    if (s->phase == 0 && g.phase.load() == 1) s->phase = 1;
    if (s->phase == 0 && now - s->last_sync >= sync_interval) {
        s->last_sync = now;
        sender_queue(s, G_KIND::sync, 1);
    } else if (s->phase == 1) {
        sender_data(s, now);
    } else if (s->phase == 2) {
        s->phase = 3;
        g.senders_done++;
    }
}

// ---- receiving and checking ----

void input_finish(G_INPUT* in) {
    in->done = true;
    if (++g.inputs_done == g.inputs) g.end_ns = since_start_ns();
}

void round_hit(std::uint32_t seq) {
    if (!g.round_open || seq != g.round_seq || ++g.round_hits < g.receivers) return;
    auto d = clock_type::now() - g.round_t0;
    g.samples_us.push_back(std::chrono::duration<double, std::micro>(d).count());
    g.round_open = false;
}

void on_data(G_WORKER* w, G_INPUT* in, G_PEER& p, const G_RECORD& r) {
    if (!p.synced) return fail("data before sync from sender " + std::to_string(r.sender));
    if (r.seq != p.next)
        return fail("sender " + std::to_string(r.sender) + ": expected record " +
                    std::to_string(p.next) + ", got " + std::to_string(r.seq));
    p.next++;
    p.started = true;
    w->delivered++;
    in->unacked[r.sender]++;
    if (g.opt.mode == "latency") round_hit(r.seq);
}

void on_end(G_INPUT* in, G_PEER& p, const G_RECORD& r) {
    if (r.seq != p.next)
        return fail("receiver " + std::to_string(in->owner) + " lost " +
                    std::to_string(r.seq - p.next) + " of " + std::to_string(r.seq) +
                    " records of sender " + std::to_string(r.sender));
    p.done = true;
    if (--in->waiting == 0) input_finish(in);
}

void on_record(G_WORKER* w, G_INPUT* in, const std::uint8_t* p, std::size_t n) {
    G_RECORD r;
    if (!record_check(p, n, &r) || n != g.opt.size)
        return fail("corrupt payload of " + std::to_string(n) + " bytes at receiver " +
                    std::to_string(in->owner));
    if (r.sender == in->owner && !g.opt.direct) return fail("a sender got its own payload");
    if (r.sender >= max_conns || !in->peers[r.sender].expected)
        return fail("payload from unexpected sender " + std::to_string(r.sender));
    G_PEER& peer = in->peers[r.sender];
    if (peer.done) return fail("payload after the end record");
    if (r.kind == G_KIND::sync) {
        if (peer.started) return fail("sync record after data");
        if (!peer.synced) peer.synced = true, g.synced++;
    } else if (r.kind == G_KIND::data) {
        on_data(w, in, peer, r);
    } else {
        on_end(in, peer, r);
    }
}

// Raw stream: records back to back once aligned; before that, skip to a whole sync record
// (a receiver that joined while the hub was passing on a chunk may see a partial record).
std::size_t parse_raw(G_WORKER* w, G_INPUT* in) {
    const std::uint8_t* p = in->c->p_rbuf;
    std::size_t n = in->c->rlen, pos = 0, size = g.opt.size;
    while (!g.failed && n - pos >= size) {
        if (!in->aligned) {
            G_RECORD r;
            if (p[pos] != '#' || p[pos + 1] != 'S' || !record_check(p + pos, size, &r)) {
                pos++;
                continue;
            }
            in->aligned = true;
        }
        on_record(w, in, p + pos, size);
        pos += size;
    }
    return pos;
}

std::size_t parse_ws(G_WORKER* w, G_INPUT* in) {
    const std::uint8_t* p = in->c->p_rbuf;
    std::size_t n = in->c->rlen, pos = 0;
    while (!g.failed) {
        std::size_t off, len;
        int op;
        long f = ws_unframe(p + pos, n - pos, &off, &len, &op);
        if (f == 0) break;
        if (f < 0) return fail("malformed WebSocket frame"), pos;
        if (op != 0x81 && op != 0x82)
            return fail("unexpected frame type " + std::to_string(op)), pos;
        if (g.opt.text && op != 0x81) return fail("a text payload arrived as a binary frame"), pos;
        on_record(w, in, p + pos + off, len);
        pos += f;
    }
    return pos;
}

void input_parse(G_WORKER* w, G_INPUT* in) {
    std::size_t used = in->c->ws ? parse_ws(w, in) : parse_raw(w, in);
    G_CONN* c = in->c;
    c->rlen -= used;
    std::memmove(c->p_rbuf, c->p_rbuf + used, c->rlen);
    for (unsigned s = 0; s < max_conns; ++s) {
        if (!in->unacked[s]) continue;
        g.p_senders[s]->acked += in->unacked[s];
        in->unacked[s] = 0;
    }
}

void input_read(G_WORKER* w, G_INPUT* in) {
    for (int i = 0; i < 16 && !g.failed; ++i) {
        G_IO r = conn_read(in->c);
        if (r == G_IO::blocked) return;
        if (r != G_IO::progress)
            return fail("hub " + std::string(r == G_IO::closed ? "closed" : "broke") +
                        " the connection of receiver " + std::to_string(in->owner));
        if (in->done)
            return fail("data after the end record at receiver " + std::to_string(in->owner));
        input_parse(w, in);
    }
}

// ---- the poll loop ----

bool all_done() {
    return g.inputs_done == g.inputs && g.senders_done == g.senders;
}

void maybe_start() {
    int zero = 0;
    if (g.phase.load() == 0 && g.synced.load() == g.pairs &&
        g.phase.compare_exchange_strong(zero, 2)) {
        g.start = clock_type::now();
        g.phase = 1;
    }
}

void worker_run(G_WORKER* w) {
    std::vector<G_POLL_ENTRY> set(w->conns.size());
    while (!g.failed && !all_done()) {
        if (clock_type::now() > g.deadline) return fail("time-out: hub did not deliver everything");
        maybe_start();
        for (G_SENDER* s : w->senders) sender_step(s);
        for (std::size_t i = 0; i < set.size(); ++i) {
            G_CONN* c = w->conns[i];
            set[i] = G_POLL_ENTRY{c->fd, w->inputs[i] != nullptr,
                                  conn_busy(*c) || c->tls_wants_write, false, false};
        }
        if (bench_poll(set.data(), set.size(), poll_timeout_ms(w)) < 0) return fail("poll failed");
        for (std::size_t i = 0; i < set.size() && !g.failed; ++i) {
            G_CONN* c = w->conns[i];
            if ((set[i].can_write || set[i].can_read) && conn_busy(*c) &&
                conn_write(c) == G_IO::failed)
                fail("send failed");
            if (set[i].can_read && w->inputs[i]) input_read(w, w->inputs[i]);
        }
    }
}

// ---- set-up ----

struct G_RUN {
    std::vector<std::unique_ptr<G_CONN>> conns;
    std::vector<std::unique_ptr<G_INPUT>> inputs;
    std::vector<std::unique_ptr<G_SENDER>> senders;
    std::vector<G_WORKER> workers;
    int listener = -1;
    SSL_CTX* ctx = nullptr;
};

G_INPUT* add_input(G_RUN* run, G_CONN* c, unsigned owner) {
    run->inputs.push_back(std::make_unique<G_INPUT>());
    G_INPUT* in = run->inputs.back().get();
    in->c = c;
    in->owner = owner;
    return in;
}

void expect(G_INPUT* in, unsigned sender) {
    in->peers[sender].expected = true;
    in->waiting++;
    g.pairs++;
    g.p_senders[sender]->receivers++;
}

G_SENDER* add_sender(G_RUN* run, unsigned id) {
    run->senders.push_back(std::make_unique<G_SENDER>());
    G_SENDER* s = run->senders.back().get();
    s->id = id;
    s->body = body_make(id, g.opt.size);
    s->record.resize(g.opt.size);
    g.p_senders[id] = s;
    return s;
}

void place(G_WORKER* w, G_CONN* c, G_INPUT* in) {
    w->conns.push_back(c);
    w->inputs.push_back(in);
}

std::string open_hub(G_RUN* run) {
    unsigned t = g.opt.threads;
    for (unsigned i = 0; i < g.opt.conns; ++i) {
        run->conns.push_back(std::make_unique<G_CONN>());
        std::string e = conn_open(run->conns.back().get(), g.opt.port, run->ctx, is_ws());
        if (!e.empty()) return "connection " + std::to_string(i) + ": " + e;
    }
    if (g.opt.mode == "idle") return "";
    for (unsigned i = 0; i < g.opt.senders; ++i) {
        G_SENDER* s = add_sender(run, i);
        s->outputs.push_back(run->conns[i].get());
        run->workers[i % t].senders.push_back(s);
    }
    for (unsigned i = 0; i < g.opt.conns; ++i) {
        G_CONN* c = run->conns[i].get();
        G_INPUT* in = add_input(run, c, i);
        for (unsigned s = 0; s < g.opt.senders; ++s)
            if (s != i) expect(in, s);
        if (in->waiting == 0) input_finish(in);
        place(&run->workers[i % t], c, in);
    }
    return "";
}

std::string open_direct(G_RUN* run) {
    unsigned t = g.opt.threads, k = 0;
    if (is_tls()) return "a direct copy is plain TCP only";
    run->listener = bench_listen(0, 512);
    std::uint16_t port = bench_local_port(run->listener);
    if (run->listener < 0 || port == 0) return "cannot listen";
    for (unsigned s = 0; s < g.opt.senders; ++s) {
        G_SENDER* snd = add_sender(run, s);
        run->workers[s % t].senders.push_back(snd);
        for (unsigned j = 0; j < g.opt.conns; ++j) {
            if (j == s) continue;
            run->conns.push_back(std::make_unique<G_CONN>());
            G_CONN* in_c = run->conns.back().get();
            std::string e = conn_open(in_c, port, nullptr, false);
            if (!e.empty()) return e;
            in_c->ws = is_ws();
            run->conns.push_back(std::make_unique<G_CONN>());
            G_CONN* out_c = run->conns.back().get();
            int fd = bench_accept(run->listener, 5000);
            if (fd < 0) return "accept failed";
            conn_adopt(out_c, fd);
            snd->outputs.push_back(out_c);
            place(&run->workers[s % t], out_c, nullptr);
            G_INPUT* in = add_input(run, in_c, j);
            expect(in, s);
            place(&run->workers[k++ % t], in_c, in);
        }
    }
    return "";
}

std::string run_idle(G_RUN* run) {
    if (!g.opt.ready_file.empty()) std::ofstream(g.opt.ready_file) << "ready\n";
    std::this_thread::sleep_for(std::chrono::duration<double>(g.opt.seconds));
    for (auto& c : run->conns) {
        G_POLL_ENTRY e{c->fd, true, false, false, false};
        if (bench_poll(&e, 1, 0) == 1 && conn_read(c.get()) != G_IO::blocked)
            return "the hub closed or broke an idle connection";
    }
    return "";
}

void close_all(G_RUN* run) {
    for (auto& c : run->conns) conn_close(c.get());
    bench_close(run->listener);
    if (run->ctx) SSL_CTX_free(run->ctx);
}

// ---- command line and report ----

bool parse_options(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--port")
            g.opt.port = std::uint16_t(std::atoi(v.c_str()));
        else if (k == "--proto")
            g.opt.proto = v;
        else if (k == "--mode")
            g.opt.mode = v;
        else if (k == "--conns")
            g.opt.conns = unsigned(std::atoi(v.c_str()));
        else if (k == "--senders")
            g.opt.senders = unsigned(std::atoi(v.c_str()));
        else if (k == "--size")
            g.opt.size = std::size_t(std::atol(v.c_str()));
        else if (k == "--seconds")
            g.opt.seconds = std::atof(v.c_str());
        else if (k == "--rounds")
            g.opt.rounds = unsigned(std::atoi(v.c_str()));
        else if (k == "--threads")
            g.opt.threads = unsigned(std::atoi(v.c_str()));
        else if (k == "--direct")
            g.opt.direct = v == "1";
        else if (k == "--text")
            g.opt.text = v == "1";
        else if (k == "--rate")
            g.opt.rate = std::atof(v.c_str());
        else if (k == "--ready-file")
            g.opt.ready_file = v;
        else
            return false;
    }
    const G_OPTIONS& o = g.opt;
    bool proto_ok = o.proto == "raw" || o.proto == "tls" || is_ws();
    bool mode_ok =
        o.mode == "fanout" || o.mode == "many" || o.mode == "latency" || o.mode == "idle";
    return argc % 2 == 1 && proto_ok && mode_ok && o.conns >= 2 && o.conns <= max_conns &&
           o.senders >= 1 && o.senders <= o.conns && o.size >= record_header &&
           o.size <= record_max && o.size % 8 == 0 && o.threads >= 1 && o.threads <= 16 &&
           (o.port != 0 || o.direct) && o.seconds > 0 && o.seconds < 600 && o.rate >= 0 &&
           (o.rate == 0 || o.mode == "fanout");
}

void usage() {
    std::fprintf(stderr, "usage: relay_bench --port P [--proto raw|tls|ws|wss] "
                         "[--mode fanout|many|latency|idle]\n"
                         "  [--conns N] [--senders S] [--size BYTES] [--seconds S] [--rounds R]\n"
                         "  [--threads T] [--direct 0|1] [--text 0|1] [--rate PER_SECOND]\n"
                         "  [--ready-file PATH]\n"
                         "Prints one line: result ok=1 delivered=... per_sec=... mb_per_sec=... "
                         "p50_us=... p99_us=...\n");
}

double quantile(std::vector<double>& v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(double(v.size()) * q))];
}

int report(const std::string& error, int fds_left) {
    if (!error.empty()) {
        std::printf("result ok=0 mode=%s proto=%s error=\"%s\"\n", g.opt.mode.c_str(),
                    g.opt.proto.c_str(), error.c_str());
        return 1;
    }
    double secs = double(g.end_ns.load()) / 1e9;
    std::uint64_t n = g.delivered;
    double bytes = double(n) * double(g.opt.size);
    std::printf("result ok=1 mode=%s proto=%s delivered=%llu bytes=%.0f seconds=%.4f "
                "per_sec=%.0f mb_per_sec=%.2f p50_us=%.1f p99_us=%.1f samples=%zu fds_left=%d\n",
                g.opt.mode.c_str(), g.opt.proto.c_str(), (unsigned long long)n, bytes, secs,
                secs > 0 ? double(n) / secs : 0, secs > 0 ? bytes / secs / 1e6 : 0,
                quantile(g.samples_us, 0.5), quantile(g.samples_us, 0.99), g.samples_us.size(),
                fds_left);
    return fds_left == 0 ? 0 : 1;
}

std::string measure(G_RUN* run) {
    g.inputs = unsigned(run->inputs.size());
    g.senders = unsigned(run->senders.size());
    g.receivers = g.opt.conns - 1;
    g.deadline =
        clock_type::now() + std::chrono::duration_cast<clock_type::duration>(
                                std::chrono::duration<double>(g.opt.seconds + grace_seconds));
    std::vector<std::thread> threads;
    for (auto& w : run->workers) threads.emplace_back(worker_run, &w);
    for (auto& t : threads) t.join();
    for (auto& w : run->workers) g.delivered += w.delivered;
    std::lock_guard<std::mutex> hold(g.error_lock);
    return g.error;
}

} // namespace

int main(int argc, char** argv) {
    if (!parse_options(argc, argv)) {
        usage();
        return 2;
    }
    if (g.opt.mode == "latency") g.opt.threads = 1;
    int fds_before = bench_open_descriptors();
    std::string error;
    {
        G_RUN run;
        run.workers.resize(g.opt.threads);
        if (is_tls() && !(run.ctx = conn_tls_context())) error = "no TLS context";
        if (error.empty()) error = g.opt.direct ? open_direct(&run) : open_hub(&run);
        if (error.empty()) error = g.opt.mode == "idle" ? run_idle(&run) : measure(&run);
        close_all(&run);
    }
    return report(error, bench_open_descriptors() - fds_before);
}
