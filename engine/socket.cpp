// The engine object: building it (configuration, packet length, arena, buffer layout, slot
// threads), the start of service (Winsock, the listening socket, the banner, releasing the
// readers and waiting for them), taking it down, and the program's run from wmain.
#include "engine/engine.h"
#include <clocale>
#include <cstdio>
#include <cstring>

G_TASK* tasks = nullptr;
uint16_t connection_count = 0;
std::atomic<SOCKET> so_listen{INVALID_SOCKET};
std::atomic<uint8_t> stop{0};
std::atomic<int32_t> active{0};
std::atomic<uint8_t> line_open{0};
uint32_t line_owner = 0;
uint32_t slot_counter = 0;

namespace {

inline constexpr uint64_t buffer_rounding = 4096; // fixed, whatever the system's page size
inline constexpr WORD wsa_version_requested = MAKEWORD(2, 2);

uint64_t round_up(uint64_t n, uint64_t multiple) {
    return (n + multiple - 1) / multiple * multiple;
}

// Used slot i owns 3E bytes at 3E x i: the receive buffer of E bytes, then two send halves
// of L bytes each (E is L rounded up to a multiple of 4096).
void lay_out_slot(G_TASK* t, uint8_t* arena, uint64_t index, uint64_t length, uint64_t rounded) {
    uint8_t* base = arena + 3 * rounded * index;
    t->pRAM = base;
    t->send_base = base + rounded;
    t->current_half = t->send_base;
    t->half = length;
    t->p_send = nullptr;
    t->toggle = 0;
}

} // namespace

G_SOCKET::G_SOCKET(int argc, wchar_t** argv) : cfg{}, configured(0), help(0), addr_local{} {
    std::memset(static_cast<void*>(&ram), 0, sizeof ram);
    ram.large_page_size = large_page_minimum(&ram);
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    ram.granularity = info.dwAllocationGranularity;

    configured = 0;
    if (config(argc, argv) != 0) return;
    configured = 1;
    _wsetlocale(LC_ALL, L"bg-BG");

    const uint64_t large = ram.large_page_size;
    uint64_t length = cfg.packet_length_r;
    if (length == 0 || length > large) length = large;
    cfg.packet_length_r = length;
    const uint64_t rounded = round_up(length, buffer_rounding);
    const uint64_t bytes = uint64_t(cfg.connections) * 3 * rounded;
    const uint64_t units = bytes / large + (bytes % large != 0 ? 1 : 0);
    ram.alloc(units);
    if (ram.p_arena == nullptr) ExitProcess(exit_failure);

    stack_reservation = ram.granularity;
    ::tasks = &tasks[0];
    connection_count = cfg.connections;
    packet_length = length;
    packet_length_x2 = 2 * length;
    for (uint64_t i = 0; i < cfg.connections; ++i) {
        G_TASK* t = &tasks[i];
        t->not_quiet = cfg.not_quiet;
        t->write = cfg.write;
        lay_out_slot(t, static_cast<uint8_t*>(ram.p_arena), i, length, rounded);
        t->create();
    }
}

G_SOCKET::~G_SOCKET() {
    if (configured) {
        configured = 0;
        tls_ctx_release();
    }
    // The slots are destroyed from the last to the first by the member destructors, which
    // join every slot thread; only then is the arena released (ram is declared before tasks).
}

void G_SOCKET::set_so_options(SOCKET s) {
    int rcvbuf = int(packet_length);
    int sndbuf = int(packet_length_x2);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&rcvbuf), sizeof rcvbuf);
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sndbuf), sizeof sndbuf);
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
}

int32_t G_SOCKET::run() {
    WSADATA wsa_data{};
    int r = WSAStartup(wsa_version_requested, &wsa_data);
    if (r != 0) {
        print_error(uint32_t(r), L"WSAStartup(wsa_version_requested, &wsa_data)");
        WSACleanup();
        return r;
    }
    if (wsa_data.wVersion != wsa_version_requested) {
        con_wprintf(L"Version 2.2 of Winsock is required, but not available!\r\n");
        WSACleanup();
        return -1;
    }
    std::memset(&addr_local, 0, sizeof addr_local);
    addr_local.sin_family = AF_INET;
    addr_local.sin_addr.s_addr = cfg.addr_local[0] != 0 ? inet_addr(cfg.addr_local) : INADDR_ANY;
    addr_local.sin_port = htons(cfg.port_local);
    return server();
}

int32_t G_SOCKET::server() {
    SOCKET s = socket(AF_INET, int(cfg.cso_type), int(cfg.cso_protocol));
    if (s == INVALID_SOCKET) {
        print_error(uint32_t(WSAGetLastError()), L"socket(AF_INET, cso_type, cso_protocol)");
        return -1;
    }
    set_so_options(s);
    con_wprintf(L":: bind(%hs:%u)  ", cfg.addr_local[0] != 0 ? cfg.addr_local : "0.0.0.0",
                unsigned(cfg.port_local));
    if (bind(s, reinterpret_cast<sockaddr*>(&addr_local), sizeof addr_local) != 0) {
        print_error(uint32_t(WSAGetLastError()),
                    L"\nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))");
        closesocket(s);
        return -1;
    }
    if (listen(s, int(cfg.connections)) != 0) {
        print_error(uint32_t(WSAGetLastError()), L"listen(so, cw_connections)");
        closesocket(s);
        return -1;
    }
    con_wprintf(L"RAW%s WS%s  max connections: %u\n:: waiting for client connection...\n\n",
                tls_ready ? L" TLS" : L"", tls_ready ? L" WSS" : L"", unsigned(cfg.connections));
    so_listen.store(s);
    con_set_report_hook(end_another_line); // before the readers that print lines and reports
    for (uint32_t i = 0; i < cfg.connections; ++i) tasks[i].ev_start_r.set();
    for (uint32_t i = 0; i < cfg.connections; ++i) {
        if (tasks[i].thread_r.started) tasks[i].thread_r.join();
    }
    return 0;
}

// The exit status tells a caller (a script, a service manager) whether the relay served: a
// start that failed is not reported as success. The engine is destroyed on return, so a
// failed start still wakes and joins the parked slot threads before the process ends.
int relay_main(int argc, wchar_t** argv) {
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    SetProcessPriorityBoost(GetCurrentProcess(), TRUE);
    G_SOCKET engine(argc, argv);
    if (!engine.configured) {
        usage(argv[0]);
        return engine.help ? exit_normal : exit_invalid_configuration;
    }
    const int status = engine.run() == 0 ? exit_normal : exit_failure;
    if (IsDebuggerPresent()) {
        con_ewprintf(L"\r\n[finished] Press ENTER to exit . . .");
        std::getchar();
        ExitProcess(UINT(status)); // the engine is not taken down on this path
    }
    return status;
}
