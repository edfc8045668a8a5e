// The one upgrade attempt of an accepted connection and both reply builders: request bytes in,
// reply bytes out. Only handshake() touches the transport; the builders and the accept value
// are testable on plain buffers.
#include "platform/settings.h"
#include "ws/ws.h"
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t reply_capacity = 2048;
constexpr size_t accept_capacity = 512;
constexpr char method_prefix[4] = {'G', 'E', 'T', ' '};
constexpr char key_name[] = "Sec-WebSocket-Key:";
constexpr char protocol_name[] = "Sec-WebSocket-Protocol:";
constexpr char guid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr int32_t guid_length = 36;
constexpr char reply_13[] = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\nConnection: "
                            "Upgrade\r\nSec-WebSocket-Accept: %s\r\n\r\n";
constexpr char protocol_line[] = "Sec-WebSocket-Protocol: ";
constexpr char key1_name[] = "Sec-WebSocket-Key1:";
constexpr char key2_name[] = "Sec-WebSocket-Key2:";
constexpr char origin_name[] = "Origin:";
constexpr char host_name[] = "Host:";
constexpr size_t field_capacity = 128; // 127 bytes of a value and its NUL
constexpr char reply_76[] =
    "HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: "
    "Upgrade\r\nSec-WebSocket-Origin: %s\r\nSec-WebSocket-Location: ws://%s/\r\n"
    "Sec-WebSocket-Protocol: dumb-increment-protocol\r\n\r\n";
constexpr size_t digest_76 = 16;
constexpr wchar_t hash_data_label[] = L"CryptHashData(ctx[index], data, length, 0)";

// Blank: every byte that, read as a signed 8-bit number, is at most 0x20 (0x00-0x20 and
// 0x80-0xFF).
bool blank(char c) {
    return static_cast<signed char>(c) <= 0x20;
}

// An ASCII letter in lower case; every other byte as it is, whatever the locale.
char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// Whether text begins with name, letters matched in any ASCII case: header names are
// case-insensitive, and clients write them in lower case ("sec-websocket-key:") or as
// "Sec-Websocket-Key:" as well. A NUL in text ends the match.
bool starts_with_name(const char* text, const char* name) {
    size_t i = 0;
    while (name[i] && ascii_lower(text[i]) == ascii_lower(name[i])) ++i;
    return !name[i];
}

// The first header line of text that begins with name, before text's first NUL. A header line
// begins after a LF, with or without a CR before it (a lenient client may end its lines with a
// LF alone), so the request line is never one, and the name inside a value, in the request
// target or at the end of a longer name does not count. The empty line ends the headers: what
// follows it is no header. Null when there is none.
const char* find_name(const char* text, const char* name) {
    for (const char* line = std::strchr(text, '\n'); line; line = std::strchr(line, '\n')) {
        ++line;
        if (*line == '\n' || (*line == '\r' && line[1] == '\n')) return nullptr;
        if (starts_with_name(line, name)) return line;
    }
    return nullptr;
}

// Where the value of header `name` starts: on the first header line that begins with the name,
// one byte past its colon, blanks skipped (CR and LF too) up to the end of the n bytes. Null
// when the header is missing.
const char* locate(const char* request, uint64_t n, const char* name) {
    const char* hit = find_name(request, name);
    if (!hit) return nullptr;
    const char* p = std::strchr(hit, ':') + 1;
    const char* end = request + n;
    while (p < end && blank(*p)) ++p;
    return p;
}

// Length of the token at p: its first byte whatever it is, then up to a blank, a stop byte or
// the end of the data.
uint64_t token_length(const char* p, const char* end, char stop) {
    uint64_t length = 1;
    while (p + length < end && !blank(p[length]) && p[length] != stop) ++length;
    return length;
}

// Copies a value up to its CR or the end of the data, cut to the field's 127 bytes.
void copy_value(const char* p, const char* end, char* field) {
    size_t i = 0;
    while (p < end && *p != '\r' && i < field_capacity - 1) field[i++] = *p++;
    field[i] = 0;
}

// The digits of a key value in their order (cut to 127) and its count of spaces.
uint32_t key_digits(const char* p, const char* end, char* digits) {
    uint32_t spaces = 0;
    size_t i = 0;
    for (; p < end && *p != '\r'; ++p) {
        if (*p == ' ')
            ++spaces;
        else if (*p >= '0' && *p <= '9' && i < field_capacity - 1)
            digits[i++] = *p;
    }
    digits[i] = 0;
    return spaces;
}

// The key's number, saturated at 2^32 - 1, divided by its space count.
uint32_t key_quotient(const char* digits, uint32_t spaces) {
    unsigned long long number = std::strtoull(digits, nullptr, 10);
    if (number > 0xFFFFFFFFull) number = 0xFFFFFFFFull;
    return uint32_t(number) / spaces;
}

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Adds bytes to context 0 directly; false when the provider fails, also when it leaves no
// code: the bytes are not in the hash, and a reply made without them would be wrong.
bool hash_direct(G_CRYPT& crypt, const void* data, DWORD length) {
    if (CryptHashData(crypt.ctx[0], static_cast<const BYTE*>(data), length, 0)) return true;
    print_error(GetLastError(), hash_data_label);
    return false;
}

} // namespace

