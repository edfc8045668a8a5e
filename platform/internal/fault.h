// Inside the layer: where a call asks whether a test has armed a fault for it.
// Costs one relaxed load while nothing is armed.
#pragma once
#include "platform/win/error.h"
#include <atomic>
#include <cstdint>

namespace win::internal {

extern std::atomic<bool> faults_armed;

bool fault_take_slow(const char* call, std::uint32_t* code);
bool fault_value_slow(const char* call, std::uint64_t* value);

// True when `call` must fail now; *code is the error to leave behind.
inline bool fault_take(const char* call, std::uint32_t* code) {
    return faults_armed.load(std::memory_order_relaxed) && fault_take_slow(call, code);
}
// True when a test has set a value to report instead of the real one.
inline bool fault_value(const char* call, std::uint64_t* value) {
    return faults_armed.load(std::memory_order_relaxed) && fault_value_slow(call, value);
}

// True when `call` must fail now; the injected code is left as GetLastError's value.
inline bool fault_fails(const char* call) {
    std::uint32_t code = 0;
    if (!fault_take(call, &code)) return false;
    win::SetLastError(code);
    return true;
}

} // namespace win::internal
