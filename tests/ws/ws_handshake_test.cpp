// The reply builders and what they rest on, on plain buffers: Base64, the accept value, the
// RFC 6455 reply with its sub-protocol echo, the two-key reply with its digest, and the rule
// that locates a header value.
#include "console_capture.h"
#include "platform/win/hooks.h"
#include "ws/ws.h"
#include <cctype>
#include <cstring>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <string>
#include <vector>

namespace {

struct built {
    int64_t length;
    std::string reply; // the reply bytes, length of them when length > 0
};

// Runs a builder the way the handshake does: the request followed by a NUL.
built build(G_WS& ws, const std::string& request, bool two_key_only = false) {
    std::vector<char> req(request.begin(), request.end());
    req.push_back(0);
    std::vector<char> reply(2048, 0);
    int64_t m = two_key_only ? ws.header_76(req.data(), request.size(), reply.data())
                             : ws.header_13(req.data(), request.size(), reply.data());
    built b{m, {}};
    if (m > 0) {
        b.reply.assign(reply.data(), size_t(m));
        EXPECT_EQ(reply[size_t(m)], 0) << "a NUL follows the reply";
    }
    return b;
}

std::string accept_of(const std::string& key) {
    G_WS ws;
    char out[512];
    EXPECT_EQ(ws.accept_key(key.data(), int32_t(key.size()), out), 28);
    return out;
}

std::string reply_13(const std::string& accept, const std::string& token = "") {
    std::string r = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\nConnection: "
                    "Upgrade\r\nSec-WebSocket-Accept: " +
                    accept + "\r\n";
    if (!token.empty()) r += "Sec-WebSocket-Protocol: " + token + "\r\n";
    return r + "\r\n";
}

std::string reply_76_text(const std::string& origin, const std::string& host) {
    return "HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: "
           "Upgrade\r\nSec-WebSocket-Origin: " +
           origin + "\r\nSec-WebSocket-Location: ws://" + host +
           "/\r\nSec-WebSocket-Protocol: dumb-increment-protocol\r\n\r\n";
}

std::string md5_of_challenge(uint32_t q1, uint32_t q2, const std::string& last8) {
    unsigned char challenge[16] = {uint8_t(q1 >> 24), uint8_t(q1 >> 16), uint8_t(q1 >> 8),
                                   uint8_t(q1),       uint8_t(q2 >> 24), uint8_t(q2 >> 16),
                                   uint8_t(q2 >> 8),  uint8_t(q2)};
    std::memcpy(challenge + 8, last8.data(), 8);
    unsigned char digest[16];
    unsigned int n = 0;
    EVP_Digest(challenge, 16, digest, &n, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), 16);
}

const std::string sample_key = "dGhlIHNhbXBsZSBub25jZQ==";
const std::string sample_accept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

std::string request_13(const std::string& extra_lines) {
    return "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n"
           "Connection: Upgrade\r\nSec-WebSocket-Key: " +
           sample_key + "\r\n" + extra_lines + "Sec-WebSocket-Version: 13\r\n\r\n";
}

std::string request_76(const std::string& key1, const std::string& key2, const std::string& origin,
                       const std::string& host, const std::string& key3 = "^n:ds[4U") {
    return "GET /demo HTTP/1.1\r\nHost: " + host +
           "\r\nConnection: Upgrade\r\nSec-WebSocket-Key2: " + key2 +
           "\r\nSec-WebSocket-Protocol: sample\r\nUpgrade: WebSocket\r\nSec-WebSocket-Key1: " +
           key1 + "\r\nOrigin: " + origin + "\r\n\r\n" + key3;
}

// How clients spell header names: as RFC 6455 writes them, all lower case (Node.js), Go's
// canonical form, all upper case, and with every letter's case turned.
enum class spelling { rfc, lower, go, upper, mixed };

std::string spell(std::string name, spelling s) {
    bool word_start = true;
    for (char& c : name) {
        char lower = char(std::tolower(uint8_t(c))), upper = char(std::toupper(uint8_t(c)));
        bool up = s == spelling::upper || (s == spelling::go && word_start) ||
                  (s == spelling::mixed && c == lower);
        if (s != spelling::rfc) c = up ? upper : lower;
        word_start = c == '-';
    }
    return name;
}

