// WebSocket state of one connection: frame decoding and encoding in place, the UTF-8 check that
// picks text or binary frames, both upgrade handshakes, Base64, and the hashing service over the
// platform's cryptographic provider. Sockets are reached only through the connection's G_TLS.
#pragma once
#include "platform/event.h"
#include "platform/platform.h"
#include "transport/tls.h"
#include <atomic>
#include <cstdint>

// The least packet length with which an upgrade is attempted: below it every connection stays
// raw (plain or TLS) and no receiver is framed for.
inline constexpr uint64_t least_packet_length = 256;

// The hashing service: one digest per upgrade handshake (SHA-1 for the accept value, MD5 for
// the two-key challenge). Released state: every field zero and alg = CALG_SHA1. Used only by the
// reader thread of the connection that owns it.
struct G_CRYPT {
    uint64_t all_length;    // bytes of the table txt_hashes points to: 16 per context
    uint64_t values_length; // bytes of the value block: txt_lengths x hash_count
    HCRYPTHASH* ctx;        // hash contexts: the second half of the table
    HCRYPTPROV h_prov;      // provider handle; 0 when none is held
    uint8_t hash_ready;     // init completed: contexts and value block usable
    ALG_ID alg;             // CALG_SHA1 (released state) or CALG_MD5
    uint8_t** txt_hashes;   // the table: entry i points at context i's value in the value block
    uint32_t txt_lengths;   // length of one value as the provider reports it (20 / 16)
    uint64_t hash_count;    // number of contexts; init sets 1, hash feeds context 0

    uint32_t init(ALG_ID algorithm);                 // 0 or the code of the failed step
    uint32_t hash(const void* data, int32_t length); // 0, 0xFFFFFFFF when not ready, or the code
    uint32_t final();                                // 0 or the code of the first failed context
    void release();                                  // wipes and frees; safe to repeat
};

// Base64 (standard alphabet, '=' padding) of n bytes into out, which needs
// 4 * ceil(n / 3) + 1 bytes. Returns the characters written; a NUL follows them.
int64_t base64_encode(const uint8_t* data, int64_t n, char* out);

// The WebSocket state of one connection, kept by its relay slot for the slot's whole life and
// reused for every connection the slot serves.
//
// Decoder contract (G_WS::decrypt), for the slot's reader:
//   - Test `incomplete` first. When it is set the frame at `frame` is not whole, whatever the
//     result: keep the bytes from `frame` on, receive more after them and call again on the same
//     frame start.
//   - Otherwise, when `empty_frame` is set the result is 0 but the conversation goes on: the
//     frame was a complete data or continuation frame with an empty payload, passed over.
//     Relay nothing for it and continue exactly as after a positive result: when `has_more` is
//     set the next frame begins at `payload` + 0, else receive again with nothing carried.
//   - Otherwise a positive result is a complete frame: `payload` points at its payload of that
//     many bytes, followed by a 0 byte. When `has_more` is set the next frame begins at
//     `payload` + result (RFC 6455) or `payload` + result + 1 (two-key framing); decode it next,
//     before anything else writes to the buffer.
//   - Otherwise a result of 0 or below ends the conversation: 0 control or reserved opcode,
//     -1 reserved bits (two-key framing: first byte not 0x00), -2 continuation with no
//     fragmented message open, -8 close (RFC 6455: the close reply has been sent; `version` is
//     0 afterwards).
//   The decoder writes only inside the frame and one byte beyond the `length` bytes held, so the
//   caller keeps one writable byte after the data.
struct G_WS {
    G_CRYPT crypt;      // hashing service of this connection's upgrade handshake
    uint8_t saved_byte; // first byte of the next RFC 6455 frame; valid while has_more is set
    // Upgraded: the connection speaks frames. Set by the upgrade, cleared at the connection's
    // end, both on the slot's reader; read by other slots' readers when they frame for it.
    std::atomic<uint8_t> is_ws;
    uint8_t incomplete;  // decoder: the bytes held end before the frame does
    uint8_t has_more;    // decoder: at least one byte follows the decoded frame
    uint8_t in_fragment; // an RFC 6455 fragmented message is open
    uint8_t empty_frame; // decoder: a complete frame with an empty payload was passed over
    // The outgoing stream's UTF-8 state: used by whichever sender holds this slot's send area
    // (handed over by its buffer-free event), reset by the slot's reader at an upgrade, before
    // the slot is ready.
    int32_t out_opcode;   // outgoing stream: 1 while text, 2 once binary
    int32_t out_pending;  // outgoing stream: continuation bytes the open character still needs
    int32_t out_at_start; // outgoing stream: 1 at its very start
    uint8_t out_low;      // outgoing stream: least value allowed for the next continuation byte
    uint8_t out_high;     // outgoing stream: greatest value allowed for it
    // 0 none or closed, 8 two-key framing, 13 RFC 6455. Written by the slot's reader (upgrade,
    // close); read by other slots' readers in the encoder, without a lock.
    std::atomic<int32_t> version;
    G_TLS tls; // the connection's transport

    G_WS();
    ~G_WS();
    G_WS(const G_WS&) = delete;
    G_WS& operator=(const G_WS&) = delete;

    // Decodes the frame at `frame` (of `length` bytes held) in place; see the contract above.
    int64_t decrypt(uint8_t* frame, uint64_t length, uint8_t** payload);

    // Frames `*size` bytes at `src` for this receiver inside dst[0, dst_size). Returns the frame's
    // first byte with `*size` set to the frame length, or null (nothing written) when dst or
    // src is null, *size is 0, version is 0, the frame does not fit, or a two-key receiver's
    // payload holds a 0xFF byte. A payload 10 to 16 bytes after dst that ends within dst stays
    // in place; any other is moved to dst + 10 (RFC 6455) or dst + 1 (two-key).
    uint8_t* encrypt(uint8_t* dst, uint64_t dst_size, const uint8_t* src, uint64_t* size);

    // UTF-8 check of the outgoing stream: the opcode (1 text, 2 binary) for this payload's frame.
    // Text only while the stream is well-formed and the payload is well-formed on its own.
    int32_t opcode(const uint8_t* data, uint64_t length);

    // The one upgrade attempt of an accepted connection; `buffer` is the slot's receive buffer
    // of at least packet_length bytes. 0 when upgraded (is_ws set), -1 otherwise. Whatever was
    // read is dropped either way.
    int32_t handshake(char* buffer);

    // Reply builders: `request` holds n bytes followed by a NUL; `reply` has 2048 bytes.
    // Return the reply length (a NUL follows it), or 0 or less when there is no reply.
    int64_t header_13(const char* request, uint64_t n, char* reply);
    int64_t header_76(const char* request, uint64_t n, char* reply);

    // The RFC 6455 accept value of `key` into out (at least 29 bytes): 28 characters and a NUL,
    // or 0 when it cannot be computed.
    int64_t accept_key(const char* key, int32_t length, char* out);

    // Resets the outgoing stream's UTF-8 state to its start values.
    void reset_text_state();

  private:
    int64_t decrypt_two_key(uint8_t* frame, uint64_t length, uint8_t** payload);
    int64_t first_byte(uint8_t first);
};
