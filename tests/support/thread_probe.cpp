// Where a thread of this process waits, as the kernel shows it: the system call it sleeps in
// (/proc/self/task/TID/syscall) and its state (/proc/self/task/TID/stat), so that a test can
// show that a blocking call really blocks before it acts on it.
#include "tests/support/testing.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace testing_support {
namespace {

// The first word of a file of /proc/self/task/TID; empty when it cannot be read.
std::string first_word(int tid, const char* file) {
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/" + file;
    std::FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr) return "";
    char word[64] = {};
    int read = std::fscanf(f, "%63s", word);
    std::fclose(f);
    return read == 1 ? word : "";
}

// The state letter of /proc/self/task/TID/stat: the field after the name in parentheses.
char state(int tid) {
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    std::FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr) return '?';
    char line[512] = {};
    std::size_t n = std::fread(line, 1, sizeof line - 1, f);
    std::fclose(f);
    std::string text(line, n);
    std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : '?';
}

long call_number(waiting_call call) {
    // The C library's recv and send are these system calls.
    return call == waiting_call::receive ? SYS_recvfrom : SYS_sendto;
}

} // namespace

void thread_probe::here() {
    tid.store(int(::syscall(SYS_gettid)));
}

bool thread_probe::waits_in(waiting_call call, int timeout_ms) const {
    const std::string number = std::to_string(call_number(call));
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        int id = tid.load();
        // Asleep inside the call: a thread on its way in or out shows "running" or R.
        if (id != 0 && first_word(id, "syscall") == number && state(id) == 'S') return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

} // namespace testing_support
