// The accept loop: the whole life of every connection of one slot, from accept through TLS
// detection and the WebSocket upgrade to relaying and close, with its console lines; and the
// end of the relay, which a failed accept starts.
#include "engine/engine.h"

namespace {

inline constexpr int keep_alive_idle_seconds = 75;
inline constexpr DWORD classify_timeout_ms = 500; // bounds detection, handshake and upgrade
inline constexpr uint32_t no_slot = max_connections; // a thread that is no slot's reader

// The slot whose reader this thread is, set as the reader's accept loop begins; no_slot on
// every other thread (the writers, the main thread). Only a slot's reader prints its arrival
// line and reports while its connection is classified.
thread_local uint32_t reader_slot = no_slot;

void set_int_option(SOCKET s, int level, int option, int value) {
    setsockopt(s, level, option, reinterpret_cast<const char*>(&value), sizeof value);
}

void report_accept_failure(G_TASK* t, int e, const sockaddr_in* addr, int addr_size) {
    con_report_begin();
    con_wprintf(L"!! server %02u  accept(so_listen:%i, (sockaddr *) &addr_listen:%08llx, "
                L"&addr_listen_size:%u)\n",
                t->slot_number, int(so_listen.load()),
                (unsigned long long)reinterpret_cast<uintptr_t>(addr), unsigned(addr_size));
    print_error(uint32_t(e), nullptr);
    con_report_end();
}

// Holds the console's lock for one connection line and the state that goes with it.
struct console_held {
    console_held() { con_lock(); }
    ~console_held() { con_unlock(); }
    console_held(const console_held&) = delete;
    console_held& operator=(const console_held&) = delete;
};

// Counts the connection. With its console lines on, the count and the arrival line are one
// step, so that the counts of consecutive lines follow one another; the line stays open for
// the type word, and the slot is noted as its owner.
void count_arrival(G_TASK* t, const sockaddr_in* addr, SOCKET s) {
    if (!t->not_quiet) {
        active.fetch_add(1);
        return;
    }
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(&addr->sin_addr.s_addr);
    console_held held;
    int32_t n = active.fetch_add(1) + 1;
    con_wprintf(L"\r:: SYN from %u.%u.%u.%u:%u  :: server_%02u.working  active %02u/%02u  so %i  ",
                unsigned(ip[0]), unsigned(ip[1]), unsigned(ip[2]), unsigned(ip[3]),
                unsigned(ntohs(addr->sin_port)), t->slot_number, unsigned(n),
                unsigned(connection_count), int(s));
    line_open.store(1, std::memory_order_relaxed);
    line_owner = t->slot_number;
}

// The type word ends the arrival line only while that line is still open and still this
// connection's: no other connection's arrival or end line has come since. A slot serves one
// connection at a time, so its number names the connection.
void print_type_word(G_TASK* t) {
    bool tls = t->ws.tls.ssl.load() != nullptr;
    bool ws = t->ws.is_ws != 0;
    const wchar_t* word = tls ? (ws ? L"WSS" : L"TLS") : (ws ? L"WS" : L"RAW");
    console_held held;
    if (!line_open.load(std::memory_order_relaxed) || line_owner != t->slot_number) return;
    line_open.store(0, std::memory_order_relaxed);
    con_wprintf(L"%s\n", word);
}

// Ends an open arrival line, whichever slot's, with an empty line: what follows stands on a
// line of its own, and that line's type word is no longer printed. Under the console's lock.
void end_open_line() {
    if (!line_open.load(std::memory_order_relaxed)) return;
    line_open.store(0, std::memory_order_relaxed);
    con_wprintf(L"\n\n");
}

// Counts the end of the connection. With its console lines on, the count, the end of an open
// arrival line (whichever slot's) and the end line are one step: the line shows the count as
// it is when printed, and stands on a line of its own.
void count_end(G_TASK* t, SOCKET s) {
    if (!t->not_quiet) {
        active.fetch_sub(1);
        return;
    }
    console_held held;
    int32_t m = active.fetch_sub(1) - 1;
    end_open_line();
    con_wprintf(L":: server_%02u.fin  active %02u/%02u  so %i\n", t->slot_number, unsigned(m),
                unsigned(connection_count), int(s));
}

// Settles the end of a connection with the slot's writer. The transport is closed and the
// slot no longer ready, so no new payload is handed over; taking the send token waits until
// the writer has finished the payload it may hold (its send fails on the closed socket and
// its close finds nothing left to close). Under the token the connection's send state is
// cleared and the generation moves on, so that a sender who chose the slot for this
// connection and is still waiting for the token refuses its payload. Only then may the next
// connection's socket be stored in the transport.
void retire_connection(G_TASK* t) {
    bool token = t->ev_free.wait() == 0;
    t->ws.is_ws = 0;
    t->send_result = 0;
    t->send_error = 0;
    t->size_send = 0;
    t->generation.fetch_add(1, std::memory_order_acq_rel);
    if (token) t->ev_free.set();
}

void serve_connection(G_TASK* t, SOCKET s, const sockaddr_in* addr) {
    count_arrival(t, addr, s);
    t->working.store(1, std::memory_order_release);
    set_int_option(s, SOL_SOCKET, SO_KEEPALIVE, 1);
    set_int_option(s, IPPROTO_TCP, TCP_KEEPALIVE, keep_alive_idle_seconds);
    set_int_option(s, SOL_SOCKET, SO_RCVTIMEO, int(classify_timeout_ms));
    if (t->ws.tls.accept(s) != -1) {
        t->ws.handshake(reinterpret_cast<char*>(t->pRAM));
        if (t->not_quiet) print_type_word(t);
        set_int_option(s, SOL_SOCKET, SO_RCVTIMEO, 0);
        t->ready.store(1, std::memory_order_release);
        t->ev_start_w.set();
        work_r(t);
    }
    t->ws.tls.close();
    t->ready.store(0, std::memory_order_release);
    t->working.store(0, std::memory_order_release);
    retire_connection(t);
    count_end(t, s);
}

} // namespace

void end_another_line() {
    // The slot's own line is open only while its connection is classified: the reports of that
    // time (a dropped upgrade request, a failed handshake step) stay on it, before its type
    // word, as the connection's own.
    if (line_open.load(std::memory_order_relaxed) && line_owner == reader_slot) return;
    end_open_line();
}

int32_t accept_loop(G_TASK* t) {
    reader_slot = t->slot_number;
    if (stop.load(std::memory_order_relaxed)) return 0;
    sockaddr_in addr_listen{};
    int addr_listen_size = 0;
    for (;;) {
        addr_listen_size = int(sizeof addr_listen);
        SOCKET s =
            accept(so_listen.load(), reinterpret_cast<sockaddr*>(&addr_listen), &addr_listen_size);
        if (s == INVALID_SOCKET) {
            int e = WSAGetLastError();
            if (e == WSAECONNRESET) {
                if (stop.load(std::memory_order_relaxed)) return 0;
                continue;
            }
            if (e == WSAEINTR) {
                // Closing the listening socket makes every other reader's accept fail.
                SOCKET l = so_listen.exchange(INVALID_SOCKET);
                if (l != INVALID_SOCKET) {
                    shutdown(l, SD_BOTH);
                    closesocket(l);
                }
            }
            if (stop.load(std::memory_order_relaxed)) return -1;
            stop.store(1, std::memory_order_relaxed);
            if (so_listen.load() == INVALID_SOCKET) return -1;
            report_accept_failure(t, e, &addr_listen, addr_listen_size);
            return -1;
        }
        serve_connection(t, s, &addr_listen);
        if (stop.load(std::memory_order_relaxed)) return 0;
    }
}
