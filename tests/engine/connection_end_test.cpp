// The end of a connection as its reader and its writer meet it, in an order the test chooses:
// which failures the reader reports, which send failures are recorded as the relay's own
// ending of the connection (and so not reported), and that a real send failure is reported
// before the connection's end. The test plays the slot's reader (work_r, the close, the end)
// and its senders (send_packet); the writer runs work_w on a thread of its own.
#include "engine_harness.h"
#include "tests/support/tls_client.h"

#include <algorithm>

using namespace engine_testing;

namespace {

constexpr uint64_t length = 4096;
constexpr DWORD bound_ms = 10000; // every wait of the test, and the reader's receive time-out
const uint8_t broken_record[37] = {0x17, 0x03, 0x03, 0x00, 0x20}; // 32 bytes that fail the MAC

// One slot as the engine prepares a used one, its writer running, a loopback listener and a
// loaded TLS context; connections are accepted one after another, each from a new client.
struct slot_under_test {
    work_dir dir;
    uint64_t saved_length = packet_length;
    G_TASK* saved_tasks = tasks;
    uint16_t saved_count = connection_count;
    std::vector<uint8_t> area = std::vector<uint8_t>(3 * length);
    G_TASK slot;
    SOCKET listening = INVALID_SOCKET;
    uint16_t port = 0;
    std::unique_ptr<tls_testing::tls_client> client;
    std::thread writer;

    slot_under_test() {
        win::fault_clear();
        packet_length = length;
        tasks = &slot; // the fan-out finds no slot but this one: payloads go nowhere
        connection_count = 1;
        slot.pRAM = area.data();
        slot.send_base = area.data() + length;
        slot.current_half = slot.send_base;
        slot.half = length;
        slot.ws.tls.p_recv = slot.pRAM;
        slot.ws.tls.p_recv_size = length;
        slot.run.store(1);
        listen();
        EXPECT_TRUE(load_certificate());
        writer = std::thread([this] { work_w(&slot); });
    }
    ~slot_under_test() {
        win::fault_clear();
        slot.ev_send.close(); // the writer leaves work_w
        writer.join();
        slot.ws.tls.close();
        closesocket(listening);
        WSACleanup();
        tls_ctx_release();
        packet_length = saved_length;
        tasks = saved_tasks;
        connection_count = saved_count;
    }