// The names the builders look for, in one spelling.
struct names {
    std::string key, protocol, key1, key2, origin, host;
    explicit names(spelling s)
        : key(spell("Sec-WebSocket-Key:", s)), protocol(spell("Sec-WebSocket-Protocol:", s)),
          key1(spell("Sec-WebSocket-Key1:", s)), key2(spell("Sec-WebSocket-Key2:", s)),
          origin(spell("Origin:", s)), host(spell("Host:", s)) {}
};

// The request with every CR LF line end written as a LF alone, as a lenient client may.
std::string lf_only(std::string request) {
    for (size_t at = request.find("\r\n"); at != std::string::npos; at = request.find("\r\n", at))
        request.erase(at, 1);
    return request;
}

} // namespace

// --------------------------------------------------------------------------- Base64

TEST(base64, rfc_4648_vectors) {
    struct vector_case {
        const char* in;
        const char* out;
        int64_t result;
    };
    const vector_case cases[] = {{"", "", 0},
                                 {"f", "Zg==", 4},
                                 {"fo", "Zm8=", 4},
                                 {"foo", "Zm9v", 4},
                                 {"foob", "Zm9vYg==", 8},
                                 {"fooba", "Zm9vYmE=", 8},
                                 {"foobar", "Zm9vYmFy", 8}};
    for (const vector_case& c : cases) {
        size_t n = std::strlen(c.in);
        // Exactly n bytes on the heap, so that a read past them is caught.
        std::vector<uint8_t> in(c.in, c.in + n);
        std::vector<char> out(4 * ((n + 2) / 3) + 1, 'X');
        EXPECT_EQ(base64_encode(in.data(), int64_t(n), out.data()), c.result) << c.in;
        EXPECT_STREQ(out.data(), c.out);
    }
    char out[4] = {'X', 'X', 'X', 'X'};
    EXPECT_EQ(base64_encode(reinterpret_cast<const uint8_t*>("x"), -3, out), 0);
    EXPECT_EQ(out[0], 0);
}

TEST(base64, every_byte_value_round_trips_through_the_library) {
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[size_t(i)] = uint8_t(i);
    for (size_t n = 0; n <= all.size(); n += 37) {
        std::vector<char> ours(4 * ((n + 2) / 3) + 1);
        std::vector<unsigned char> theirs(ours.size() + 1);
        int64_t r = base64_encode(all.data(), int64_t(n), ours.data());
        int t = EVP_EncodeBlock(theirs.data(), all.data(), int(n));
        EXPECT_EQ(r, t);
        EXPECT_STREQ(ours.data(), reinterpret_cast<char*>(theirs.data()));
    }
}

// ------------------------------------------------------------------- RFC 6455 reply

TEST(reply_13, sample_key_gives_its_accept_value) {
    EXPECT_EQ(accept_of(sample_key), sample_accept);
}

TEST(reply_13, sample_request_without_and_with_sub_protocols) {
    G_WS ws;
    built plain = build(ws, request_13("Origin: http://example.com\r\n"));
    EXPECT_EQ(plain.length, 129);
    EXPECT_EQ(plain.reply, reply_13(sample_accept));
    EXPECT_EQ(ws.version, 13);

    built chat = build(ws, request_13("Origin: http://example.com\r\nSec-WebSocket-Protocol: "
                                      "chat, superchat\r\n"));
    EXPECT_EQ(chat.length, 159);
    EXPECT_EQ(chat.reply, reply_13(sample_accept, "chat"));
}

TEST(reply_13, token_of_1891_bytes_is_echoed_and_1892_dropped) {
    for (size_t n : {1890, 1891, 1892, 3000}) {
        SCOPED_TRACE(n);
        G_WS ws;
        std::string token(n, 't');
        built b = build(ws, request_13("Sec-WebSocket-Protocol: " + token + "\r\n"));
        if (n <= 1891) {
            EXPECT_EQ(b.length, int64_t(155 + n));
            EXPECT_EQ(b.reply, reply_13(sample_accept, token));
        } else {
            EXPECT_EQ(b.length, 129);
            EXPECT_EQ(b.reply, reply_13(sample_accept));
        }
    }
}

