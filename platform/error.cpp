// Last-error codes on this platform: errno becomes a Winsock or Win32 code in map_errno, the
// per-thread values GetLastError and WSAGetLastError read, and the message texts that
// FormatMessageW hands out (each ending in CR LF, as the system's texts do).
#include "platform/win/error.h"
#include "platform/internal/errors.h"
#include "platform/internal/fault.h"
#include "platform/win/crypt.h"
#include "platform/win/sockets.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace win {
namespace {

thread_local DWORD last_error = 0; // GetLastError of this thread
thread_local int wsa_error = 0;    // WSAGetLastError of this thread

// One code and its text: the C library's text of `text_errno` when it is not 0, else `own`.
struct code_text {
    DWORD code;
    int text_errno;
    const char* own;
};

// Event and thread records report 111 and 138 of their own (see platform/event.h).
constexpr code_text code_texts[] = {
    {ERROR_SUCCESS, 0, "Success"},
    {ERROR_FILE_NOT_FOUND, ENOENT, nullptr},
    {ERROR_ACCESS_DENIED, EACCES, nullptr},
    {ERROR_INVALID_HANDLE, EBADF, nullptr},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM, nullptr},
    {ERROR_OUTOFMEMORY, 0, "Not enough memory to complete this operation"},
    {ERROR_NOT_SUPPORTED, EOPNOTSUPP, nullptr},
    {ERROR_INVALID_PARAMETER, EINVAL, nullptr},
    {111, 0, "The event or thread is no longer valid"},
    {138, 0, "The wait timed out"},
    {ERROR_NOT_ALL_ASSIGNED, 0, "Not all privileges referenced are assigned to the caller"},
    {ERROR_NO_SUCH_PRIVILEGE, 0, "The specified privilege does not exist"},
    {ERROR_PRIVILEGE_NOT_HELD, EPERM, nullptr},
    {ERROR_NO_SYSTEM_RESOURCES, EAGAIN, nullptr},
    {ERROR_WORKING_SET_QUOTA, 0, "Insufficient quota to lock the requested memory"},
    {122, 0, "The data area passed to a system call is too small"},
    {126, 0, "The specified module could not be found"},
    {127, 0, "The specified procedure could not be found"},
    {234, 0, "More data is available"},
    {WSAEINTR, EINTR, nullptr},
    {WSAEBADF, EBADF, nullptr},
    {WSAEACCES, EACCES, nullptr},
    {WSAEFAULT, EFAULT, nullptr},
    {WSAEINVAL, EINVAL, nullptr},
    {WSAEMFILE, EMFILE, nullptr},
    {WSAEWOULDBLOCK, EWOULDBLOCK, nullptr},
    {WSAENOTSOCK, ENOTSOCK, nullptr},
    {WSAEMSGSIZE, EMSGSIZE, nullptr},
    {WSAENOPROTOOPT, ENOPROTOOPT, nullptr},
    {WSAEPROTONOSUPPORT, EPROTONOSUPPORT, nullptr},
    {WSAEOPNOTSUPP, EOPNOTSUPP, nullptr},
    {WSAEAFNOSUPPORT, EAFNOSUPPORT, nullptr},
    {WSAEADDRINUSE, EADDRINUSE, nullptr},
    {WSAEADDRNOTAVAIL, EADDRNOTAVAIL, nullptr},
    {WSAENETDOWN, ENETDOWN, nullptr},
    {WSAENETUNREACH, ENETUNREACH, nullptr},
    {WSAECONNABORTED, ECONNABORTED, nullptr},
    {WSAECONNRESET, ECONNRESET, nullptr},
    {WSAENOBUFS, ENOBUFS, nullptr},
    {WSAENOTCONN, ENOTCONN, nullptr},
    {WSAESHUTDOWN, ESHUTDOWN, nullptr},
    {WSAETIMEDOUT, ETIMEDOUT, nullptr},
    {WSAECONNREFUSED, ECONNREFUSED, nullptr},
    {WSAEHOSTUNREACH, EHOSTUNREACH, nullptr},
    {WSASYSNOTREADY, 0, "The network subsystem is not ready"},
    {WSAVERNOTSUPPORTED, 0, "The requested Windows Sockets version is not supported"},
    {WSANOTINITIALISED, 0, "Windows Sockets has not been started"},
    {NTE_BAD_HASH, 0, "Invalid hash object"},
    {NTE_BAD_LEN, 0, "Invalid length"},
    {NTE_BAD_ALGID, 0, "Invalid algorithm specified"},
    {NTE_BAD_FLAGS, 0, "Invalid flags specified"},
    {NTE_BAD_TYPE, 0, "Invalid type specified"},
    {0x80090003, 0, "Bad key"},
    {0x8009000B, 0, "Hash not valid for use in specified state"},
    {0x80090019, 0, "The keyset is not defined"},
};

const char* text_of(DWORD code) {
    for (const code_text& entry : code_texts) {
        if (entry.code != code) continue;
        // strerrordesc_np is thread-safe and the same in every locale, unlike strerror.
        return entry.text_errno != 0 ? strerrordesc_np(entry.text_errno) : entry.own;
    }
    return nullptr;
}

