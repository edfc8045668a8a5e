// The configuration: defaults, the command line, the TLS server context with its two
// certificate files, the configuration dump, and the usage text. Runs on the main thread
// before any other thread exists.
#include "engine/engine.h"
#include <cstdio>
#include <cstring>
#include <iterator>
#include <openssl/crypto.h>

namespace {

void write_defaults(G_CONFIG* cfg) {
    std::memset(cfg, 0, sizeof *cfg);
    cfg->not_quiet = 1;
    cfg->listen = 1;
    cfg->print_once = 0;
    cfg->print = 1;
    cfg->verbose = 1;
    cfg->write = 1;
    cfg->port_local = default_port;
    cfg->port_remote = 0;
    cfg->connections = max_connections;
    cfg->packet_length_r = default_packet_length;
    cfg->cso_type = SOCK_STREAM;
    cfg->cso_protocol = IPPROTO_TCP;
}

// "--help" in any case of its ASCII letters: the whole rest after the two dashes.
bool is_long_help(const wchar_t* arg) {
    static const char help[] = "help";
    if (arg[0] != L'-' || arg[1] != L'-') return false;
    const wchar_t* rest = arg + 2;
    for (int i = 0; i < 4; ++i) {
        wchar_t c = rest[i];
        if (c >= L'A' && c <= L'Z') c = wchar_t(c - L'A' + L'a');
        if (c != wchar_t(help[i])) return false;
    }
    return rest[4] == 0;
}

void store_value(G_CONFIG* cfg, wchar_t option, const wchar_t* value) {
    int32_t n = _wtoi(value);
    // A port out of range is refused (0, so the configuration is invalid), not cut to its low
    // 16 bits, which would listen on a port nobody asked for.
    if (option == L'p') cfg->port_local = (n >= 1 && n <= highest_port) ? uint16_t(n) : 0;
    if (option == L'c') cfg->connections = uint16_t(n);
    if (option == L'L') cfg->packet_length_r = uint64_t(int64_t(n));
}

// Reads the arguments left to right; returns true when help was asked for.
bool parse_command_line(G_CONFIG* cfg, int argc, wchar_t** argv) {
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        if (arg == nullptr || arg[0] != L'-') continue;
        if (is_long_help(arg)) {
            help = true;
            continue;
        }
        for (int j = 1; arg[j] != 0; ++j) {
            wchar_t c = arg[j];
            if (c == L'h') {
                help = true;
                continue;
            }
            if (c != L'p' && c != L'c' && c != L'L') continue;
            if (arg[j + 1] != 0) {
                store_value(cfg, c, arg + j + 1);
            } else if (i + 1 < argc) {
                store_value(cfg, c, argv[++i]); // the value is consumed, never an option
            } else {
                return help; // no value left: the field keeps what it has
            }
            break;
        }
    }
    return help;
}

void load_certificate(const char16_t* name) {
    std::memset(cert_path, 0, sizeof cert_path);
    std::memset(key_path, 0, sizeof key_path);
    std::size_t n = 0;
    while (name[n] != 0) ++n;
    std::memcpy(cert_path, name, n * sizeof(char16_t));
    std::memcpy(key_path, name, n * sizeof(char16_t));
    tls_load_cert();
}

// What tls_ctx_setup's result bits name, bit 0 first.
constexpr const char* refusable_settings[] = {
    "lowest protocol version",
    "cipher list",
    "TLS 1.3 ciphersuites",
    "key exchange groups",
};

// Names the settings the library refused, on one line, and what follows from it.
void report_refused(uint32_t refused) {
    con_wprintf(L"server SSL context refused its ");
    const char* separator = "";
    for (uint32_t bit = 0; bit < std::size(refusable_settings); ++bit) {
        if ((refused & (1u << bit)) == 0) continue;
        con_wprintf(L"%hs%hs", separator, refusable_settings[bit]);
        separator = ", ";
    }
    con_wprintf((refused & tls_refused_unfit) != 0 ? L": TLS is not served\n\n"
                                                   : L": the TLS library's own are served\n\n");
}

// A context that refused a setting it cannot do without is released at once, as one that
// could not be created: no certificate loads into it and the relay serves no TLS, rather than
// serving what the library's defaults let in (the finite-field groups among them).
void open_tls_context() {
    con_wprintf(L"%hs\n", OpenSSL_version(OPENSSL_VERSION));
    server_ctx = SSL_CTX_new(TLS_server_method());
    if (server_ctx == nullptr) {
        con_wprintf(L"cannot create server SSL context\n\n");
        return;
    }
    uint32_t refused = tls_ctx_setup();
    if (refused == 0) return;
    report_refused(refused);
    if ((refused & tls_refused_unfit) != 0) tls_ctx_release();
}

void print_dump(const G_CONFIG* cfg) {
    con_wprintf(L":: config ::\n");
    con_wprintf(L"  print:%u, print_once:%u, listen:%u, write:%u, connections:%u\n",
                unsigned(cfg->print), unsigned(cfg->print_once), unsigned(cfg->listen),
                unsigned(cfg->write), unsigned(cfg->connections));
    con_wprintf(L"  verbose:%u, quiet:%u, packet_length_r:%llu\n", unsigned(cfg->verbose),
                cfg->not_quiet == 0 ? 1u : 0u, (unsigned long long)cfg->packet_length_r);
    con_wprintf(L"  so_type:%u, so_protocol:%u\n", cfg->cso_type, cfg->cso_protocol);
    con_wprintf(L"  addr_local  %hs:%u\n", cfg->addr_local, unsigned(cfg->port_local));
    con_wprintf(L"  addr_remote %hs:%u\n\n", cfg->addr_remote, unsigned(cfg->port_remote));
    con_wprintf(L":: ------ ::\n");
}

} // namespace

int G_SOCKET::config(int argc, wchar_t** argv) {
    write_defaults(&cfg);
    bool asked = parse_command_line(&cfg, argc, argv);
    help = asked ? 1 : 0;
    if (tls_ready == 0) open_tls_context();
    load_certificate(cert_file_primary); // both are loaded, whatever the first one gives
    load_certificate(cert_file_secondary);
    if (cfg.connections == 0) {
        cfg.connections = max_connections;
    } else if (cfg.connections > max_connections) {
        cfg.connections = max_connections;
        con_wprintf(L"!! G_SOCKET::config()  number of connections reduced to: %u\n\n",
                    max_connections);
    }
    if (cfg.verbose) print_dump(&cfg);
    return (asked || cfg.port_local == 0) ? -1 : 0;
}

int usage(const wchar_t* program_name) {
    con_wprintf(
        L"-------------------------------------------------------------------------------\n");
    con_wprintf(L":: Relay data between WebSocket, TCP and TLS clients.\n");
    con_wprintf(
        L"-------------------------------------------------------------------------------\n");
    con_wprintf(L":: usage ::\n");
    con_wprintf(L"\t%s <-p listen port>\n", program_name);
    con_wprintf(L"\t[-p listen port]\n");
    con_wprintf(L"\t[-c 1 to %u connections]\n", max_connections);
    con_wprintf(L"\t[-L 1472|1405|1422|65112|65507       packet length]\n");
    con_wprintf(L"\n");
    con_wprintf(L":: example ::\n");
    con_wprintf(L"\t%s\n", program_name);
    con_wprintf(L"\t%s -p 81\n", program_name);
    con_wprintf(L"\n");
    con_wprintf(L"\n");
    if (IsDebuggerPresent()) {
        con_ewprintf(L"\r\n[finished] Press ENTER to exit . . .");
        std::getwchar();
    }
    return 0;
}