TEST(reply_13, header_values_are_located_by_the_first_header_line_and_blank_rule) {
    struct locate_case {
        const char* name;
        std::string request;
        std::string key;   // the key the accept value must be made of
        std::string token; // the echoed sub-protocol, empty for none
    };
    const std::vector<locate_case> cases = {
        {"a blank ends the key", "GET / HTTP/1.1\r\nSec-WebSocket-Key: abc def\r\n\r\n", "abc", ""},
        {"bytes 0x80 and above are blanks", "GET /\r\nSec-WebSocket-Key:\x80\xFF abc\x80zz\r\n\r\n",
         "abc", ""},
        {"a longer name ending in the key's is passed over",
         "GET /\r\nX-Sec-WebSocket-Key: first\r\nSec-WebSocket-Key: second\r\n\r\n", "second", ""},
        {"the name inside a value is passed over",
         "GET /\r\nReferer: Sec-WebSocket-Key:inval\r\nSec-WebSocket-Key: real\r\n\r\n", "real",
         ""},
        {"an empty key runs into the next line", "GET /\r\nSec-WebSocket-Key:\r\nHost: h\r\n\r\n",
         "Host:", ""},
        {"a key at the very end is the stored NUL",
         "GET /\r\nSec-WebSocket-Key:", std::string(1, '\0'), ""},
        {"an empty protocol value echoes the next line's first word",
         "GET /\r\nSec-WebSocket-Key: k\r\nSec-WebSocket-Protocol: \r\nUser-Agent,x: y\r\n\r\n",
         "k", "User-Agent"},
        {"a comma ends the token",
         "GET /\r\nSec-WebSocket-Key: k\r\nSec-WebSocket-Protocol: a,b c\r\n\r\n", "k", "a"},
        {"the first byte is taken whatever it is",
         "GET /\r\nSec-WebSocket-Key: k\r\nSec-WebSocket-Protocol: ,x,y\r\n\r\n", "k", ",x"},
        {"two-key headers beside the key get the RFC 6455 reply",
         "GET /\r\nSec-WebSocket-Key1: 1 2\r\nSec-WebSocket-Key2: 3 4\r\nOrigin: o\r\nHost: "
         "h\r\nSec-WebSocket-Key: k\r\n\r\n12345678",
         "k", ""},
    };
    for (const locate_case& c : cases) {
        SCOPED_TRACE(c.name);
        G_WS ws;
        built b = build(ws, c.request);
        EXPECT_EQ(b.reply, reply_13(accept_of(c.key), c.token));
        EXPECT_EQ(ws.version, 13);
    }
}

TEST(reply_13, empty_protocol_value_at_the_end_echoes_the_stored_nul) {
    G_WS ws;
    built b = build(ws, "GET /\r\nSec-WebSocket-Key: k\r\nSec-WebSocket-Protocol:");
    EXPECT_EQ(b.length, 156);
    EXPECT_EQ(b.reply, reply_13(accept_of("k"), std::string(1, '\0')));
}

TEST(reply_13, header_names_are_found_in_any_letter_case) {
    struct case_form {
        const char* name;
        std::string key_name, protocol_name; // empty protocol_name: the request offers none
    };
    const std::vector<case_form> forms = {
        {"as RFC 6455 writes them", "Sec-WebSocket-Key:", "Sec-WebSocket-Protocol:"},
        {"all lower case (Node.js)", "sec-websocket-key:", "sec-websocket-protocol:"},
        {"Go's canonical form", "Sec-Websocket-Key:", "Sec-Websocket-Protocol:"},
        {"all upper case", "SEC-WEBSOCKET-KEY:", "SEC-WEBSOCKET-PROTOCOL:"},
        {"mixed", "sEC-wEBsOCKET-kEY:", "SeC-WeBsOcKeT-PrOtOcOl:"},
    };
    // The values are kept byte for byte: the accept value is made of the key as written, and
    // the token is echoed in its own case.
    const std::string key = "iaV6YrJ+pCq4eSe8lvrkvQ==";
    for (const case_form& f : forms) {
        for (bool with_protocol : {false, true}) {
            SCOPED_TRACE(std::string(f.name) + (with_protocol ? ", with a protocol" : ""));
            std::string request = "GET / HTTP/1.1\r\nhost: 127.0.0.1:27319\r\nconnection: "
                                  "upgrade\r\nupgrade: websocket\r\n" +
                                  f.key_name + " " + key + "\r\nsec-websocket-version: 13\r\n";
            if (with_protocol) request += f.protocol_name + " Chat, superchat\r\n";
            G_WS ws;
            built b = build(ws, request + "\r\n");
            EXPECT_EQ(b.reply, reply_13(accept_of(key), with_protocol ? "Chat" : ""));
            EXPECT_EQ(ws.version, 13);
        }
    }
}

