// Last-error codes and their texts. Every call of the layer that is not a socket call
// leaves its failure in a per-thread code read by GetLastError; socket calls leave theirs
// in the per-thread Winsock code (sockets.h). Successful calls leave both untouched.
#pragma once
#include "platform/win/types.h"
#include <cstdarg>

namespace win {

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
inline constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;
inline constexpr DWORD ERROR_PRIVILEGE_NOT_HELD = 1314;
inline constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
inline constexpr DWORD ERROR_WORKING_SET_QUOTA = 1453;

DWORD GetLastError();
void SetLastError(DWORD code);

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

// With FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` is really a LPWSTR* that receives an
// allocated text ending in CR LF (release it with LocalFree). Returns the text's length in
// characters, or 0 when the code has no text (the pointer is then left untouched).
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                     LPWSTR buffer, DWORD size, va_list* arguments);
HLOCAL LocalFree(HLOCAL memory);

} // namespace win
