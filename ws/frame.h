// Framing constants shared by the frame decoder, the encoder and the relay's reader: the
// bits of an RFC 6455 frame's first two bytes, the longest header the encoder writes and the
// markers of a two-key message.
#pragma once
#include <cstdint>

namespace ws_frame {

inline constexpr uint8_t fin_bit = 0x80;
inline constexpr uint8_t length_code_16 = 126;    // a 16-bit length follows
inline constexpr uint8_t length_code_64 = 127;    // a 64-bit length follows
inline constexpr uint8_t close_first_byte = 0x88; // FIN, RSV clear, opcode close
inline constexpr uint64_t longest_header = 10;    // RFC 6455 server frame: 2 + 8 length bytes
inline constexpr uint8_t two_key_start = 0x00;    // a two-key message begins ...
inline constexpr uint8_t two_key_end = 0xFF;      // ... and ends

} // namespace ws_frame
