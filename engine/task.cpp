// The relay slot: its record and events, the creation of its reader and writer threads, the
// two thread routines with the writer's loop, and the slot's teardown. No thread is ever
// terminated: each ends by itself once the events it waits on are closed, and is joined.
#include "engine/engine.h"

G_TASK::G_TASK()
    : ev_start_r{}, ev_start_w{}, ev_send{}, ev_free{}, send_result(0), send_error(0), toggle(0),
      send_base(nullptr), current_half(nullptr), p_send(nullptr), half(0), size_send(0), ws(),
      working(0), ready(0), run(0), thread_r{}, thread_w{}, slot_number(slot_counter), not_quiet(0),
      write(0), pRAM(nullptr), generation(0) {
    ++slot_counter;
    ev_send.create(false);
    ev_free.create(true);
}

G_TASK::~G_TASK() {
    --slot_counter;
    run.store(0, std::memory_order_release);
    ready.store(0, std::memory_order_release);
    pRAM = nullptr;
    ws.tls.abort.store(1);
    ws.tls.close();
    ev_start_r.close();
    ev_start_w.close();
    ev_send.close();
    ev_free.close();
    if (thread_r.started) {
        thread_r.join();
        thread_r.close();
    }
    if (thread_w.started) {
        thread_w.join();
        thread_w.close();
    }
}

// A slot that lacks one of its events cannot keep its senders apart or wake its writer, so
// it serves nothing: its reader never accepts (and nothing is reported).
bool G_TASK::sound() {
    bool events = ev_start_r.valid.load() && ev_send.valid.load() && ev_free.valid.load();
    bool writer = !write || ev_start_w.valid.load();
    bool transport = ws.tls.lock.valid.load() && ws.tls.send_lock.valid.load();
    return events && writer && transport;
}

namespace {

[[noreturn]] void thread_failed(uint32_t code) {
    print_error(code, L"CreateThread(NULL, 0, bootstrap_r/w, this, 0, NULL)");
    // The exit status keeps the code's low byte only: one that reads 0 there would say success.
    ExitProcess((code & 0xFF) != 0 ? code : uint32_t(exit_failure));
}

} // namespace

void G_TASK::create() {
    ws.tls.p_recv = pRAM;
    ws.tls.p_recv_size = packet_length;
    run.store(1, std::memory_order_release);
    ev_start_r.create(false);
    uint32_t r = thread_r.start(bootstrap_r, this);
    if (r != 0) thread_failed(r);
    if (write) {
        ev_start_w.create(false);
        r = thread_w.start(bootstrap_w, this);
        if (r != 0) thread_failed(r);
    }
}

DWORD bootstrap_r(LPVOID slot) {
    G_TASK* t = static_cast<G_TASK*>(slot);
    if (t->ev_start_r.wait() == 0 && t->sound()) accept_loop(t);
    t->run.store(0, std::memory_order_release);
    t->ev_send.close();    // wakes the writer parked in work_w
    t->ev_free.close();    // wakes every sender parked on this slot; each refuses
    t->ev_start_w.close(); // wakes the writer still parked before the first connection
    t->ws.tls.close();
    t->thread_w.join(); // the writer never outlives its reader
    return 0;
}

DWORD bootstrap_w(LPVOID slot) {
    G_TASK* t = static_cast<G_TASK*>(slot);
    work_loop(t, &t->ev_start_w);
    t->run.store(0, std::memory_order_release);
    t->ev_start_r.close(); // a reader still parked at its start ends without serving
    t->ws.tls.close();
    return 0;
}

// The writer waits for the slot's first ready connection, then stays in work_w, parked on
// ev_send between payloads and between connections, until shutdown closes ev_send. It
// enters work_w on that first signal even if the connection has already ended: a payload
// queued for it must still be sent (or fail) and its token given back, which the reader
// waits for before it accepts the next connection.
void work_loop(G_TASK* t, G_EVENT* ev_start) {
    while (t->run.load(std::memory_order_acquire)) {
        if (ev_start->wait() != 0) return;
        work_w(t);
        t->working.store(0, std::memory_order_release);
        if (stop.load(std::memory_order_relaxed)) return;
    }
}
