// Auto-reset events and threads over futexes and POSIX threads, behind one handle table.
// A handle value carries a generation, so a wait or set on a closed handle fails at once;
// closing an event or thread handle wakes every thread that waits on it at that moment.
#include "platform/win/threads.h"
#include "platform/internal/errors.h"
#include "platform/internal/fault.h"
#include "platform/internal/handles.h"
#include "platform/internal/slots.h"
#include "platform/win/error.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <linux/futex.h>
#include <openssl/crypto.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace win {
namespace {

enum handle_kind : std::uint8_t { kind_none, kind_event, kind_thread };

constexpr std::uint32_t closed_bit = 1u << 31; // CloseHandle ran: every waiter leaves
// An event's word: the signals not yet taken, and the threads registered as waiting. A set
// gives one signal to each registered waiter and one more to keep, so two sets with two
// waiters release both, and sets with no waiter collapse into one, as auto-reset events do.
constexpr std::uint32_t event_signals = 0xFFFF;  // signals not yet taken
constexpr std::uint32_t event_waiter = 1u << 16; // one registered waiter
constexpr std::uint32_t finished_bit = 1;        // a thread's word: its routine returned

// How long a wait may look for an event's signal before it sleeps (see look_for_signal). A
// stream's hand-overs come within a few microseconds; a look much longer than a sleep and its
// wake-up cost in processor time (here 5 to 10 microseconds) pays only in latency, and where
// many slots are busy at once it takes the processors that their threads need.
constexpr std::uint64_t look_most_ns = 30000;     // the longest look
constexpr std::uint64_t look_least_ns = 1000;     // a shorter budget is not worth a look
constexpr std::uint64_t budget_per_recent = 4;    // a look lasts this many recent delays
constexpr std::uint64_t preempted_gap_ns = 50000; // a gap this long between two clock reads
constexpr std::uint64_t crowded_ns = 200000;      // no look for this long after such a gap
constexpr int rounds_per_clock_read = 16;         // spin-wait hints between two clock reads

// What one handle stands for; lives in a static table and is never freed.
struct handle_entry {
    handle_kind kind;                     // written before the handle is published
    std::atomic<std::uint32_t> word;      // the futex word, as described above
    std::atomic<std::uint32_t> waiters;   // threads: joiners in (or entering) a futex wait
    LPTHREAD_START_ROUTINE routine;       // thread: what it runs
    LPVOID parameter;                     // thread: the routine's argument
    std::atomic<std::uint32_t> recent_ns; // event: its waits' recent delay (see learn)
    std::atomic<std::uint64_t> woken_at;  // event: when a set last woke a sleeper (monotonic ns)
};

constexpr std::uint32_t handle_count = 4096;
constinit internal::slot_table<handle_count> handles;
handle_entry entries[handle_count];
std::atomic<DWORD> next_thread_id{4}; // identifiers handed out by CreateThread
// Threads whose end has been signalled and that have not yet left their own handle: a count
// of handles taken right after a join would otherwise still see that last use.
std::atomic<std::uint32_t> threads_leaving{0};

HANDLE handle_of(std::uint32_t value) {
    return reinterpret_cast<HANDLE>(std::uintptr_t(value));
}

// Enters the handle's slot; false (with ERROR_INVALID_HANDLE) when it is not open.
bool enter(HANDLE h, std::uint32_t* index) {
    std::uintptr_t v = reinterpret_cast<std::uintptr_t>(h);
    if (handles.enter(v, index)) return true;
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

void leave(std::uint32_t index) {
    if (!handles.leave(index)) return;
    entries[index].kind = kind_none; // last use of a closed handle: the slot is free again
    handles.recycle(index);
}

// Opens a handle of `kind`; `uses` counts calls that begin inside it (a running thread).
bool open(handle_kind kind, std::uint32_t word, std::uint32_t uses, std::uint32_t* index,
          HANDLE* h) {
    if (!handles.reserve(index)) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return false;
    }
    handle_entry& e = entries[*index];
    e.kind = kind;
    e.word.store(word, std::memory_order_relaxed);
    e.waiters.store(0, std::memory_order_relaxed);
    e.recent_ns.store(std::uint32_t(look_most_ns), std::memory_order_relaxed); // no look yet
    e.woken_at.store(0, std::memory_order_relaxed);
    *h = handle_of(handles.publish(*index, uses));
    return true;
}

long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* t) {
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, t, nullptr, 0);
}

// The time limit of a wait, on the monotonic clock; none for INFINITE.
struct wait_limit {
    bool infinite;     // no limit
    timespec deadline; // when the wait gives up

