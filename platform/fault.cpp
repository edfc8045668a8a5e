// Test-only fault injection: a small fixed table of armed calls, keyed by the call's Windows
// name (a Windows code is left behind), or by a system call's own name (an errno). Layer
// calls ask fault_take; while nothing is armed that costs one relaxed load. Nothing in the
// product arms it; an arming that cannot be kept ends the process, so no test passes without
// the fault it armed.
#include "platform/internal/fault.h"
#include "platform/win/hooks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace win {
namespace internal {

std::atomic<bool> faults_armed{false};

namespace {

constexpr std::size_t name_size = 48;

// One armed call.
struct fault_entry {
    char call[name_size]; // the Windows name; empty when the entry is free
    std::uint32_t code;   // error to leave behind
    std::uint32_t skip;   // calls still to let through before failing
    std::uint32_t times;  // failures still to give
    bool has_value;       // `value` replaces what the call reports
    std::uint64_t value;  // the value to report
};

constexpr std::size_t table_size = 32;
std::mutex table_lock;         // guards the table
fault_entry table[table_size]; // armed calls
std::size_t armed_count = 0;   // entries in use

fault_entry* find(const char* call) {
    for (std::size_t i = 0; i < armed_count; ++i)
        if (std::strncmp(table[i].call, call, name_size) == 0) return &table[i];
    return nullptr;
}

// An arming the table cannot keep would let the armed call go through and its test pass
// without the fault: a broken test, so the process ends and the test fails.
[[noreturn]] void refuse_arming(const char* call, const char* why) {
    std::fprintf(stderr, "fault_inject: cannot arm %s: %s\n", call, why);
    std::fflush(stderr);
    std::abort();
}

fault_entry* find_or_add(const char* call) {
    if (call == nullptr) refuse_arming("(null)", "no name");
    if (std::strlen(call) >= name_size) refuse_arming(call, "the name is too long to be kept");
    fault_entry* entry = find(call);
    if (entry != nullptr) return entry;
    if (armed_count == table_size) refuse_arming(call, "every entry of the table is armed");
    entry = &table[armed_count++];
    *entry = fault_entry{};
    std::strncpy(entry->call, call, name_size - 1);
    return entry;
}

} // namespace

bool fault_take_slow(const char* call, std::uint32_t* code) {
    std::lock_guard<std::mutex> guard(table_lock);
    fault_entry* entry = find(call);
    if (entry == nullptr || entry->times == 0) return false;
    if (entry->skip > 0) {
        --entry->skip;
        return false;
    }
    --entry->times;
    *code = entry->code;
    return true;
}

bool fault_value_slow(const char* call, std::uint64_t* value) {
    std::lock_guard<std::mutex> guard(table_lock);
    fault_entry* entry = find(call);
    if (entry == nullptr || !entry->has_value) return false;
    *value = entry->value;
    return true;
}

} // namespace internal

void fault_inject(const char* call, std::uint32_t code, std::uint32_t skip, std::uint32_t times) {
    std::lock_guard<std::mutex> guard(internal::table_lock);
    internal::fault_entry* entry = internal::find_or_add(call);
    entry->code = code;
    entry->skip = skip;
    entry->times = times;
    internal::faults_armed.store(true, std::memory_order_relaxed);
}

void fault_value(const char* call, std::uint64_t value) {
    std::lock_guard<std::mutex> guard(internal::table_lock);
    internal::fault_entry* entry = internal::find_or_add(call);
    entry->has_value = true;
    entry->value = value;
    internal::faults_armed.store(true, std::memory_order_relaxed);
}

void fault_clear() {
    std::lock_guard<std::mutex> guard(internal::table_lock);
    internal::armed_count = 0;
    internal::faults_armed.store(false, std::memory_order_relaxed);
}

} // namespace win