// The texts are ASCII, so each byte is one wide character.
DWORD copy_text(const char* text, wchar_t* out) {
    DWORD n = 0;
    for (; text[n] != 0; ++n) out[n] = wchar_t(static_cast<unsigned char>(text[n]));
    out[n++] = L'\r';
    out[n++] = L'\n';
    out[n] = 0;
    return n;
}

} // namespace

namespace internal {

mapped_error map_errno(int e) {
    switch (e) {
    case 0:
        return {0, ERROR_SUCCESS};
    case EINTR:
        return {WSAEINTR, ERROR_INVALID_HANDLE};
    case EBADF:
        return {WSAENOTSOCK, ERROR_INVALID_HANDLE};
    case EACCES:
        return {WSAEACCES, ERROR_ACCESS_DENIED};
    case EPERM:
        return {WSAEACCES, ERROR_PRIVILEGE_NOT_HELD};
    case EFAULT:
        return {WSAEFAULT, ERROR_INVALID_PARAMETER};
    case EINVAL:
        return {WSAEINVAL, ERROR_INVALID_PARAMETER};
    case EMFILE:
    case ENFILE:
        return {WSAEMFILE, ERROR_NO_SYSTEM_RESOURCES};
    case EAGAIN:
        return {WSAEWOULDBLOCK, ERROR_NO_SYSTEM_RESOURCES};
    case ENOTSOCK:
        return {WSAENOTSOCK, ERROR_INVALID_HANDLE};
    case EMSGSIZE:
        return {WSAEMSGSIZE, ERROR_INVALID_PARAMETER};
    case ENOPROTOOPT:
        return {WSAENOPROTOOPT, ERROR_NOT_SUPPORTED};
    case EPROTONOSUPPORT:
        return {WSAEPROTONOSUPPORT, ERROR_NOT_SUPPORTED};
    case EOPNOTSUPP:
        return {WSAEOPNOTSUPP, ERROR_NOT_SUPPORTED};
    case EAFNOSUPPORT:
        return {WSAEAFNOSUPPORT, ERROR_NOT_SUPPORTED};
    case EADDRINUSE:
        return {WSAEADDRINUSE, ERROR_ACCESS_DENIED};
    case EADDRNOTAVAIL:
        return {WSAEADDRNOTAVAIL, ERROR_INVALID_PARAMETER};
    case ENETDOWN:
        return {WSAENETDOWN, ERROR_NOT_SUPPORTED};
    case ENETUNREACH:
        return {WSAENETUNREACH, ERROR_NOT_SUPPORTED};
    case ECONNABORTED:
        return {WSAECONNABORTED, ERROR_INVALID_HANDLE};
    case ECONNRESET:
    case EPIPE:
        return {WSAECONNRESET, ERROR_INVALID_HANDLE};
    case ENOBUFS:
        return {WSAENOBUFS, ERROR_NOT_ENOUGH_MEMORY};
    case ENOMEM:
        return {WSAENOBUFS, ERROR_NOT_ENOUGH_MEMORY};
    case ENOTCONN:
        return {WSAENOTCONN, ERROR_INVALID_HANDLE};
    case ESHUTDOWN:
        return {WSAESHUTDOWN, ERROR_INVALID_HANDLE};
    case ETIMEDOUT:
        return {WSAETIMEDOUT, ERROR_INVALID_HANDLE};
    case ECONNREFUSED:
        return {WSAECONNREFUSED, ERROR_INVALID_HANDLE};
    case EHOSTUNREACH:
        return {WSAEHOSTUNREACH, ERROR_INVALID_HANDLE};
    case ENOENT:
        return {WSAEINVAL, ERROR_FILE_NOT_FOUND};
    case ENOSYS:
        return {WSAEOPNOTSUPP, ERROR_NOT_SUPPORTED};
    default:
        return {WSAEINVAL, ERROR_INVALID_PARAMETER}; // nothing closer: a refused argument
    }
}

void last_error_from_errno(int e) {
    last_error = map_errno(e).win32;
}
void wsa_error_from_errno(int e) {
    wsa_error = map_errno(e).wsa;
}

} // namespace internal

DWORD GetLastError() {
    return last_error;
}
void SetLastError(DWORD code) {
    last_error = code;
}
int WSAGetLastError() {
    return wsa_error;
}
void WSASetLastError(int error) {
    wsa_error = error;
}

DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD message_id, DWORD, LPWSTR buffer, DWORD size,
                     va_list*) {
    std::uint32_t code = 0;
    if (internal::fault_take("FormatMessageW", &code)) {
        last_error = code;
        return 0;
    }
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        last_error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    const char* text = text_of(message_id);
    if (text == nullptr) {
        last_error = ERROR_FILE_NOT_FOUND; // no message for this code
        return 0;
    }
    std::size_t needed = std::strlen(text) + 3; // the text, CR LF, terminator
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        auto* out = static_cast<wchar_t*>(std::malloc(needed * sizeof(wchar_t)));
        if (out == nullptr) {
            last_error = ERROR_NOT_ENOUGH_MEMORY;
            return 0;
        }
        *reinterpret_cast<wchar_t**>(buffer) = out;
        return copy_text(text, out);
    }
    if (size < needed) {
        last_error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    return copy_text(text, buffer);
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

} // namespace win
