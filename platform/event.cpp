// Events, threads and error reports: G_EVENT and G_THREAD over the platform's handles, and
// the two-line report of a failed call with the system's message text.
#include "platform/event.h"
#include "platform/settings.h"

namespace {

constexpr uint32_t not_valid = 111; // the record's event or thread is gone
constexpr uint32_t timed_out = 138; // a wait ended by its time limit

// The handle field is read by setters and waiters on other threads while a close clears
// it; the layer refuses a closed handle, so either value read is safe, but the access
// itself must not be a data race.
HANDLE load_handle(HANDLE& field) {
    return std::atomic_ref<HANDLE>(field).load(std::memory_order_relaxed);
}
void store_handle(HANDLE& field, HANDLE value) {
    std::atomic_ref<HANDLE>(field).store(value, std::memory_order_relaxed);
}

// Maps a wait's result; `still_valid` is read after the wait has returned.
uint32_t wait_result(DWORD result, bool still_valid) {
    if (!still_valid) return not_valid;
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return 0;
    if (result == WAIT_TIMEOUT) return timed_out;
    return GetLastError();
}

// Where a failed call is reported: how to print, and how the report holds the console. A report
// on standard output is one of the program's reports, whose hook runs first; standard error
// carries only reports of the start, beside no line of the program's.
struct report_stream {
    int (*print)(const wchar_t*, ...);
    void (*begin)();
    void (*end)();
};
constexpr report_stream standard_output{con_wprintf, con_report_begin, con_report_end};
constexpr report_stream standard_error{con_ewprintf, con_lock, con_unlock};

// The label line, then the error line, as one step on the console: no other thread's text
// comes between them. The system's text, had before the console is taken, brings the line end.
uint32_t report(const report_stream& stream, uint32_t code, const wchar_t* label) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_FROM_SYSTEM,
                   nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    stream.begin();
    if (label != nullptr) stream.print(L"%ls\n", label);
    stream.print(L"   ^ERROR: %u, %ls", code, text);
    stream.end();
    if (text != nullptr) LocalFree(text);
    return code;
}

} // namespace

void G_EVENT::create(bool signalled) {
    HANDLE h = CreateEventW(nullptr, FALSE, signalled ? TRUE : FALSE, nullptr);
    if (h == nullptr) {
        (void)GetLastError(); // the record stays invalid; every use then gives 111
        return;
    }
    store_handle(h_event, h);
    valid.store(1, std::memory_order_release);
}

uint32_t G_EVENT::set() {
    if (valid.load(std::memory_order_acquire) == 0) return not_valid;
    if (SetEvent(load_handle(h_event))) return 0;
    // A close that ran meanwhile makes the set fail on the closed handle: that is the
    // record going away, as for a wait, not a failure of the system.
    if (valid.load(std::memory_order_acquire) == 0) return not_valid;
    return GetLastError();
}

uint32_t G_EVENT::wait() {
    if (valid.load(std::memory_order_acquire) == 0) return not_valid;
    DWORD result = WaitForSingleObject(load_handle(h_event), INFINITE);
    return wait_result(result, valid.load(std::memory_order_acquire) != 0);
}

void G_EVENT::close() {
    // Cleared before the signal, so the waiter that the signal releases sees 0 and stops.
    if (valid.exchange(0, std::memory_order_acq_rel) == 0) return;
    HANDLE h = load_handle(h_event);
    SetEvent(h);
    // Closing the handle also releases every other thread still waiting on it, and a wait
    // that begins on it later fails at once.
    if (!CloseHandle(h)) (void)GetLastError();
    store_handle(h_event, nullptr);
}

uint32_t G_THREAD::start(G_THREAD_ROUTINE routine, void* argument) {
    creation_flags |= STACK_SIZE_PARAM_IS_A_RESERVATION;
    stack_size = stack_reservation;
    h_thread = CreateThread(security_attributes, SIZE_T(stack_size), routine, argument,
                            creation_flags, reinterpret_cast<LPDWORD>(&thread_id));
    if (h_thread == nullptr) return GetLastError();
    started = 1;
    return 0;
}

uint32_t G_THREAD::join() {
    if (started == 0) return not_valid;
    DWORD result = WaitForSingleObject(h_thread, INFINITE);
    return wait_result(result, started != 0);
}

void G_THREAD::close() {
    if (started == 0) return;
    if (!CloseHandle(h_thread)) (void)GetLastError();
    *this = G_THREAD{};
}

uint32_t print_error(uint32_t code, const wchar_t* label) {
    return report(standard_output, code, label);
}

uint32_t print_error_stderr(uint32_t code, const wchar_t* label) {
    return report(standard_error, code, label);
}
