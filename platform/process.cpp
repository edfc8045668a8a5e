// Process services: priority, debugger presence, exit, locale, and the Windows run-time's
// _wtoi. Each takes the nearest effect this platform has; failures are returned, not printed.
#include "platform/win/process.h"
#include "platform/internal/errors.h"
#include "platform/internal/fault.h"
#include "platform/win/error.h"

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/resource.h>
#include <unistd.h>

namespace win {
namespace {

// Nice values nearest to the Windows priority classes.
int nice_of(DWORD priority_class) {
    switch (priority_class) {
    case 0x40:
        return 19; // idle
    case 0x4000:
        return 10; // below normal
    case 0x8000:
        return -5; // above normal
    case HIGH_PRIORITY_CLASS:
        return -10;
    case 0x100:
        return -20; // real time
    default:
        return 0; // normal
    }
}

std::mutex locale_lock;  // guards the locale name below
wchar_t locale_name[64]; // the name _wsetlocale last returned

bool set_named_locale(int category, const char* name) {
    return std::setlocale(category, name) != nullptr;
}

// "bg-BG" -> "bg_BG.UTF-8"; the console stays UTF-8 whatever is installed.
bool set_nearest_locale(int category, const char* name) {
    char posix[64];
    std::size_t n = 0;
    for (; name[n] != 0 && n < 40; ++n) posix[n] = name[n] == '-' ? '_' : name[n];
    posix[n] = 0;
    if (std::strchr(posix, '.') == nullptr) {
        std::snprintf(posix + n, sizeof posix - n, ".UTF-8");
        if (set_named_locale(category, posix)) return true;
        std::snprintf(posix + n, sizeof posix - n, ".utf8");
    }
    if (set_named_locale(category, posix)) return true;
    return set_named_locale(category, "C.UTF-8") || set_named_locale(category, "C");
}

bool is_blank(wchar_t c) {
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

} // namespace

BOOL SetPriorityClass(HANDLE, DWORD priority_class) {
    if (internal::fault_fails("SetPriorityClass")) return FALSE;
    // The nice value is per thread here: threads created afterwards inherit it.
    if (::setpriority(PRIO_PROCESS, 0, nice_of(priority_class)) != 0) {
        internal::last_error_from_errno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL SetProcessPriorityBoost(HANDLE, BOOL) {
    if (internal::fault_fails("SetProcessPriorityBoost")) return FALSE;
    return TRUE; // the scheduler here has no dynamic boost to switch
}

BOOL IsDebuggerPresent() {
    int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FALSE;
    char text[4096];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return FALSE;
    text[n] = 0;
    const char* tracer = std::strstr(text, "TracerPid:");
    if (tracer == nullptr) return FALSE;
    return std::strtol(tracer + 10, nullptr, 10) != 0 ? TRUE : FALSE;
}

void ExitProcess(UINT exit_code) {
    std::fflush(nullptr); // the console holds nothing back; C streams might
    std::_Exit(int(exit_code));
}

wchar_t* _wsetlocale(int category, const wchar_t* locale) {
    std::lock_guard<std::mutex> guard(locale_lock);
    if (locale != nullptr) {
        char name[64];
        std::size_t n = 0;
        for (; locale[n] != 0 && n < sizeof name - 1; ++n)
            name[n] = locale[n] < 0x80 ? char(locale[n]) : '?';
        name[n] = 0;
        bool ok =
            name[0] == 0 ? set_named_locale(category, "") : set_nearest_locale(category, name);
        if (!ok) return nullptr;
    }
    const char* now = std::setlocale(category, nullptr);
    if (now == nullptr) return nullptr;
    std::size_t n = 0;
    for (; now[n] != 0 && n < 63; ++n) locale_name[n] = wchar_t(static_cast<unsigned char>(now[n]));
    locale_name[n] = 0;
    return locale_name;
}

int _wtoi(const wchar_t* text) {
    if (text == nullptr) return 0;
    while (is_blank(*text)) ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-') negative = *text++ == L'-';
    long long value = 0; // clamped as it grows, so it never overflows
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        value = value * 10 + (*text - L'0');
        if (value > 2147483648LL) value = 2147483648LL;
    }
    if (negative) return int(-value);
    return value > INT_MAX ? INT_MAX : int(value);
}

} // namespace win