TEST(reply_13, first_header_line_counts_whatever_its_case) {
    G_WS ws;
    built b = build(ws, "GET /\r\nx-sec-websocket-key: longer\r\nsec-websocket-key: first\r\n"
                        "Sec-WebSocket-Key: second\r\nSEC-WEBSOCKET-PROTOCOL: one\r\n"
                        "Sec-WebSocket-Protocol: two\r\n\r\n");
    EXPECT_EQ(b.reply, reply_13(accept_of("first"), "one"));
}

TEST(reply_13, requests_without_a_recognised_key_get_no_reply) {
    const std::string cases[] = {
        "GET / HTTP/1.1\r\nHost: example.com\r\n\r\n",
        "GET / HTTP/1.1\r\nsec-websocket-key " + sample_key + "\r\n\r\n", // no colon
        "GET / HTTP/1.1\r\nsec_websocket_key: " + sample_key + "\r\n\r\n",
        std::string("GET / HTTP/1.1\r\n\0Sec-WebSocket-Key: abc\r\n\r\n", 43),
    };
    for (const std::string& request : cases) {
        G_WS ws;
        EXPECT_LE(build(ws, request).length, 0) << request;
    }
}

TEST(reply_13, accept_value_failures_leave_no_reply_and_report) {
    struct failure {
        const char* call;
        uint32_t code;
        uint32_t skip;
        const char* label;
        int64_t length;
    };
    const failure cases[] = {
        {"CryptAcquireContextW", NTE_BAD_FLAGS, 0, "CryptAcquireContext(", 0},
        {"CryptCreateHash", NTE_BAD_ALGID, 0, "CryptCreateHash(h_prov, CALG_SHA1, 0, 0, &ctx[i])",
         0},
        {"CryptHashData", NTE_BAD_HASH, 0, "CryptHashData(ctx[index], data, length, 0)", 0},
        // The key goes in through the service, which takes a failure without a code for one:
        // no accept value is made of the GUID alone.
        {"CryptHashData", 0, 0, "CryptHashData(ctx[index], data, length, 0)", 0},
        // The GUID is added directly; a failure without a code is a failure too, or the
        // accept value would be made of the key alone.
        {"CryptHashData", NTE_BAD_HASH, 1, "CryptHashData(ctx[index], data, length, 0)", 0},
        {"CryptHashData", 0, 1, "CryptHashData(ctx[index], data, length, 0)", 0},
        {"CryptGetHashParam", NTE_BAD_HASH, 1, "CryptGetHashParam(ctx[i], HP_HASHVAL", 0},
    };
    for (const failure& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " skip " + std::to_string(c.skip));
        capture::console out;
        G_WS ws;
        fault_inject(c.call, c.code, c.skip);
        built b = build(ws, request_13(""));
        fault_clear();
        EXPECT_EQ(b.length, c.length);
        EXPECT_EQ(out.text().rfind(c.label, 0), 0u) << out.text();
    }
}

// ------------------------------------------------------------------- two-key reply

TEST(reply_76, draft_sample_gives_its_answer) {
    G_WS ws;
    built b = build(ws, request_76("4 @1  46546xW%0l 1 5", "12998 5 Y3 1  .P00",
                                   "http://example.com", "example.com"));
    EXPECT_EQ(b.reply, reply_76_text("http://example.com", "example.com") + "8jKS'y:G*Co,Wxa-");
    EXPECT_EQ(b.length, 207 + 18 + 11);
    EXPECT_EQ(ws.version, 8);
}

TEST(reply_76, key_values_give_their_quotients) {
    struct key_case {
        const char* name;
        std::string key1;
        uint32_t quotient;
    };
    const std::vector<key_case> cases = {
        {"digits 12 and three spaces", "1 2  ", 4},
        {"digits 10 and three spaces: the remainder is dropped", "1 0  ", 3},
        {"blanks after the colon are not counted", "    12 ", 12},
        {"spaces but no digits", "a b c", 0},
        {"other characters are passed over", "1a2b 3!", 123},
        {"digits worth more than 2^32 - 1", "99999999999  ", 0xFFFFFFFFu / 2},
        {"more digits than the field holds", std::string(300, '7') + " ", 0xFFFFFFFFu},
        {"only 2^32 - 1 itself", "4294967295 ", 0xFFFFFFFFu},
    };
    for (const key_case& c : cases) {
        SCOPED_TRACE(c.name);
        G_WS ws;
        std::string request = request_76(c.key1, "5 ", "o", "h");
        built b = build(ws, request);
        ASSERT_EQ(b.length, int64_t(207 + 1 + 1));
        EXPECT_EQ(b.reply.substr(b.reply.size() - 16),
                  md5_of_challenge(c.quotient, 5, request.substr(request.size() - 8)));
    }
}

