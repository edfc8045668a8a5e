// The relay engine: the configuration, the relay slots with their reader and writer threads,
// the listening socket, the accept loops and the fan-out of every payload to the other ready
// slots. Touches the network only through the transport and the platform layer.
#pragma once
#include "platform/event.h"
#include "platform/platform.h"
#include "platform/ram.h"
#include "platform/settings.h"
#include "transport/tls.h"
#include "ws/ws.h"
#include <atomic>
#include <cstdint>

inline constexpr uint32_t max_connections = 32; // slots in the table, the most served at once
inline constexpr uint64_t default_packet_length = 4096;
inline constexpr uint16_t default_port = 81;
inline constexpr int32_t highest_port = 65535;

// The program's exit status. A slot thread that cannot be created ends the process with its
// error code instead (exit_failure when that code's low byte, all a Linux status keeps, is 0).
inline constexpr int exit_normal = 0;                // the service ended, or help was shown
inline constexpr int exit_failure = 1;               // no arena, or the network did not start
inline constexpr int exit_invalid_configuration = 2; // a port of 0 or out of range

// The configuration record: what the command line sets and the fixed values shown by the dump.
struct G_CONFIG {
    uint8_t not_quiet;        // per-connection console lines are printed while set
    uint8_t listen;           // shown by the dump; the engine always listens
    uint8_t print_once;       // shown by the dump
    uint8_t print;            // shown by the dump
    uint8_t verbose;          // the configuration dump is printed while set
    uint8_t write;            // every used slot gets a writer thread while set
    char addr_local[64];      // dotted IPv4 address to bind to; empty: every local address
    char addr_remote[64];     // shown by the dump only
    uint16_t port_local;      // the listening port (-p)
    uint16_t port_remote;     // shown by the dump only
    uint16_t connections;     // slots in use, 1 to 32 once settled (-c); also the backlog
    uint64_t packet_length_r; // the packet length as read (-L); settled by the engine
    uint32_t cso_type;        // socket type of the listening socket
    uint32_t cso_protocol;    // protocol of the listening socket
};

// One relay slot: the place of one connection, served by a reader thread (accept loop and
// receive) and a writer thread (sends what other slots queue for it).
//
// Hand-over of the send area: a sender owns the send area and the send fields from taking
// `ev_free` until it sets `ev_send` or gives `ev_free` back; the writer owns `p_send` and
// `size_send` from its wake-up on `ev_send` until it gives `ev_free` back. At a connection's
// end the reader takes `ev_free` itself (after closing the transport), so that the writer is
// done with the old connection before the next one is accepted, and bumps `generation`, so
// that a sender that chose this slot for the old connection refuses its payload.
struct G_TASK {
    G_EVENT ev_start_r;           // releases the reader once the listening socket is open
    G_EVENT ev_start_w;           // wakes the writer when the slot's first connection is ready
    G_EVENT ev_send;              // a payload has been queued for the writer
    G_EVENT ev_free;              // the send area is free for the next sender (the token)
    int64_t send_result;          // result of the writer's last send; -1: it failed
    uint32_t send_error;          // Winsock error of the writer's last failed send
    uint8_t toggle;               // which half the next sender fills: 0 the first, 1 the second
    uint8_t* send_base;           // the send area: two halves of `half` bytes, one behind the other
    uint8_t* current_half;        // the half that the next sender fills
    uint8_t* p_send;              // start of the bytes handed to the writer
    uint64_t half;                // size of one half: the packet length
    uint64_t size_send;           // number of bytes handed to the writer
    G_WS ws;                      // the connection's WebSocket state and its transport
    std::atomic<uint8_t> working; // a connection occupies the slot
    std::atomic<uint8_t> ready;   // the connection takes relayed data (release store, acquire load)
    std::atomic<uint8_t> run;     // the slot is alive: its threads exist and have not ended
    G_THREAD thread_r;            // the reader thread
    G_THREAD thread_w;            // the writer thread
    uint32_t slot_number;         // 0 to 31, shown as server_NN
    uint8_t not_quiet;            // copy of the configuration's not_quiet
    uint8_t write;                // copy of the configuration's write
    uint8_t* pRAM;                // receive buffer; also the transport's TLS handshake buffer
    // Connection generation: changed, under `ev_free`, when a connection's end has been
    // settled. A sender reads it before it sees `ready` and refuses when it has changed by
    // the time it holds `ev_free`.
    std::atomic<uint32_t> generation;

    G_TASK();
    ~G_TASK();
    G_TASK(const G_TASK&) = delete;
    G_TASK& operator=(const G_TASK&) = delete;

    void create(); // starts the slot's threads; ends the process when one cannot be created
    bool sound();  // every event that the slot's work needs exists
};

// The engine object: built once on wmain's stack.
struct G_SOCKET {
    G_CONFIG cfg;                  // the configuration
    G_RAM ram;                     // the arena that holds every relay buffer
    G_TASK tasks[max_connections]; // the relay slots, numbered 0 to 31
    uint8_t configured;            // 1 once the configuration was accepted and the engine built
    uint8_t help;                  // 1 when the command line asked for the usage text
    sockaddr_in addr_local;        // where the listening socket is bound

    G_SOCKET(int argc, wchar_t** argv);
    ~G_SOCKET();
    G_SOCKET(const G_SOCKET&) = delete;
    G_SOCKET& operator=(const G_SOCKET&) = delete;

    int config(int argc, wchar_t** argv); // 0 valid, -1 invalid or help
    int32_t run();                        // start the network and serve until the readers end
    int32_t server();                     // listen, release the readers, wait for them
    void set_so_options(SOCKET s);
};

// Engine-wide values, written once before the first slot thread exists.
extern G_TASK* tasks;             // the first slot of the engine's table
extern uint16_t connection_count; // slots in use

// Shared by the readers.
extern std::atomic<SOCKET> so_listen; // the listening socket; INVALID_SOCKET when none
extern std::atomic<uint8_t> stop;     // set by a failed accept; never cleared
extern std::atomic<int32_t> active;   // connections accepted and not yet ended
extern uint32_t slot_counter;         // slots constructed and not destroyed (main thread only)
// The open-line state: tested and changed only under the console's lock (con_lock), together
// with the console line that goes with it, so that no other connection's line comes between.
extern std::atomic<uint8_t> line_open; // the console's line is an arrival line awaiting its end
extern uint32_t line_owner;            // the slot whose arrival line it is, while line_open
// The console's report hook (con_set_report_hook), run under the console's lock before every
// report: a report stands apart from another connection's open arrival line, which it ends
// first as an end line does (so that line's type word no longer follows); a report of the
// connection whose line it is stays on that line.
void end_another_line();

// Command line, usage and the program's run.
int usage(const wchar_t* program_name);
int relay_main(int argc, wchar_t** argv); // the whole program; its exit status

// Slot threads and connection life.
DWORD bootstrap_r(LPVOID slot);
DWORD bootstrap_w(LPVOID slot);
void work_loop(G_TASK* slot, G_EVENT* ev_start);
int32_t accept_loop(G_TASK* slot);

// The relay: receive and fan out, hand one payload to one slot, send what was handed over.
uint32_t work_r(G_TASK* slot);
bool send_packet(G_TASK* target, uint32_t generation, const uint8_t* data, uint64_t size);
int32_t work_w(G_TASK* slot);
