// Test-only controls of the layer. The product never calls these; nothing outside a test
// can arm them (no environment variable, file or option reaches them).
#pragma once
#include <cstddef>
#include <cstdint>

namespace win {

// The call named `call` (its Windows name, e.g. "CreateEventW", "accept", "CryptCreateHash")
// fails with `code` on `times` calls after `skip` calls that go through normally.
// The failure leaves `code` in the last-error value the call uses (WSAGetLastError for
// socket calls, GetLastError otherwise). "accept4" names the system call under accept:
// `code` is then an errno, which accept maps as it maps the system's own.
// Arming again replaces an armed call's fault. An arming that cannot be kept (more distinct
// calls armed than the table holds, or a name too long for it) ends the process with a
// message on standard error, so that no test passes without the fault it armed.
void fault_inject(const char* call, std::uint32_t code, std::uint32_t skip = 0,
                  std::uint32_t times = 1);

// For calls that hand out a count or a size (AllocateUserPhysicalPages: pages handed out;
// GetLargePageMinimum: the size reported; WaitForSingleObject: the wait's result, returned
// at once): use `value` instead of the real one.
void fault_value(const char* call, std::uint64_t value);

// Disarms every injected fault and value.
void fault_clear();

// Console capture: while a sink is set, each console call's UTF-8 text goes to it instead of
// the file descriptor (stream 1 standard output, 2 standard error). Null restores the console.
using console_sink = void (*)(int stream, const char* text, std::size_t length, void* context);
void con_set_sink(console_sink sink, void* context);

} // namespace win
