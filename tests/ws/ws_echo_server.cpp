// Test server for an independent WebSocket client: accepts one loopback connection, runs TLS
// detection and the upgrade, then decodes each frame and sends its payload back framed anew,
// until the client closes. Prints "port N" first; exits 0 only when all of that went well.
#include "platform/settings.h"
#include "test_cert.h"
#include "tests/support/testing.h"
#include "ws/ws.h"
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t packet = 4096;

// Decodes the frames held and echoes every payload; false once the conversation has ended.
bool echo_frames(G_WS& ws, uint8_t* data, uint64_t held, uint64_t* carried, uint8_t* half) {
    uint8_t* frame = data;
    for (;;) {
        uint8_t* payload = nullptr;
        int64_t m = ws.decrypt(frame, held, &payload);
        if (ws.incomplete) {
            std::memmove(data, frame, held);
            *carried = held;
            return true;
        }
        if (m <= 0 && !ws.empty_frame) return false;
        if (m > 0) {
            uint64_t size = uint64_t(m);
            uint8_t* out = ws.encrypt(half, packet, payload, &size);
            if (out && ws.tls.send(out, size) == -1) return false;
        }
        *carried = 0;
        if (!ws.has_more) return true;
        uint8_t* next = payload + m + (ws.version < 13 ? 1 : 0);
        held -= uint64_t(next - frame);
        frame = next;
    }
}

int serve(bool tls) {
    if (tls && !test_cert::load_server_context("ws-echo")) return 3;
    testing_support::loopback_listener listener = testing_support::listen_loopback(1);
    if (listener.so == INVALID_SOCKET) return 4;
    con_printf("port %u\n", unsigned(listener.port));
    SOCKET s = accept(listener.so, nullptr, nullptr);
    closesocket(listener.so);
    DWORD timeout = 10000; // the client is a test: it never keeps the server for good
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);

    std::vector<uint8_t> receive(packet + 1), half(packet);
    int result = 0;
    {
        G_WS ws;
        ws.tls.p_recv = receive.data();
        ws.tls.p_recv_size = packet;
        int32_t kind = ws.tls.accept(s);
        if (kind != (tls ? 0 : -2)) return 5;
        ws.handshake(reinterpret_cast<char*>(receive.data()));
        if (!ws.is_ws) return 6;
        uint64_t carried = 0;
        for (;;) {
            if (carried >= packet - 1) return 7;
            int64_t n = ws.tls.recv(receive.data() + carried, packet - 1 - carried);
            if (n <= 0) {
                result = 8; // the client closed without a close frame
                break;
            }
            if (!echo_frames(ws, receive.data(), carried + uint64_t(n), &carried, half.data()))
                break;
        }
        if (result == 0 && ws.version != 0) result = 9; // ended by something else than a close
        ws.tls.close();
    }
    tls_ctx_release();
    if (testing_support::open_sockets() != 0) return 10;
    return result;
}

} // namespace

int main(int argc, char** argv) {
    packet_length = packet;
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    int result = serve(argc > 1 && std::string(argv[1]) == "tls");
    con_printf("result %d\n", result);
    return result;
}
