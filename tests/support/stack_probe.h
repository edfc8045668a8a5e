// Measures how deep a thread uses its stack: paint the unused part, run the code, then find
// the deepest byte that changed. Counts from the top of the thread's stack mapping, so the
// thread library's own frames and thread-local storage are included.
#pragma once
#include <cstddef>

namespace testing_support {

struct stack_probe {
    char* low;         // lowest usable byte of the calling thread's stack
    char* high;        // one past its highest byte
    char* painted_top; // painting stopped below this
};

// Paints the calling thread's unused stack; false when its bounds cannot be had.
bool stack_paint(stack_probe* probe);
// Bytes of stack used since the stack began, as far down as the deepest changed byte.
std::size_t stack_used(const stack_probe& probe);
// The stack size the calling thread was given.
std::size_t stack_size_of_this_thread();

} // namespace testing_support
