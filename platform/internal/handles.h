// Inside the layer: counts of the handle and socket tables (for leak checks in tests) and
// the stack a thread really gets. Events and threads share one handle table.
#pragma once
#include "platform/win/types.h"
#include <cstdint>

namespace win::internal {

// Handles that are open, or closed with a call still inside them.
std::uint32_t handles_in_use();
// Sockets likewise.
std::uint32_t sockets_in_use();

// The stack reserve a thread really gets for a requested one (see threads.cpp).
std::size_t thread_stack_size(std::size_t requested);

} // namespace win::internal
