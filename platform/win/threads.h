// Auto-reset events and threads.
// CloseHandle on an event wakes every thread waiting on it (their waits fail with
// WAIT_FAILED and ERROR_INVALID_HANDLE); a wait or set on a closed handle fails at once.
// A thread handle may be waited on by several threads, several times, until CloseHandle.
#pragma once
#include "platform/win/types.h"

namespace win {

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 0x102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD STACK_SIZE_PARAM_IS_A_RESERVATION = 0x10000;

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start_address, LPVOID parameter, DWORD creation_flags,
                    LPDWORD thread_id);

} // namespace win
