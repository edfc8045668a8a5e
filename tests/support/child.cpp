// Child processes and temporary folders for tests: start a program with its output on
// pipes, read it as it comes, wait for its end with a bound; make and remove folders.
#include "tests/support/testing.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {
namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

// Reads what is there on the child's pipes within `timeout_ms`; false when both are closed.
bool pump(child_process& c, int timeout_ms) {
    ::pollfd fds[2] = {{c.out_fd, POLLIN, 0}, {c.err_fd, POLLIN, 0}};
    if (c.out_fd < 0 && c.err_fd < 0) return false;
    int n = ::poll(fds, 2, timeout_ms);
    if (n <= 0) return true;
    int* ends[2] = {&c.out_fd, &c.err_fd};
    std::string* texts[2] = {&c.out, &c.err};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buf[4096];
        ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
        if (r > 0) {
            texts[i]->append(buf, std::size_t(r));
        } else if (r == 0 || errno != EINTR) {
            ::close(*ends[i]);
            *ends[i] = -1;
        }
    }
    return true;
}

int remove_entry(const char* path, const struct stat*, int, FTW*) {
    return ::remove(path);
}

} // namespace

child_process start_child(const std::vector<std::string>& argv, const std::string& cwd) {
    child_process c{-1, -1, -1, {}, {}};
    int out[2], err[2];
    if (argv.empty() || ::pipe2(out, O_CLOEXEC) != 0) return c;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return c;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int pid = ::fork();
    if (pid == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(out[0]);
        ::close(err[0]);
        return c;
    }
    c.pid = pid;
    c.out_fd = out[0];
    c.err_fd = err[0];
    return c;
}

bool read_until(child_process& c, const std::string& text, int timeout_ms) {
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (c.out.find(text) == std::string::npos) {
        int left = ms_left(deadline);
        if (left == 0 || !pump(c, left)) return c.out.find(text) != std::string::npos;
    }
    return true;
}

void signal_child(child_process& c, int signal_number) {
    if (c.pid > 0) ::kill(c.pid, signal_number);
}

int wait_child(child_process& c, int timeout_ms) {
    if (c.pid <= 0) return -1;
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (ms_left(deadline) > 0 && pump(c, ms_left(deadline))) {
    }
    int status = 0;
    int code = -1;
    for (;;) {
        int r = ::waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (r < 0 || ms_left(deadline) == 0) {
            ::kill(c.pid, SIGKILL);
            ::waitpid(c.pid, &status, 0);
            break;
        }
        ::usleep(2000);
    }
    for (int* fd : {&c.out_fd, &c.err_fd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    c.pid = -1;
    return code;
}

std::string make_temp_dir(const char* prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/" +
                        (prefix != nullptr ? prefix : "relay-test") + "-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) return std::string();
    return templ;
}

void remove_tree(const std::string& path) {
    if (!path.empty()) ::nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

} // namespace testing_support
