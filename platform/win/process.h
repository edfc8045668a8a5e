// Process services and the C run-time functions of the Windows run-time that this
// platform's C library lacks.
#pragma once
#include "platform/win/types.h"
#include <cstdarg>

namespace win {

inline constexpr DWORD HIGH_PRIORITY_CLASS = 0x80;

BOOL SetPriorityClass(HANDLE process, DWORD priority_class); // nearest effect: nice value
BOOL SetProcessPriorityBoost(HANDLE process, BOOL disable);  // no such control: succeeds
BOOL IsDebuggerPresent();                                    // a tracer is attached
[[noreturn]] void ExitProcess(UINT exit_code);               // flushes the console first

// Category as in <clocale>; the nearest installed locale is taken, the console stays UTF-8.
wchar_t* _wsetlocale(int category, const wchar_t* locale);

// Decimal with optional leading blanks and sign; clamps to the 32-bit range.
int _wtoi(const wchar_t* text);

// Formats into buffer; returns the length, or -1 (buffer emptied) when it does not fit.
int sprintf_s(char* buffer, std::size_t size, const char* format, ...);

} // namespace win

// The program's entry point, defined by the program; the layer's main converts the
// arguments from UTF-8 and calls it.
int wmain(int argc, wchar_t** argv);