TEST(reply_76, incomplete_requests_get_no_reply) {
    const std::string cases[] = {
        request_76("12", "5 ", "o", "h"), // key 1 without a space
        request_76("1 2", "5", "o", "h"), // key 2 without a space
        "GET /\r\nSec-WebSocket-Key1: 1 2\r\nSec-WebSocket-Key2: 3 4\r\nHost: h\r\n\r\n12345678",
        "GET /\r\nSec-WebSocket-Key1: 1 2\r\nSec-WebSocket-Key2: 3 4\r\nOrigin: o\r\n\r\n12345678",
        "GET /\r\nSec-WebSocket-Key1: 1 2\r\nOrigin: o\r\nHost: h\r\n\r\n12345678",
    };
    for (const std::string& request : cases) {
        G_WS ws;
        EXPECT_EQ(build(ws, request).length, 0) << request;
    }
}

TEST(reply_76, origin_and_host_are_echoed_and_cut_to_127_bytes) {
    struct echo_case {
        const char* name;
        std::string origin, host;
        std::string origin_out, host_out;
    };
    const std::vector<echo_case> cases = {
        {"127 bytes each give the longest reply", std::string(127, 'o'), std::string(127, 'h'),
         std::string(127, 'o'), std::string(127, 'h')},
        {"longer values are cut", std::string(300, 'o'), std::string(128, 'h'),
         std::string(127, 'o'), std::string(127, 'h')},
        {"the port stays in the location", "https://a.example", "relay.example:8443",
         "https://a.example", "relay.example:8443"},
        {"trailing blanks belong to the value", "o  ", "h\t", "o  ", "h\t"},
    };
    for (const echo_case& c : cases) {
        SCOPED_TRACE(c.name);
        G_WS ws;
        built b = build(ws, request_76("1 2", "3 4", c.origin, c.host));
        EXPECT_EQ(b.reply.substr(0, b.reply.size() - 16), reply_76_text(c.origin_out, c.host_out));
        EXPECT_EQ(b.length, int64_t(207 + c.origin_out.size() + c.host_out.size()));
        EXPECT_LE(b.length, 461);
    }
}

TEST(reply_76, header_names_are_found_in_any_letter_case) {
    struct case_form {
        const char* name;
        std::string key1, key2, origin, host;
    };
    const std::vector<case_form> forms = {
        {"all lower case", "sec-websocket-key1:", "sec-websocket-key2:", "origin:", "host:"},
        {"Go's canonical form", "Sec-Websocket-Key1:", "Sec-Websocket-Key2:", "Origin:", "Host:"},
        {"all upper case", "SEC-WEBSOCKET-KEY1:", "SEC-WEBSOCKET-KEY2:", "ORIGIN:", "HOST:"},
    };
    for (const case_form& f : forms) {
        SCOPED_TRACE(f.name);
        std::string request = "GET /demo HTTP/1.1\r\n" + f.host + " Example.com\r\n" + f.key2 +
                              " 12998 5 Y3 1  .P00\r\n" + f.key1 + " 4 @1  46546xW%0l 1 5\r\n" +
                              f.origin + " http://Example.com\r\n\r\n^n:ds[4U";
        G_WS ws;
        built b = build(ws, request);
        ASSERT_GT(b.length, 0);
        EXPECT_EQ(b.reply.substr(0, b.reply.size() - 16),
                  reply_76_text("http://Example.com", "Example.com"));
        EXPECT_EQ(b.reply.substr(b.reply.size() - 16), "8jKS'y:G*Co,Wxa-");
        EXPECT_EQ(ws.version, 8);
    }
}

TEST(reply_76, longer_names_ending_in_origin_or_host_are_passed_over) {
    G_WS ws;
    std::string request = "GET /\r\nX-Origin: fake-origin\r\nX-Forwarded-Host: fake-host\r\n" +
                          request_76("1 2", "3 4", "real-origin", "real-host").substr(7);
    built b = build(ws, request);
    EXPECT_EQ(b.reply.substr(0, b.reply.size() - 16), reply_76_text("real-origin", "real-host"));
}