    void listen() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listening = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::win::listen(listening, 4);
        int size = sizeof address;
        getsockname(listening, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    bool load_certificate() {
        if (!dir.make_certificate()) return false;
        server_ctx = SSL_CTX_new(TLS_server_method());
        tls_ctx_setup();
        std::fill(std::begin(cert_path), std::end(cert_path), u'\0');
        std::fill(std::begin(key_path), std::end(key_path), u'\0');
        std::u16string name = cert_file_primary;
        std::copy(name.begin(), name.end(), cert_path);
        std::copy(name.begin(), name.end(), key_path);
        return tls_load_cert() == 0;
    }
    // The next connection, TLS or plain, made ready as the accept loop makes it; the reader's
    // receive waits at most bound_ms, so that a receive that should fail and does not fails
    // the test in seconds.
    bool open(bool tls) {
        client = std::make_unique<tls_testing::tls_client>();
        bool client_ok = false;
        std::thread peer([&] {
            client_ok = client->connect(port, int(bound_ms)) &&
                        (tls ? client->handshake() : client->send_raw("hello!", 6));
        });
        SOCKET s = accept(listening, nullptr, nullptr);
        DWORD classify = bound_ms;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&classify),
                   sizeof classify);
        int32_t accepted = slot.ws.tls.accept(s);
        peer.join();
        slot.ready.store(1, std::memory_order_release);
        return client_ok && accepted == (tls ? 0 : -2);
    }
    // What the accept loop does after work_r: close, leave the fan-out, settle with the writer
    // under the token and move the generation on.
    void end() {
        slot.ws.tls.close();
        slot.ready.store(0, std::memory_order_release);
        ASSERT_TRUE(take_token());
        slot.send_result = 0;
        slot.send_error = 0;
        slot.generation.fetch_add(1);
        slot.ev_free.set();
    }
    bool take_token() { return WaitForSingleObject(slot.ev_free.h_event, bound_ms) == 0; }
    // A sender hands one payload over; returns once the writer has sent it and recorded the
    // outcome (it gives the token back after each send).
    bool hand_over() { return queue() && sent(); }
    bool queue() {
        return send_packet(&slot, slot.generation.load(), reinterpret_cast<const uint8_t*>("data"),
                           4);
    }
    bool sent() {
        bool done = take_token();
        slot.ev_free.set();
        return done;
    }
    // Hands a payload over to a writer that is kept waiting inside its TLS send, holding the
    // session, until `meanwhile` has run.
    template <typename F> bool hand_over_around(F meanwhile) {
        G_TLS& tls = slot.ws.tls;
        if (WaitForSingleObject(tls.send_lock.h_event, bound_ms) != 0) return false;
        bool queued = queue();
        bool inside = false; // the writer has taken its reference: it works on this session
        for (DWORD waited = 0; queued && !inside && waited < bound_ms; waited += 1) {
            inside = tls.refs.load() == 2;
            if (!inside) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (inside) meanwhile();
        tls.send_lock.set();
        return inside && sent();
    }
    // A sender offers a payload to the slot after its writer failed: refused.
    bool offer_refused() {
        return !send_packet(&slot, slot.generation.load(), reinterpret_cast<const uint8_t*>("x"),
                            1);
    }
};

const std::string send_report = "!! send_packet() !! work_w() !! send(";

// The peer sends a record that cannot be decrypted. The reader's receive fails on it and
// breaks the session; the writer's next send fails on that broken session, before or after
// the reader's close, or the writer's close has already begun when the reader meets the
// record. Each way: one TLS error line, and no send report at all.
TEST(connection_end, broken_tls_record_is_reported_once_whichever_thread_ends_first) {
    enum class order { reader_then_send, reader_close_then_send, close_begun_then_reader };
    const std::pair<const char*, order> orders[] = {
        {"the reader reports, then the writer sends on the broken session",
         order::reader_then_send},
        {"the reader reports and closes while the writer's send is under way",
         order::reader_close_then_send},
        {"a close has begun when the reader meets the record", order::close_begun_then_reader},
    };
    for (const auto& [name, how] : orders) {
        slot_under_test s; // a fresh writer thread each time: nothing left of an earlier send
        console_capture console;
        ASSERT_TRUE(s.open(true)) << name;
        ASSERT_TRUE(s.hand_over()) << name; // a live connection: the writer sends to it
        EXPECT_EQ(s.slot.send_result, 4) << name;
        ASSERT_TRUE(s.client->send_raw(broken_record, sizeof broken_record));
        if (how == order::close_begun_then_reader) s.slot.ws.tls.closing.store(1);
        EXPECT_EQ(work_r(&s.slot), 0u) << name;
        if (how == order::reader_close_then_send) {
            ASSERT_TRUE(s.hand_over_around([&] { s.slot.ws.tls.close(); })) << name;
        } else {
            ASSERT_TRUE(s.hand_over()) << name;
        }
        EXPECT_EQ(s.slot.send_result, -1) << name;
        EXPECT_EQ(s.slot.send_error, uint32_t(WSAECONNABORTED)) << name;
        EXPECT_TRUE(s.offer_refused()) << name;
        s.end();
        EXPECT_EQ(console.count("  TLS error 1  so "), 1u) << name << console.out();
        EXPECT_EQ(console.count("!! recv("), 1u) << name << console.out();
        EXPECT_EQ(console.count(send_report), 0u) << name << console.out();
    }
}

// A writer whose send failed for a reason of its own keeps that error as its thread's last
// one. A later connection's send that fails without any socket error (its session broken by
// the reader's failure) must not be recorded, and reported, with it.
TEST(connection_end, send_failure_is_never_recorded_with_an_older_error_of_the_writer) {
    slot_under_test s;
    console_capture console;
    ASSERT_TRUE(s.open(false));
    win::fault_inject("send", WSAETIMEDOUT, 0, 1);
    ASSERT_TRUE(s.hand_over());
    EXPECT_EQ(s.slot.send_error, uint32_t(WSAETIMEDOUT));
    EXPECT_TRUE(s.offer_refused()); // reported once
    s.end();
    ASSERT_TRUE(s.open(true));
    ASSERT_TRUE(s.client->send_raw(broken_record, sizeof broken_record));
    EXPECT_EQ(work_r(&s.slot), 0u);
    ASSERT_TRUE(s.hand_over());
    EXPECT_EQ(s.slot.send_error, uint32_t(WSAECONNABORTED));
    EXPECT_TRUE(s.offer_refused());
    s.end();
    EXPECT_EQ(console.count(send_report), 1u) << console.out();
    EXPECT_EQ(console.count("^ERROR: "), 1u) << console.out();
    EXPECT_EQ(console.count("  TLS error 1  so "), 1u) << console.out();
}

// A send that fails on a live connection for a reason of its own is recorded with its error
// and reported to every sender that offers a payload until the connection has ended, reset
// and abort excepted; the reader, whose receive fails because the writer closed, says nothing.
TEST(connection_end, real_send_failure_of_a_live_connection_is_reported_until_its_end) {
    struct failure {
        bool tls;
        uint32_t code;
        bool reported;
    };
    const failure cases[] = {
        {false, WSAETIMEDOUT, true}, {true, WSAETIMEDOUT, true},     {true, WSAENOBUFS, true},
        {true, WSAECONNRESET, false}, {false, WSAECONNABORTED, false},
    };
    for (const failure& c : cases) {
        slot_under_test s;
        console_capture console;
        ASSERT_TRUE(s.open(c.tls));
        std::thread reader([&] { work_r(&s.slot); }); // until the writer's close ends it
        win::fault_inject("send", c.code, 0, 1);
        ASSERT_TRUE(s.hand_over());
        reader.join();
        EXPECT_EQ(s.slot.send_result, -1);
        EXPECT_EQ(s.slot.send_error, c.code);
        EXPECT_TRUE(s.offer_refused());
        EXPECT_TRUE(s.offer_refused());
        s.end();
        EXPECT_TRUE(s.offer_refused()); // the next connection's slot: nothing is left to report
        std::string report = send_report + "so, p_send, size_send, SO_SEND_FLAGS)\n   ^ERROR: " +
                             std::to_string(c.code) + ", ";
        EXPECT_EQ(console.count(report), c.reported ? 2u : 0u) << c.code << console.out();
        EXPECT_EQ(console.count("^ERROR: "), c.reported ? 2u : 0u) << c.code << console.out();
        EXPECT_EQ(console.count("!! recv("), 0u) << c.code << console.out();
    }
}

// The reader's end of a conversation on a failed receive: quiet when the failure is what a
// close made here brings (the socket gone, shut down or aborted here), reported otherwise,
// whether or not a close has begun.
TEST(connection_end, receive_failure_is_quiet_only_when_a_close_made_here_caused_it) {
    struct failure {
        uint32_t code;
        bool closing;
        bool reported;
    };
    const failure cases[] = {
        {WSAENOTSOCK, true, false},  {WSAESHUTDOWN, true, false},  {WSAECONNABORTED, true, false},
        {WSAENOTSOCK, false, true},  {WSAESHUTDOWN, false, true},  {WSAECONNABORTED, false, false},
        {WSAENETDOWN, true, true},   {WSAENETDOWN, false, true},   {WSAETIMEDOUT, true, true},
        {WSAECONNRESET, true, false}, {WSAECONNRESET, false, false},
    };
    for (const failure& c : cases) {
        slot_under_test s;
        console_capture console;
        ASSERT_TRUE(s.open(false));
        if (c.closing) s.slot.ws.tls.closing.store(1); // a close has begun, socket still here
        win::fault_inject("recv", c.code, 0, 1);
        EXPECT_EQ(work_r(&s.slot), c.reported ? c.code : 0u) << c.code << " " << c.closing;
        s.end();
        std::string line = "\n\n   ^ERROR: " + std::to_string(c.code) + ", ";
        EXPECT_EQ(console.count(line), c.reported ? 1u : 0u)
            << c.code << " " << c.closing << console.out();
        EXPECT_EQ(console.count("!! recv("), c.reported ? 1u : 0u) << console.out();
    }
}

// A connection's report that comes while another connection's arrival line is open (a reader
// of another slot printed it and is still classifying that connection) ends that line first,
// as an end line does, and closes it, so that its type word can no longer follow the report.
// Each report path of a connection's end: a failed receive, a broken TLS record, a failed send
// reported to a sender.
TEST(connection_end, report_ends_another_connections_open_line_first) {
    struct path {
        const char* name;
        bool tls;
        bool send_fails; // the writer's send fails first (recorded, reported to a sender)
        void (*report)(slot_under_test&);
        const char* text; // the report's start
    };
    const path paths[] = {
        {"a failed receive", false, false,
         [](slot_under_test& s) {
             win::fault_inject("recv", WSAENETDOWN, 0, 1);
             EXPECT_EQ(work_r(&s.slot), uint32_t(WSAENETDOWN));
         },
         "\n!! recv("},
        {"a broken TLS record", true, false,
         [](slot_under_test& s) {
             ASSERT_TRUE(s.client->send_raw(broken_record, sizeof broken_record));
             EXPECT_EQ(work_r(&s.slot), 0u);
         },
         "\n!! recv("},
        {"a failed send, reported to its next sender", false, true,
         [](slot_under_test& s) { EXPECT_TRUE(s.offer_refused()); }, send_report.c_str()},
    };
    con_set_report_hook(end_another_line);
    for (const path& p : paths) {
        SCOPED_TRACE(p.name);
        slot_under_test s;
        ASSERT_TRUE(s.open(p.tls));
        if (p.send_fails) {
            std::thread reader([&] { work_r(&s.slot); }); // until the writer's close ends it
            win::fault_inject("send", WSAETIMEDOUT, 0, 1);
            ASSERT_TRUE(s.hand_over());
            reader.join();
        }
        console_capture console;
        line_open.store(1);
        line_owner = s.slot.slot_number + 1;
        p.report(s);
        EXPECT_EQ(line_open.load(), 0) << "the other line is still open";
        std::string out = console.out();
        EXPECT_EQ(out.rfind(std::string("\n\n") + p.text, 0), 0u) << out;
        s.end();
    }
    con_set_report_hook(nullptr);
    line_open.store(0);
}

} // namespace
