// Test helper: a connected pair of loopback TCP sockets made with the platform's socket calls,
// the server end to hand to a transport, the client end to play the peer.
#pragma once
#include "platform/platform.h"
#include <cstring>
#include <string>

namespace loopback {

struct pair {
    SOCKET server = INVALID_SOCKET; // the accepted end
    SOCKET client = INVALID_SOCKET; // the connecting end
};

// A listening socket on 127.0.0.1 with a free port; its port in *port.
inline SOCKET listen_any(uint16_t* port) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET l = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    a.sin_port = 0;
    bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(l, 4);
    int len = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return l;
}

inline SOCKET connect_to(uint16_t port) {
    SOCKET c = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    a.sin_port = htons(port);
    if (connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        closesocket(c);
        return INVALID_SOCKET;
    }
    return c;
}

inline pair make() {
    uint16_t port = 0;
    SOCKET l = listen_any(&port);
    pair p;
    p.client = connect_to(port);
    p.server = accept(l, nullptr, nullptr);
    closesocket(l);
    return p;
}

inline void send_all(SOCKET s, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        int sent = send(s, p, int(n), 0);
        if (sent <= 0) return;
        p += sent;
        n -= size_t(sent);
    }
}
inline void send_all(SOCKET s, const std::string& text) {
    send_all(s, text.data(), text.size());
}

// Reads exactly n bytes (fewer when the peer closes or the receive fails).
inline std::string recv_exact(SOCKET s, size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
        int r = recv(s, out.data() + got, int(n - got), 0);
        if (r <= 0) break;
        got += size_t(r);
    }
    out.resize(got);
    return out;
}

// Sets a receive time-out so that a test never blocks for good on a missing byte.
inline void recv_timeout(SOCKET s, DWORD ms) {
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}

// True once the peer has closed: the next receive gives 0.
inline bool peer_closed(SOCKET s) {
    char c;
    return recv(s, &c, 1, 0) == 0;
}

} // namespace loopback