int64_t G_WS::accept_key(const char* key, int32_t length, char* out) {
    crypt.init(CALG_SHA1);
    if (!crypt.hash_ready) return 0;
    if (crypt.hash(key, length) != 0) return 0;
    if (!hash_direct(crypt, guid, guid_length)) return 0;
    if (crypt.final() != 0) return 0;
    int64_t n = base64_encode(crypt.txt_hashes[0], crypt.txt_lengths, out);
    crypt.release();
    return n;
}

int64_t G_WS::header_13(const char* request, uint64_t n, char* reply) {
    const char* end = request + n;
    const char* key = locate(request, n, key_name);
    if (!key) return header_76(request, n, reply);
    version = 13;
    char accept[accept_capacity];
    if (accept_key(key, int32_t(token_length(key, end, 0)), accept) == 0) return 0;

    const char* token = locate(request, n, protocol_name);
    uint32_t token_size = token ? uint32_t(token_length(token, end, ',')) : 0;
    int m = sprintf_s(reply, reply_capacity, reply_13, accept);
    if (m <= 0) return 0;
    if (token_size == 0 || uint64_t(m) + token_size + 27 >= reply_capacity) return m;
    // The protocol line replaces the closing empty line; the token is copied as it is, a NUL
    // included.
    char* p = reply + m - 2;
    std::memcpy(p, protocol_line, sizeof protocol_line - 1);
    p += sizeof protocol_line - 1;
    std::memcpy(p, token, token_size);
    p += token_size;
    std::memcpy(p, "\r\n\r\n", 5);
    return int64_t(m) + token_size + 26;
}

int64_t G_WS::header_76(const char* request, uint64_t n, char* reply) {
    char origin[field_capacity] = {}, host[field_capacity] = {};
    char digits1[field_capacity] = {}, digits2[field_capacity] = {};
    const char* end = request + n;
    const char* k1 = locate(request, n, key1_name);
    const char* k2 = locate(request, n, key2_name);
    const char* o = locate(request, n, origin_name);
    const char* h = locate(request, n, host_name);
    if (!k1 || !k2 || !o || !h) return 0;
    copy_value(o, end, origin);
    copy_value(h, end, host);
    uint32_t spaces1 = key_digits(k1, end, digits1);
    uint32_t spaces2 = key_digits(k2, end, digits2);
    if (spaces1 == 0 || spaces2 == 0) return 0;

    uint8_t challenge[16];
    put_be32(challenge, key_quotient(digits1, spaces1));
    put_be32(challenge + 4, key_quotient(digits2, spaces2));
    std::memcpy(challenge + 8, end - 8, 8); // the last eight bytes read, wherever they lie

    crypt.init(CALG_MD5);
    if (!crypt.hash_ready) return 0;
    if (!hash_direct(crypt, challenge, sizeof challenge)) return 0;
    if (crypt.final() != 0) return 0;
    uint8_t digest[digest_76];
    std::memcpy(digest, crypt.txt_hashes[0], digest_76);
    crypt.release();

    version = 8;
    int m = sprintf_s(reply, reply_capacity, reply_76, origin, host);
    if (m < 0 || size_t(m) + digest_76 >= reply_capacity) return 0;
    std::memcpy(reply + m, digest, digest_76);
    reply[m + digest_76] = 0;
    return int64_t(m) + int64_t(digest_76);
}

int32_t G_WS::handshake(char* buffer) {
    if (!buffer || packet_length < least_packet_length) return -1;
    if (!tls.ssl.load()) {
        // A plain connection is looked at without consuming anything: any other stream stays
        // raw and loses nothing.
        char peek[4];
        int got = ::win::recv(tls.so.load(), peek, 4, MSG_PEEK);
        if (got != 4 || std::memcmp(peek, method_prefix, 4) != 0) return -1;
    }
    incomplete = 0;
    has_more = 0;
    in_fragment = 0;
    empty_frame = 0;
    char c_header_server[reply_capacity];
    std::memset(c_header_server, 0, sizeof c_header_server);

    // One read: the request must arrive whole; whatever it brought is never relayed.
    int64_t n = tls.recv(buffer, packet_length - 1);
    if (n <= 0) return -1;
    buffer[n] = 0;
    int64_t c_header_server_size = header_13(buffer, uint64_t(n), c_header_server);
    if (c_header_server_size <= 0) {
        con_report_printf("\n\tInvalid or unsupported WebSocket handshake from the client!\n");
        return -1;
    }
    if (tls.send(c_header_server, uint64_t(c_header_server_size)) == -1) {
        con_report_printf("[%i] tls.send(c_header_server, c_header_server_size)\n",
                          WSAGetLastError());
        return -1;
    }
    reset_text_state();
    is_ws = 1;
    return 0;
}