    explicit wait_limit(DWORD milliseconds) : infinite(milliseconds == INFINITE), deadline{} {
        if (infinite) return;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        long long ns = deadline.tv_nsec + (long long)(milliseconds % 1000) * 1000000LL;
        deadline.tv_sec += time_t(milliseconds / 1000 + ns / 1000000000LL);
        deadline.tv_nsec = long(ns % 1000000000LL);
    }
    // Sleeps while `word` reads `seen`, at most until the deadline; false once it has passed.
    bool sleep(std::atomic<std::uint32_t>& word, std::uint32_t seen) const {
        if (infinite) {
            futex(&word, FUTEX_WAIT_PRIVATE, seen, nullptr);
            return true;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long ns =
            (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
        if (ns <= 0) return false;
        timespec left{time_t(ns / 1000000000LL), long(ns % 1000000000LL)};
        futex(&word, FUTEX_WAIT_PRIVATE, seen, &left);
        return true;
    }
};

DWORD closed_result() {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

// ---- Looking for a signal before sleeping ----
// A slot's reader and writer hand each payload over through events. While they exchange a
// stream, the other side's set mostly follows within microseconds (a send or a receive), and a
// waiter that looks for it that long saves a futex sleep and wake-up: two system calls, two
// switches of threads, and the wake-up's latency, which on a busy or virtual machine is tens
// to hundreds of microseconds and stalls the other side as well. While sets come late (light
// load, an idle slot), looking is only burnt processor time. So each event learns how long
// its waits last: a wait looks for a few times their recent average, and not at all while
// that average is long. Looks are also left out while half the processors are looking
// already, and for a moment after a look was preempted: other threads want the processors.

std::atomic<std::uint32_t> looking{0};       // threads looking for a signal now
std::atomic<std::uint64_t> crowded_until{0}; // no thread looks before this time

std::uint64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::uint64_t(t.tv_sec) * 1000000000u + std::uint64_t(t.tv_nsec);
}

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

std::uint32_t lookers_most() {
    static const std::uint32_t most = [] {
        long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        return std::uint32_t(cpus >= 4 ? cpus / 2 : 1);
    }();
    return most;
}

// One more thread may look now: processors are free for it, as far as the lookers know.
bool begin_look(std::uint64_t now) {
    if (now < crowded_until.load(std::memory_order_relaxed)) return false;
    std::uint32_t n = looking.load(std::memory_order_relaxed);
    do {
        if (n >= lookers_most()) return false;
    } while (!looking.compare_exchange_weak(n, n + 1, std::memory_order_relaxed));
    return true;
}

// Folds the delay of one wait (from its start to the set that met it, a long one counted as
// the longest look) into the event's recent delay, an average that weighs each wait an eighth.
// Two waiters of one event may learn at once and one of their delays be lost: it is an
// estimate, and the next waits correct it.
void learn(handle_entry& e, std::uint64_t delay) {
    std::int64_t recent = e.recent_ns.load(std::memory_order_relaxed);
    std::int64_t d = std::int64_t(std::min(delay, look_most_ns));
    e.recent_ns.store(std::uint32_t(recent + (d - recent) / 8), std::memory_order_relaxed);
}

// How long a wait on the event looks: a few of its recent delays, and not at all while those
// are more than half the longest look (its waits are mostly long).
std::uint64_t look_budget(const handle_entry& e) {
    std::uint64_t recent = e.recent_ns.load(std::memory_order_relaxed);
    if (2 * recent > look_most_ns) return 0;
    return std::clamp(budget_per_recent * recent, look_least_ns, look_most_ns);
}

bool signalled_or_closed(std::uint32_t w) {
    return (w & (event_signals | closed_bit)) != 0;
}

// Looks for a signal (or the close) within the event's budget, from `began` on; returns the
// word as last read. A look that met its signal learns from it; one that did not leaves the
// learning to the sleep that follows. A look cut short by the scheduler means the processors
// are wanted elsewhere: no thread looks for a moment.
std::uint32_t look_for_signal(handle_entry& e, std::uint64_t began, const wait_limit& limit) {
    std::uint32_t w = e.word.load(std::memory_order_acquire);
    std::uint64_t budget = look_budget(e);
    if (budget == 0 || !limit.infinite || !begin_look(began)) return w;
    std::uint64_t last = began;
    bool preempted = false;
    while (!signalled_or_closed(w) && !preempted && last - began < budget) {
        for (int i = 0; i < rounds_per_clock_read && !signalled_or_closed(w); ++i) {
            cpu_relax();
            w = e.word.load(std::memory_order_acquire);
        }
        std::uint64_t now = now_ns();
        preempted = now - last > preempted_gap_ns;
        last = now;
    }
    looking.fetch_sub(1, std::memory_order_relaxed);
    if (signalled_or_closed(w)) {
        learn(e, last - began);
    } else if (preempted) {
        crowded_until.store(last + crowded_ns, std::memory_order_relaxed);
    }
    return w;
}

// After a sleep that a set ended: that set's time tells how long a look would have needed.
void learn_from_sleep(handle_entry& e, std::uint64_t began) {
    std::uint64_t woken = e.woken_at.load(std::memory_order_relaxed);
    learn(e, woken > began ? woken - began : look_most_ns);
}

// Takes one signal; without one the thread looks for it a while, then registers, sleeps, and
// takes one when it comes.
DWORD wait_event(handle_entry& e, const wait_limit& limit) {
    std::uint32_t w = e.word.load(std::memory_order_acquire);
    std::uint64_t began = 0; // when the wait found no signal; 0 while it found one at once
    if (!signalled_or_closed(w)) {
        began = now_ns();
        w = look_for_signal(e, began, limit);
    }
    for (;;) { // a signal that is there is taken without registering
        if ((w & closed_bit) != 0) return closed_result();
        std::uint32_t next = (w & event_signals) != 0 ? w - 1 : w + event_waiter;
        if (e.word.compare_exchange_weak(w, next, std::memory_order_acquire)) {
            if ((w & event_signals) != 0) return WAIT_OBJECT_0;
            w = next;
            break;
        }
    }
    bool in_time = true;
    for (;;) {
        if ((w & closed_bit) == 0 && (w & event_signals) == 0 && in_time) {
            in_time = limit.sleep(e.word, w);
            w = e.word.load(std::memory_order_acquire);
            continue;
        }
        // Leaving: with a signal when there is one, else closed or out of time.
        bool take = (w & closed_bit) == 0 && (w & event_signals) != 0;
        std::uint32_t next = w - event_waiter - (take ? 1 : 0);
        if (!e.word.compare_exchange_weak(w, next, std::memory_order_acquire)) continue;
        if (take) {
            if (limit.infinite) learn_from_sleep(e, began);
            return WAIT_OBJECT_0;
        }
        return (w & closed_bit) != 0 ? closed_result() : WAIT_TIMEOUT;
    }
}

bool set_event(handle_entry& e) {
    std::uint32_t w = e.word.load(std::memory_order_relaxed);
    for (;;) {
        if ((w & closed_bit) != 0) return false;
        std::uint32_t waiting = (w & ~closed_bit) >> 16;
        if ((w & event_signals) > waiting) return true; // signalled for all, and one to keep
        if (e.word.compare_exchange_weak(w, w + 1, std::memory_order_release)) break;
    }
    // Without a waiter the set costs no system call. With one, its time tells the sleeper how
    // long a look would have needed.
    if ((w >> 16) != 0) {
        e.woken_at.store(now_ns(), std::memory_order_relaxed);
        futex(&e.word, FUTEX_WAKE_PRIVATE, 1, nullptr);
    }
    return true;
}

// A thread's end stays signalled for every joiner, as often as they wait.
DWORD wait_thread(handle_entry& e, const wait_limit& limit) {
    for (;;) {
        std::uint32_t w = e.word.load(std::memory_order_acquire);
        if ((w & closed_bit) != 0) return closed_result();
        if ((w & finished_bit) != 0) return WAIT_OBJECT_0;
        e.waiters.fetch_add(1, std::memory_order_seq_cst);
        bool in_time = limit.sleep(e.word, w);
        e.waiters.fetch_sub(1, std::memory_order_relaxed);
        if (!in_time) return WAIT_TIMEOUT;
    }
}

// The stack every thread gets at least, whatever it asks for (the relay asks for 64 KiB).
// The deepest path, a TLS server handshake inside the TLS library followed by console
// output, was measured at about 25 KiB (stack_test paints the stack and finds the deepest
// byte written); 256 KiB keeps ten times that in reserve, and costs address space only.
// Under ThreadSanitizer the same path takes about 800 KiB, as its per-thread state lives in
// thread-local storage carved from the stack mapping.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t stack_floor = 4u << 20;
#else
constexpr std::size_t stack_floor = 256u << 10;
#endif

void* thread_main(void* argument) {
    auto index = std::uint32_t(reinterpret_cast<std::uintptr_t>(argument));
    handle_entry& e = entries[index];
    e.routine(e.parameter);
    // What the TLS library keeps for this thread goes before the end is signalled, as a
    // thread's end is signalled on Windows only once it is fully gone.
    OPENSSL_thread_stop();
    threads_leaving.fetch_add(1, std::memory_order_seq_cst);
    e.word.fetch_or(finished_bit, std::memory_order_seq_cst);
    if (e.waiters.load(std::memory_order_seq_cst) != 0)
        futex(&e.word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
    leave(index); // the thread's own use of its handle
    threads_leaving.fetch_sub(1, std::memory_order_seq_cst);
    return nullptr;
}

} // namespace

namespace internal {

std::uint32_t handles_in_use() {
    return handles.in_use();
}

std::uint32_t ended_threads_leaving() {
    return threads_leaving.load(std::memory_order_seq_cst);
}

std::uint64_t event_look_budget(HANDLE event) {
    std::uint32_t index = 0;
    if (!enter(event, &index)) return 0;
    std::uint64_t budget = entries[index].kind == kind_event ? look_budget(entries[index]) : 0;
    leave(index);
    return budget;
}

std::size_t thread_stack_size(std::size_t requested) {
    constexpr std::size_t most = std::size_t(1) << 46; // keeps the rounding below exact
    std::size_t size = requested < stack_floor ? stack_floor : requested > most ? most : requested;
    long page = sysconf(_SC_PAGESIZE);
    return (size + page - 1) / page * page;
}

} // namespace internal

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCWSTR) {
    if (internal::fault_fails("CreateEventW")) return nullptr;
    if (manual_reset) { // every event of this system is auto-reset
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    std::uint32_t index = 0;
    HANDLE h = nullptr;
    if (!open(kind_event, initial_state ? 1 : 0, 0, &index, &h)) return nullptr;
    return h;
}

BOOL SetEvent(HANDLE event) {
    if (internal::fault_fails("SetEvent")) return FALSE;
    std::uint32_t index = 0;
    if (!enter(event, &index)) return FALSE;
    handle_entry& e = entries[index];
    BOOL ok = e.kind == kind_event && set_event(e) ? TRUE : FALSE;
    if (!ok) SetLastError(ERROR_INVALID_HANDLE);
    leave(index);
    return ok;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (internal::fault_fails("WaitForSingleObject")) return WAIT_FAILED;
    std::uint64_t forced = 0; // a test asks for this result instead of a wait
    if (internal::fault_value("WaitForSingleObject", &forced)) return DWORD(forced);
    std::uint32_t index = 0;
    if (!enter(handle, &index)) return WAIT_FAILED;
    handle_entry& e = entries[index];
    DWORD result = WAIT_FAILED;
    if (e.kind == kind_event)
        result = wait_event(e, wait_limit(milliseconds));
    else if (e.kind == kind_thread)
        result = wait_thread(e, wait_limit(milliseconds));
    else
        SetLastError(ERROR_INVALID_HANDLE);
    leave(index);
    return result;
}

BOOL CloseHandle(HANDLE handle) {
    if (internal::fault_fails("CloseHandle")) return FALSE;
    if (handle == reinterpret_cast<HANDLE>(~std::uintptr_t(0))) return TRUE; // the process
    std::uint32_t index = 0;
    if (!enter(handle, &index)) return FALSE;
    handle_entry& e = entries[index];
    BOOL ok = TRUE;
    if (!handles.close(index)) {
        SetLastError(ERROR_INVALID_HANDLE); // another thread closed it first
        ok = FALSE;
    } else if (e.kind == kind_event || e.kind == kind_thread) {
        e.word.fetch_or(closed_bit, std::memory_order_seq_cst);
        futex(&e.word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr); // every waiter leaves now
    }
    leave(index);
    return ok;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack_size, LPTHREAD_START_ROUTINE start_address,
                    LPVOID parameter, DWORD creation_flags, LPDWORD thread_id) {
    if (internal::fault_fails("CreateThread")) return nullptr;
    if (start_address == nullptr || (creation_flags & ~STACK_SIZE_PARAM_IS_A_RESERVATION) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER); // suspended start is not offered
        return nullptr;
    }
    std::uint32_t index = 0;
    HANDLE h = nullptr;
    // Two uses: the caller's until this call returns, and the new thread's until it ends.
    if (!open(kind_thread, 0, 2, &index, &h)) return nullptr;
    entries[index].routine = start_address;
    entries[index].parameter = parameter;
    DWORD id = next_thread_id.fetch_add(4, std::memory_order_relaxed);
    if (thread_id != nullptr) *thread_id = id;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_attr_setstacksize(&attr, internal::thread_stack_size(stack_size));
    pthread_t thread;
    if (rc == 0)
        rc = pthread_create(&thread, &attr, thread_main,
                            reinterpret_cast<void*>(std::uintptr_t(index)));
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        handles.close(index);
        handles.leave(index);
        leave(index);
        // No room for the thread or its stack: not enough memory, as Windows reports it.
        internal::last_error_from_errno(rc == EAGAIN ? ENOMEM : rc);
        return nullptr;
    }
    leave(index);
    return h;
}

} // namespace win
