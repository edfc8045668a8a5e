// Inside the layer: the one place where a C library errno becomes the Windows-style codes,
// and the per-thread last-error values that GetLastError and WSAGetLastError read.
#pragma once
#include "platform/win/types.h"

namespace win::internal {

// The Winsock code and the Win32 code that stand for one errno value.
struct mapped_error {
    int wsa;     // for socket calls (WSAGetLastError)
    DWORD win32; // for every other call (GetLastError)
};

mapped_error map_errno(int error_number);

// The Winsock code of a failed accept: every error that accept asks to be retried after
// (the pending connection's network errors) is that connection's reset, WSAECONNRESET.
int accept_error(int error_number);

// Leave the mapped code of `error_number` as the thread's last error.
void last_error_from_errno(int error_number);
void wsa_error_from_errno(int error_number);

} // namespace win::internal
