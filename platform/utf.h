// UTF-16 to UTF-8 conversion into a bounded buffer; one pass, no allocation.
#pragma once
#include <cstddef>

// Returns the bytes written before the terminating 0, or 0 when `out` or `in` is null, the
// input is empty, or the conversion and its terminator do not fit (the output is then a cut,
// terminated prefix).
std::size_t utf16_to_utf8(char* out, std::size_t out_size, const char16_t* in);
