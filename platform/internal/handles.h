// Inside the layer: counts of the handle and socket tables (for leak checks in tests) and
// the stack a thread really gets. Events and threads share one handle table.
#pragma once
#include "platform/win/types.h"
#include <cstdint>

namespace win::internal {

// Handles that are open, or closed with a call still inside them.
std::uint32_t handles_in_use();
// Threads whose end has been signalled (a join returns) that are still leaving their own
// handle, the last thing they do: until then handles_in_use() counts that handle.
std::uint32_t ended_threads_leaving();
// Sockets likewise.
std::uint32_t sockets_in_use();

// How long a wait on `event` would now look for its signal before sleeping, in nanoseconds;
// 0 for no look (and for a handle that is not an open event).
std::uint64_t event_look_budget(HANDLE event);

// The stack reserve a thread really gets for a requested one (see threads.cpp).
std::size_t thread_stack_size(std::size_t requested);

} // namespace win::internal
