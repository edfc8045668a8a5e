// Bounded steps for tests: a step that should finish at once is given a time limit, and one
// that overruns it ends the test process as failed, with every thread's stack, so that a
// fault fails in seconds instead of hanging the run.
#include "tests/support/testing.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace testing_support {
namespace {

// Where every thread stands, on standard error (when gdb is there to ask).
void print_thread_stacks() {
    std::string cmd = "command -v gdb >/dev/null && gdb -batch -p " + std::to_string(::getpid()) +
                      " -ex 'thread apply all bt' 1>&2 2>/dev/null";
    (void)std::system(cmd.c_str());
}

} // namespace

void within(const char* what, int timeout_ms, const std::function<void()>& step) {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::thread watch([&] {
        std::unique_lock<std::mutex> g(lock);
        if (finished.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return done; }))
            return;
        std::fprintf(stderr, "\nFAILED: %s did not finish within %d ms; the threads:\n", what,
                     timeout_ms);
        std::fflush(stdout);
        std::fflush(stderr);
        print_thread_stacks();
        std::_Exit(1); // the threads it waits on can no longer be released
    });
    step();
    {
        std::lock_guard<std::mutex> g(lock);
        done = true;
    }
    finished.notify_one();
    watch.join();
}

} // namespace testing_support
