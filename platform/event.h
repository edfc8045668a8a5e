// Events, threads and error reports: the small records every other part stands on.
// Plain records without constructors: an all-zero record is an event or thread that does not
// exist. None of these functions throws.
#pragma once
#include "platform/platform.h"
#include <atomic>
#include <cstdint>

// One auto-reset event with a flag that says whether it may still be used.
struct G_EVENT {
    HANDLE h_event;             // the platform's event; null when creation failed or after close
    std::atomic<uint8_t> valid; // 1 while usable; cleared first thing by close

    void create(bool signalled); // failure leaves the record invalid, unreported
    uint32_t set();              // 0, 111 when not valid, else the system error
    uint32_t wait();             // 0, 111 when not valid (also after the wait), 138, system error
    void close();                // exactly once, from any number of threads
};

using G_THREAD_ROUTINE = DWORD (*)(LPVOID);

// The record of one thread started with a reserved stack.
struct G_THREAD {
    uint64_t stack_size;                      // the engine's stack_reservation
    uint32_t creation_flags;                  // STACK_SIZE_PARAM_IS_A_RESERVATION added by start
    LPSECURITY_ATTRIBUTES security_attributes; // always none
    HANDLE h_thread;
    uint32_t thread_id;
    uint8_t started; // 1 once CreateThread succeeded; cleared by close

    uint32_t start(G_THREAD_ROUTINE routine, void* argument); // 0 or the system error
    uint32_t join();                                          // as G_EVENT::wait
    void close();
};

// Reports a failed call: the label on a line of its own (when given), then
// "   ^ERROR: %u, %ls" with the system's text, which brings the line end; both lines as one
// step under the console's lock, on standard output as a report (con_report_begin). Returns
// code.
uint32_t print_error(uint32_t code, const wchar_t* label);        // standard output
uint32_t print_error_stderr(uint32_t code, const wchar_t* label); // standard error
