// Stack depth measurement for tests: paints below the caller's frame with a pattern and
// later scans up from the bottom for the first byte that no longer holds it.
#include "tests/support/stack_probe.h"

#include <cstdint>
#include <pthread.h>

namespace testing_support {
namespace {

constexpr unsigned char paint = 0xA5;
constexpr std::size_t margin = 1024; // left unpainted below this frame, which is in use

bool bounds(char** low, char** high, std::size_t* size) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
    void* addr = nullptr;
    std::size_t n = 0;
    std::size_t guard = 0;
    pthread_attr_getstack(&attr, &addr, &n);
    pthread_attr_getguardsize(&attr, &guard);
    pthread_attr_destroy(&attr);
    *low = static_cast<char*>(addr);
    *high = *low + n;
    *size = n;
    return true;
}

} // namespace

__attribute__((noinline, no_sanitize_address)) bool stack_paint(stack_probe* probe) {
    std::size_t size = 0;
    if (!bounds(&probe->low, &probe->high, &size)) return false;
    char* top = static_cast<char*>(__builtin_frame_address(0)) - margin;
    probe->painted_top = top;
    for (volatile char* p = probe->low + 4096; p < top; ++p) *p = char(paint);
    return true;
}

__attribute__((no_sanitize_address)) std::size_t stack_used(const stack_probe& probe) {
    const volatile char* p = probe.low + 4096;
    while (p < probe.painted_top && static_cast<unsigned char>(*p) == paint) ++p;
    return std::size_t(probe.high - p);
}

std::size_t stack_size_of_this_thread() {
    char* low = nullptr;
    char* high = nullptr;
    std::size_t size = 0;
    return bounds(&low, &high, &size) ? size : 0;
}

} // namespace testing_support
