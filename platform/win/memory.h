// Memory and security services that the memory arena uses.
// Physical pages are real pages that the process owns and keeps resident; a range reserved
// with MEM_RESERVE | MEM_PHYSICAL is where they are mapped. The lock-memory privilege is held
// when the process may lock memory; AdjustTokenPrivileges then succeeds with last error 0,
// otherwise it succeeds with ERROR_NOT_ALL_ASSIGNED.
#pragma once
#include "platform/win/types.h"

namespace win {

struct SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
};
void GetSystemInfo(SYSTEM_INFO* info);

// Only "kernel32.dll" can be opened; GetProcAddress finds "GetLargePageMinimum" in it.
inline constexpr DWORD DONT_RESOLVE_DLL_REFERENCES = 0x1;
HMODULE LoadLibraryExW(LPCWSTR file_name, HANDLE file, DWORD flags);
FARPROC GetProcAddress(HMODULE module, const char* proc_name);
BOOL FreeLibrary(HMODULE module);
SIZE_T GetLargePageMinimum(); // this machine's default huge-page size, 0 without huge pages

HANDLE GetCurrentProcess();

inline constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
inline constexpr DWORD TOKEN_QUERY = 0x0008;
inline constexpr DWORD SE_PRIVILEGE_ENABLED = 0x2;
inline constexpr const wchar_t* SE_LOCK_MEMORY_NAME = L"SeLockMemoryPrivilege";

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};
struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};
struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};

BOOL OpenProcessToken(HANDLE process, DWORD desired_access, HANDLE* token);
BOOL LookupPrivilegeValueW(LPCWSTR system_name, LPCWSTR name, LUID* luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* new_state,
                           DWORD buffer_length, TOKEN_PRIVILEGES* previous_state,
                           DWORD* return_length);

HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);

inline constexpr DWORD MEM_RESERVE = 0x2000;
inline constexpr DWORD MEM_RELEASE = 0x8000;
inline constexpr DWORD MEM_PHYSICAL = 0x400000;
inline constexpr DWORD PAGE_READWRITE = 0x04;

BOOL AllocateUserPhysicalPages(HANDLE process, ULONG_PTR* number_of_pages, ULONG_PTR* page_array);
BOOL FreeUserPhysicalPages(HANDLE process, ULONG_PTR* number_of_pages, ULONG_PTR* page_array);
LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocation_type, DWORD protect);
BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD free_type);
// A null page_array unmaps the pages from the range.
BOOL MapUserPhysicalPages(LPVOID address, ULONG_PTR number_of_pages, ULONG_PTR* page_array);

BOOL SetProcessWorkingSetSize(HANDLE process, SIZE_T minimum, SIZE_T maximum);
BOOL VirtualLock(LPVOID address, SIZE_T size);
BOOL VirtualUnlock(LPVOID address, SIZE_T size);

void* _aligned_malloc(std::size_t size, std::size_t alignment);
void _aligned_free(void* memory);

} // namespace win
