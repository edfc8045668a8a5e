// Client-side helpers for tests: loopback connections (as layer sockets, or raw descriptors
// for OpenSSL clients), a listener on a free port, a connected pair, a child process with its
// output captured, a step with a time limit, temporary folders, and counts of what is left
// open, and where a thread waits.
#pragma once
// Only the layer's socket header, not platform.h: a helper file adds POSIX headers after it.
#include "platform/win/sockets.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// A layer socket connected to 127.0.0.1:port; INVALID_SOCKET on failure.
win::SOCKET connect_client(std::uint16_t port);
// A plain descriptor connected to 127.0.0.1:port (for SSL_set_fd); -1 on failure.
// Receives and sends on it give up after timeout_ms so that a test cannot hang.
int connect_fd(std::uint16_t port, int timeout_ms = 5000);
// Closes a descriptor from connect_fd; -1 is ignored.
void close_fd(int fd);

// A layer socket listening on 127.0.0.1 at a free port.
struct loopback_listener {
    win::SOCKET so;     // INVALID_SOCKET when it could not be opened
    std::uint16_t port; // the port it is bound to
};
loopback_listener listen_loopback(int backlog = 16);

// Two connected layer sockets over loopback: `client` connected, `server` accepted.
struct socket_pair {
    win::SOCKET client; // INVALID_SOCKET when the pair could not be made
    win::SOCKET server;
};
socket_pair make_socket_pair();

// A child process with standard output and standard error on pipes.
struct child_process {
    int pid;         // -1 when it could not be started
    int out_fd;      // read end of its standard output
    int err_fd;      // read end of its standard error
    std::string out; // what has been read of standard output so far
    std::string err; // and of standard error
};
// Starts argv[0] (a path) with the arguments, in `cwd` when given; standard input is empty.
child_process start_child(const std::vector<std::string>& argv, const std::string& cwd = "");
// Reads until standard output holds `text` or timeout_ms passed; true when it was seen.
bool read_until(child_process& child, const std::string& text, int timeout_ms);
// Sends a signal to the child (e.g. SIGTERM); the child is still to be waited for.
void signal_child(child_process& child, int signal_number);
// Reads the rest of the output and waits for the end: the exit code, or 128 + the signal
// that ended it, or -1 when it did not end within timeout_ms (it is then killed).
int wait_child(child_process& child, int timeout_ms = 20000);

// Runs `step`, which must finish within timeout_ms. A step still running then waits on
// something that a fault keeps from ever coming, and nothing can release the threads it
// waits on: every thread's stack is printed and the process ends with exit code 1.
void within(const char* what, int timeout_ms, const std::function<void()>& step);

// A blocking socket call that a thread can be found asleep in.
enum class waiting_call { receive, send };

// A thread's system id, taken by the thread itself (here()), so that another thread can ask
// the kernel whether it sleeps inside a blocking call: a test shows that a call really
// blocks before it acts on the blocked call, instead of trusting a pause.
struct thread_probe {
    std::atomic<int> tid{0}; // 0 until the thread has called here()
    void here();
    // True once the thread sleeps inside `call`, waiting at most timeout_ms for that.
    bool waits_in(waiting_call call, int timeout_ms) const;
};

// A new empty folder under the system's temporary folder; empty string on failure.
std::string make_temp_dir(const char* prefix = "relay-test");
// Removes a folder and everything in it.
void remove_tree(const std::string& path);

// What is open now, for checks that a test leaves nothing behind.
int open_descriptors();       // descriptors of this process, -1 when unknown
std::uint32_t open_sockets(); // layer sockets, counting closed ones a call is still inside
// Layer handles (events, threads, others), once every joined thread has left its own handle.
std::uint32_t open_handles();
// The counts once they reach `expected`, waiting at most 2 s: a thread that has just been
// joined, or a call just woken by a close, may still be on its way out of the layer.
std::uint32_t open_sockets_settled(std::uint32_t expected);
std::uint32_t open_handles_settled(std::uint32_t expected);

} // namespace testing_support
