// What the kernel says about this process's memory, for tests of the memory services:
// physical pages still held, views of them still mapped, bytes locked. Reads /proc only.
#pragma once
#include <cstddef>
#include <cstdint>

namespace probe {

std::uint64_t physical_pages_held(); // resident pages of the open physical-page files
std::size_t physical_views();        // mappings of those files (locked holders and ranges)
std::uint64_t locked_bytes();        // the process's locked memory (VmLck)
bool address_mapped(const void* p);  // some mapping of the process covers p

} // namespace probe
