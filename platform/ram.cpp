// The memory arena: physical pages mapped into a reserved range where the lock-memory
// privilege and the pages can be had, else a block aligned to the large-page size that is
// locked in memory where the system allows. Reports go to standard error.
#include "platform/ram.h"
#include "platform/event.h"
#include <cstring>

namespace {

constexpr uint32_t default_large_page = 2097152; // 2 MiB when the platform offers none

using large_page_routine = SIZE_T (*)();

const wchar_t* ok_or_failed(bool ok) {
    return ok ? L"[OK]" : L"[FAILED]";
}

} // namespace

uint32_t large_page_minimum(G_RAM* ram) {
    ram->large = 0;
    HMODULE h_kernel = LoadLibraryExW(L"kernel32.dll", nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!h_kernel) return default_large_page;
    uint32_t size = default_large_page;
    // Looked up by name, so that a platform without large pages still runs.
    auto p_minimum =
        reinterpret_cast<large_page_routine>(GetProcAddress(h_kernel, "GetLargePageMinimum"));
    if (p_minimum) {
        SIZE_T minimum = p_minimum();
        // A size that a 32-bit value cannot hold would read as 0 or less than a page: the
        // engine divides by this size, so such a platform counts as one without large pages.
        if (minimum != 0 && minimum <= UINT32_MAX) {
            ram->large = 1;
            size = static_cast<uint32_t>(minimum);
        }
    }
    FreeLibrary(h_kernel);
    return size;
}

uint32_t enable_lock_memory_privilege(HANDLE h_token) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, SE_LOCK_MEMORY_NAME, &privileges.Privileges[0].Luid))
        return UINT32_MAX;
    if (AdjustTokenPrivileges(h_token, FALSE, &privileges, 0, nullptr, nullptr)) return 0;
    return GetLastError();
}

int G_RAM::alloc(uint64_t units) {
    this->units = units;
    large_page_size = large_page_minimum(this);
    size_arena = units * large_page_size;
    h_process = GetCurrentProcess();
    OpenProcessToken(h_process, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &h_token);
    if (large) {
        // A privilege the account does not hold still adjusts "successfully": the last error
        // tells full success (0) from ERROR_NOT_ALL_ASSIGNED.
        uint32_t result = enable_lock_memory_privilege(h_token);
        large = result == 0 && GetLastError() == 0;
    }
    if (large) {
        p_arena = awe_alloc(size_arena);
        if (!p_arena) {
            large = 0;
            con_ewprintf(L"\n");
            print_error_stderr(
                GetLastError(),
                L"!! Failed to allocate physical RAM, the feature will be disabled!");
        }
    }
    con_ewprintf(L":: page size %3u MB  ", static_cast<uint32_t>(large_page_size >> 20));
    if (!large) {
        SIZE_T working_set = size_arena + 8 * large_page_size;
        SetProcessWorkingSetSize(h_process, working_set, working_set);
        p_arena = _aligned_malloc(size_arena, large_page_size);
        locked = p_arena != nullptr && VirtualLock(p_arena, size_arena);
        con_ewprintf(L":: align %4u MB RAM at: 0x%016Ix %s\n",
                     static_cast<uint32_t>(size_arena >> 20), reinterpret_cast<ULONG_PTR>(p_arena),
                     locked ? L"[LOCKED]" : L"");
        if (locked) std::memset(p_arena, 0, size_arena);
    }
    if (p_arena) return 0;
    print_error_stderr(GetLastError(), L"!! _aligned_malloc() failed to allocate RAM!");
    return -1;
}

void* G_RAM::awe_alloc(uint64_t size) {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    const uint64_t page = info.dwPageSize;
    pages_requested = pages_received = size / page;
    size_pfns = 8 * pages_requested;
    aPFNs = static_cast<ULONG_PTR*>(HeapAlloc(GetProcessHeap(), 0, size_pfns));
    bool allocated = false;
    bool mapped = false;
    void* p_range = nullptr;
    if (aPFNs) {
        // Each step runs whatever the one before it gave; the report shows all three.
        allocated = AllocateUserPhysicalPages(h_process, &pages_received, aPFNs);
        p_range = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_PHYSICAL, PAGE_READWRITE);
        if (p_range) mapped = MapUserPhysicalPages(p_range, pages_received, aPFNs);
    }
    con_ewprintf(L":: AWE %9u MB physical RAM at: 0x%016Ix\n",
                 static_cast<uint32_t>((page * pages_received) >> 20),
                 reinterpret_cast<ULONG_PTR>(p_range));
    if (allocated && mapped && pages_received >= pages_requested) return p_range;

    con_ewprintf(L"\n");
    con_ewprintf(L"Memory to request for PFN array\t%8Iu KB\taPFNs [0x%08Ix]\n",
                 static_cast<SIZE_T>(size_pfns / 1024), reinterpret_cast<ULONG_PTR>(aPFNs));
    con_ewprintf(L"Requested number of pages\t%8Iu\tRequested %5u MB\n",
                 static_cast<SIZE_T>(pages_requested),
                 static_cast<uint32_t>((page * pages_requested) >> 20));
    con_ewprintf(L"Received  number of pages\t%8Iu\tReceived  %5u MB\n",
                 static_cast<SIZE_T>(pages_received),
                 static_cast<uint32_t>((page * pages_received) >> 20));
    con_ewprintf(L"AllocateUserPhysicalPages\t%8s\tpage size %5u bytes\n", ok_or_failed(allocated),
                 static_cast<uint32_t>(page));
    con_ewprintf(L"MapUserPhysicalPages\t\t%8s\n", ok_or_failed(mapped));

    // Give back everything obtained, in the reverse order of taking it.
    if (p_range) {
        MapUserPhysicalPages(p_range, pages_received, nullptr);
        VirtualFree(p_range, 0, MEM_RELEASE);
    }
    if (allocated) FreeUserPhysicalPages(h_process, &pages_received, aPFNs);
    if (aPFNs) HeapFree(GetProcessHeap(), 0, aPFNs);
    aPFNs = nullptr;
    return nullptr;
}

int G_RAM::free() {
    if (!p_arena) return -1;
    size_arena = units * large_page_size;
    // Relay data must not outlive the arena in pages that go back to the system.
    if (large || locked) std::memset(p_arena, 0, size_arena);
    if (large) {
        MapUserPhysicalPages(p_arena, pages_received, nullptr);
        VirtualFree(p_arena, 0, MEM_RELEASE);
        FreeUserPhysicalPages(h_process, &pages_received, aPFNs);
        HeapFree(GetProcessHeap(), 0, aPFNs);
        aPFNs = nullptr;
    } else {
        if (locked) VirtualUnlock(p_arena, size_arena);
        _aligned_free(p_arena);
    }
    p_arena = nullptr;
    return 0;
}

G_RAM::~G_RAM() {
    free();
    // Stores into an object whose life ends here are dead to the optimiser, which drops a
    // plain memset; volatile stores are kept, so the record really reads zero afterwards.
    volatile unsigned char* p = reinterpret_cast<volatile unsigned char*>(this);
    for (std::size_t i = 0; i < sizeof *this; ++i) p[i] = 0;
}
