// Self-checking payloads of the load driver: each record carries its sender, sequence number,
// length and a checksum of its body in a printable header, so that a receiver can prove that
// every payload arrived whole, unaltered and in order. Text-safe: every byte is ASCII.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

inline constexpr std::size_t record_header = 32; // "#" kind sender(2) seq(8) len(4) sum(16)
inline constexpr std::size_t record_max = 65528; // largest record (a multiple of 8)

// What a record is for.
enum class G_KIND : char {
    data = 'D', // counted and checked payload
    sync = 'S', // sent before the measurement until every receiver has seen one
    end = 'E',  // last record of a sender; its sequence field is the number of data records
};

// A parsed record header.
struct G_RECORD {
    G_KIND kind;        // what the record is for
    unsigned sender;    // sender number, 0 to 255
    std::uint32_t seq;  // sequence number among the sender's data records
    std::size_t length; // whole record length, header included
    std::uint64_t sum;  // checksum of the body, mixed with the fields above
};

// The body a sender puts into every record, and its precomputed partial checksum.
struct G_BODY {
    std::vector<std::uint8_t> bytes; // printable bytes, length record size - header
    std::uint64_t a;                 // first Fletcher lane over the body's 64-bit words
    std::uint64_t b;                 // second lane (order-sensitive)
};

// Builds sender's body for records of the given size (a multiple of 8, at least the header).
G_BODY body_make(unsigned sender, std::size_t record_size);
// Writes one record of body.bytes.size() + header bytes at p.
void record_write(std::uint8_t* p, const G_BODY& body, G_KIND kind, unsigned sender,
                  std::uint32_t seq);
// Parses and checks a record of exactly `length` bytes at p (its header's length must agree).
// Returns false for anything malformed or a checksum that does not match.
bool record_check(const std::uint8_t* p, std::size_t length, G_RECORD* out);
// Parses only the header (for scanning a raw stream); false when it is not one.
bool record_header_parse(const std::uint8_t* p, G_RECORD* out);

} // namespace bench
