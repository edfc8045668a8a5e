// Inside the layer: the one table behind every HANDLE (events, threads, and plain handles
// such as a process token). CloseHandle and WaitForSingleObject work on all of them.
#pragma once
#include "platform/win/types.h"
#include <cstdint>

namespace win::internal {

// A handle without state of its own, marked with `tag` (the kind of object it stands for);
// CloseHandle releases it. Null when the table is full.
HANDLE handle_open_plain(std::uint32_t tag);
// True while `handle` is an open plain handle carrying `tag`.
bool handle_is_plain(HANDLE handle, std::uint32_t tag);

// Handles that are open, or closed with a call still inside them (for leak checks in tests).
std::uint32_t handles_in_use();
// Sockets likewise.
std::uint32_t sockets_in_use();

// The stack reserve a thread really gets for a requested one (see threads.cpp).
std::size_t thread_stack_size(std::size_t requested);

} // namespace win::internal