TEST(reply_76, challenge_takes_the_last_eight_bytes_read_wherever_they_lie) {
    G_WS ws;
    std::string request = request_76("1 2", "3 4", "o", "h", "");
    built b = build(ws, request);
    ASSERT_GT(b.length, 0) << "the reply is sent all the same";
    EXPECT_EQ(b.reply.substr(b.reply.size() - 16),
              md5_of_challenge(12, 34, request.substr(request.size() - 8)));
}

TEST(reply_76, digest_failure_gives_no_reply) {
    struct failure {
        const char* call;
        uint32_t code;
    };
    // A provider failure that leaves no code still leaves the challenge out of the digest.
    for (failure f : {failure{"CryptCreateHash", NTE_BAD_HASH},
                      failure{"CryptHashData", NTE_BAD_HASH}, failure{"CryptHashData", 0}}) {
        const char* call = f.call;
        capture::console out;
        G_WS ws;
        fault_inject(call, f.code);
        EXPECT_EQ(build(ws, request_76("1 2", "3 4", "o", "h")).length, 0) << call << " " << f.code;
        fault_clear();
        EXPECT_NE(out.text().find("   ^ERROR: "), std::string::npos);
        EXPECT_EQ(ws.version, 0) << "version is set only with a reply";
    }
}

// ------------------------------------------------------------ where header names count

TEST(header_lines, a_name_counts_only_where_a_header_line_begins) {
    struct line_case {
        const char* name;
        std::string (*request)(const names&);
        std::string reply; // empty: no reply
        bool lf_only_too;  // also with every line ended by a LF alone (a two-key origin or
                           // host runs up to its CR, so that form needs CR LF)
    };
    const std::string sample_76 =
        reply_76_text("http://localhost:8080", "example.com") + "8jKS'y:G*Co,Wxa-";
    const std::vector<line_case> cases = {
        {"a two-key origin with a port, before the host",
         [](const names& n) {
             return "GET /demo HTTP/1.1\r\n" + n.origin + " http://localhost:8080\r\n" + n.host +
                    " example.com\r\n" + n.key1 + " 4 @1  46546xW%0l 1 5\r\n" + n.key2 +
                    " 12998 5 Y3 1  .P00\r\n\r\n^n:ds[4U";
         },
         sample_76, false},
        {"a protocol name inside an earlier value",
         [](const names& n) {
             return "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nCookie: "
                    "p=sec-websocket-protocol:evil\r\n" +
                    n.key + " " + sample_key + "\r\n" + n.protocol + " chat\r\n\r\n";
         },
         reply_13(sample_accept, "chat"), true},
        {"a key name in the request target",
         [](const names& n) {
             return "GET /?sec-websocket-key:AAAAAAAAAAAAAAAAAAAAAA== HTTP/1.1\r\nHost: h\r\n" +
                    n.key + " " + sample_key + "\r\n\r\n";
         },
         reply_13(sample_accept), true},
        {"a longer name ending in the key's, before the key",
         [](const names& n) {
             return "GET / HTTP/1.1\r\nX-" + n.key + " AAAAAAAAAAAAAAAAAAAAAA==\r\n" + n.key + " " +
                    sample_key + "\r\n\r\n";
         },
         reply_13(sample_accept), true},
        {"a line after the empty line that ends the headers",
         [](const names& n) {
             return "GET / HTTP/1.1\r\nHost: h\r\n\r\n" + n.key + " " + sample_key + "\r\n";
         },
         "", true},
    };
    const std::pair<spelling, const char*> spellings[] = {
        {spelling::rfc, "as RFC 6455 writes them"},
        {spelling::lower, "all lower case"},
        {spelling::go, "Go's canonical form"},
        {spelling::upper, "all upper case"},
        {spelling::mixed, "mixed"}};
    for (const line_case& c : cases) {
        for (const auto& [s, spelling_name] : spellings) {
            for (bool lf : {false, true}) {
                if (lf && !c.lf_only_too) continue;
                SCOPED_TRACE(std::string(c.name) + "; names " + spelling_name +
                             "; lines ended by " + (lf ? "LF" : "CR LF"));
                std::string request = c.request(names(s));
                G_WS ws;
                built b = build(ws, lf ? lf_only(request) : request);
                EXPECT_EQ(b.reply, c.reply);
                EXPECT_EQ(b.length > 0, !c.reply.empty());
            }
        }
    }
}
