// Memory and security services over Linux memory management: physical pages are locked pages
// of anonymous memory files mapped into reserved ranges, the lock-memory privilege is the
// right to lock memory, the working set is the locked-memory limit. Every call is injectable.
#include "platform/win/memory.h"
#include "platform/internal/fault.h"
#include "platform/win/error.h"

namespace {

// Windows values, named before the POSIX headers can shadow any of them.
constexpr win::BOOL win_true = win::TRUE;
constexpr win::BOOL win_false = win::FALSE;
constexpr win::DWORD error_invalid_handle = win::ERROR_INVALID_HANDLE;
constexpr win::DWORD error_invalid_parameter = win::ERROR_INVALID_PARAMETER;
constexpr win::DWORD error_not_enough_memory = win::ERROR_NOT_ENOUGH_MEMORY;
constexpr win::DWORD error_not_all_assigned = win::ERROR_NOT_ALL_ASSIGNED;
constexpr win::DWORD error_no_such_privilege = win::ERROR_NO_SUCH_PRIVILEGE;
constexpr win::DWORD error_privilege_not_held = win::ERROR_PRIVILEGE_NOT_HELD;
constexpr win::DWORD error_no_system_resources = win::ERROR_NO_SYSTEM_RESOURCES;
constexpr win::DWORD error_working_set_quota = win::ERROR_WORKING_SET_QUOTA;
constexpr win::DWORD error_not_supported = win::ERROR_NOT_SUPPORTED;
constexpr win::DWORD error_mod_not_found = 126;
constexpr win::DWORD error_proc_not_found = 127;
constexpr win::DWORD error_insufficient_buffer = 122;
constexpr win::DWORD mem_reserve = win::MEM_RESERVE;
constexpr win::DWORD mem_release = win::MEM_RELEASE;
constexpr win::DWORD mem_physical = win::MEM_PHYSICAL;
constexpr win::DWORD page_readwrite = win::PAGE_READWRITE;
constexpr win::DWORD se_privilege_enabled = win::SE_PRIVILEGE_ENABLED;
constexpr win::DWORD heap_zero_memory = 0x8;
constexpr win::DWORD lock_memory_luid = 4; // the identifier Windows gives this privilege
constexpr std::size_t granularity = 65536; // reservations start on 64 KiB, as on Windows

} // namespace

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

using win::BOOL;
using win::DWORD;
using win::HANDLE;
using win::SIZE_T;
using win::ULONG_PTR;

// The pseudo-handles of this process and of its access token, and the one heap and module.
// None of them owns a resource, so none needs closing.
HANDLE const current_process = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
int token_object;
int heap_object;
int kernel_module;
HANDLE const current_token = &token_object;
HANDLE const process_heap = &heap_object;

BOOL fail(DWORD code) {
    win::SetLastError(code);
    return win_false;
}

std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// The system calls themselves: sanitizer run-times replace mlock and munlock with calls that
// lock nothing.
int lock_pages(void* p, std::size_t bytes) {
    return static_cast<int>(syscall(SYS_mlock, p, bytes));
}
int unlock_pages(void* p, std::size_t bytes) {
    return static_cast<int>(syscall(SYS_munlock, p, bytes));
}

// The default huge-page size from /proc/meminfo ("Hugepagesize:  2048 kB"), 0 without one.
std::size_t huge_page_size() {
    static const std::size_t size = [] {
        std::size_t kib = 0;
        if (FILE* f = std::fopen("/proc/meminfo", "re")) {
            char line[256];
            while (std::fgets(line, sizeof line, f))
                if (std::sscanf(line, "Hugepagesize: %zu kB", &kib) == 1) break;
            std::fclose(f);
        }
        return kib * 1024;
    }();
    return size;
}

bool has_ipc_lock_capability() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_IPC_LOCK / 32].effective & (1u << (CAP_IPC_LOCK % 32))) != 0;
}

// The process may lock memory: it holds CAP_IPC_LOCK, or its locked-memory limit can reach
// at least one large page (the smallest arena there is).
bool may_lock_memory() {
    if (has_ipc_lock_capability()) return true;
    rlimit limit{};
    if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0) return false;
    std::size_t unit = std::max<std::size_t>(huge_page_size(), 2097152);
    return limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= unit;
}

// Whether enabling the lock-memory privilege works; a test may decide it (1 grant, 0 refuse).
bool may_grant_lock_privilege() {
    std::uint64_t grant = 0;
    if (win::internal::fault_value("AdjustTokenPrivileges", &grant)) return grant != 0;
    return may_lock_memory();
}

// Physical pages. A block is the pages of one AllocateUserPhysicalPages call: an anonymous
// memory file whose pages a locked view keeps resident. A frame number is the block's id in
// the upper half and the page's index in the file in the lower half; ids are never reused,
// so a stale frame number is always refused. Frame number 0 never exists.
struct physical_block {
    int fd;                          // the memory file that holds the pages
    std::uint8_t* p_hold;            // locked view of the whole file: keeps the pages resident
    std::uint64_t count;             // pages in the file
    std::uint64_t live;              // pages not yet given back
    std::vector<std::uint8_t> owned; // per page: 1 while handed out
    std::vector<void*> p_mapped;     // per page: where it is mapped in a range, null when nowhere
};

// A range reserved by VirtualAlloc; physical ones record the frame mapped at each page.
struct reserved_range {
    std::size_t size;              // bytes reserved
    bool physical;                 // MEM_PHYSICAL: physical pages may be mapped into it
    std::vector<ULONG_PTR> frames; // per page: the frame mapped there, 0 when none
};

std::mutex memory_lock; // guards every table below
std::map<std::uint64_t, physical_block> blocks;
std::map<std::uint8_t*, reserved_range> ranges;
std::uint64_t next_block_id = 1;
bool lock_privilege_enabled = false;

constexpr ULONG_PTR frame_of(std::uint64_t id, std::uint64_t index) {
    return (id << 32) | index;
}

// The block and page of a frame handed out and not yet given back, or null.
physical_block* owner_of(ULONG_PTR frame, std::uint64_t* index) {
    auto it = blocks.find(frame >> 32);
    *index = frame & 0xFFFFFFFFu;
    if (it == blocks.end() || *index >= it->second.count || !it->second.owned[*index])
        return nullptr;
    return &it->second;
}

// The range that holds [address, address + bytes), or null.
std::pair<std::uint8_t* const, reserved_range>* range_of(void* address, std::size_t bytes) {
    auto* p = static_cast<std::uint8_t*>(address);
    auto it = ranges.upper_bound(p);
    if (it == ranges.begin()) return nullptr;
    --it;
    std::size_t offset = static_cast<std::size_t>(p - it->first);
    if (offset > it->second.size || bytes > it->second.size - offset) return nullptr;
    return &*it;
}

// Puts the reserved, inaccessible state back on pages of a range.
bool unmap_pages(std::uint8_t* p, std::size_t bytes) {
    return mmap(p, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1,
                0) != MAP_FAILED;
}

// Forgets the frames recorded for pages [first, first + count) of a range.
void forget_frames(reserved_range& range, std::size_t first, std::size_t count) {
    for (std::size_t i = first; i < first + count; ++i) {
        std::uint64_t index = 0;
        if (range.frames[i] == 0) continue;
        if (physical_block* block = owner_of(range.frames[i], &index))
            block->p_mapped[index] = nullptr;
        range.frames[i] = 0;
    }
}

void release_block(std::map<std::uint64_t, physical_block>::iterator it) {
    munmap(it->second.p_hold, it->second.count * page_size());
    close(it->second.fd);
    blocks.erase(it);
}

// Locks pages that the lock-memory privilege allows: past the soft locked-memory limit, the
// limit is raised as far as the hard one permits and the lock is tried once more.
bool lock_within_limit(void* p, std::size_t bytes) {
    if (lock_pages(p, bytes) == 0) return true;
    rlimit limit{};
    if (errno != ENOMEM && errno != EAGAIN && errno != EPERM) return false;
    if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return false;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_MEMLOCK, &limit) == 0 && lock_pages(p, bytes) == 0;
}

// Creates a block of `count` resident pages; false with the error code when it cannot.
bool create_block(std::uint64_t count, std::uint64_t* id, DWORD* code) {
    std::size_t bytes = count * page_size();
    int fd = static_cast<int>(syscall(SYS_memfd_create, "relay-physical", MFD_CLOEXEC));
    if (fd < 0) return *code = error_no_system_resources, false;
    if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        close(fd);
        return *code = error_not_enough_memory, false;
    }
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        return *code = error_not_enough_memory, false;
    }
    madvise(p, bytes, MADV_HUGEPAGE);   // a hint: huge pages back the file where the system lets
    if (!lock_within_limit(p, bytes)) { // faults every page in and keeps it resident
        munmap(p, bytes);
        close(fd);
        return *code = error_no_system_resources, false;
    }
    *id = next_block_id++;
    physical_block& block = blocks[*id];
    block.fd = fd;
    block.p_hold = static_cast<std::uint8_t*>(p);
    block.count = block.live = count;
    block.owned.assign(count, 1);
    block.p_mapped.assign(count, nullptr);
    return true;
}

// Takes a frame away from wherever it is mapped now: a page lives at one address at a time.
void unmap_frame(physical_block& block, std::uint64_t index) {
    auto* p = static_cast<std::uint8_t*>(block.p_mapped[index]);
    if (!p) return;
    const std::size_t page = page_size();
    unmap_pages(p, page);
    if (auto* range = range_of(p, page))
        range->second.frames[static_cast<std::size_t>(p - range->first) / page] = 0;
    block.p_mapped[index] = nullptr;
}

// Maps frames[0 .. count) at p, joining runs of consecutive pages of one block into one view.
bool map_frames(std::uint8_t* p, reserved_range& range, std::size_t first, std::uint64_t count,
                const ULONG_PTR* frames) {
    const std::size_t page = page_size();
    for (std::uint64_t i = 0; i < count;) {
        std::uint64_t index = 0;
        physical_block* block = owner_of(frames[i], &index);
        std::uint64_t run = 1;
        while (i + run < count && frames[i + run] == frames[i] + run) ++run;
        for (std::uint64_t k = 0; k < run; ++k) {
            forget_frames(range, first + i + k, 1);
            unmap_frame(*block, index + k);
        }
        void* view = mmap(p + i * page, run * page, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED,
                          block->fd, static_cast<off_t>(index * page));
        if (view == MAP_FAILED) return false;
        madvise(view, run * page, MADV_HUGEPAGE);
        for (std::uint64_t k = 0; k < run; ++k) {
            range.frames[first + i + k] = frames[i + k];
            block->p_mapped[index + k] = p + (i + k) * page;
        }
        i += run;
    }
    return true;
}

bool is_power_of_two(std::size_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

bool equal_ignoring_case(const wchar_t* a, const wchar_t* b) {
    for (; *a && *b; ++a, ++b) {
        wchar_t x = (*a >= L'A' && *a <= L'Z') ? *a + 32 : *a;
        wchar_t y = (*b >= L'A' && *b <= L'Z') ? *b + 32 : *b;
        if (x != y) return false;
    }
    return *a == *b;
}

} // namespace

namespace win {

void GetSystemInfo(SYSTEM_INFO* info) {
    if (!info) return;
    *info = SYSTEM_INFO{};
#if defined(__x86_64__)
    info->wProcessorArchitecture = 9; // PROCESSOR_ARCHITECTURE_AMD64
    info->dwProcessorType = 8664;     // PROCESSOR_AMD_X8664
#elif defined(__aarch64__)
    info->wProcessorArchitecture = 12; // PROCESSOR_ARCHITECTURE_ARM64
#else
    info->wProcessorArchitecture = 0xFFFF;
#endif
    long processors = sysconf(_SC_NPROCESSORS_ONLN);
    info->dwNumberOfProcessors = processors > 0 ? static_cast<DWORD>(processors) : 1;
    info->dwActiveProcessorMask = info->dwNumberOfProcessors >= 64
                                      ? ~DWORD_PTR{0}
                                      : (DWORD_PTR{1} << info->dwNumberOfProcessors) - 1;
    info->dwPageSize = static_cast<DWORD>(page_size());
    info->dwAllocationGranularity = static_cast<DWORD>(granularity);
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(granularity);
    info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(0x00007FFFFFFEFFFFull);
}

HMODULE LoadLibraryExW(LPCWSTR file_name, HANDLE file, DWORD) {
    if (win::internal::fault_fails("LoadLibraryExW")) return nullptr;
    if (!file_name || file) return fail(error_invalid_parameter), nullptr;
    if (!equal_ignoring_case(file_name, L"kernel32.dll") &&
        !equal_ignoring_case(file_name, L"kernel32"))
        return fail(error_mod_not_found), nullptr;
    return &kernel_module;
}

FARPROC GetProcAddress(HMODULE module, const char* proc_name) {
    if (win::internal::fault_fails("GetProcAddress")) return nullptr;
    if (module != &kernel_module) return fail(error_invalid_handle), nullptr;
    if (!proc_name) return fail(error_invalid_parameter), nullptr;
    if (std::strcmp(proc_name, "GetLargePageMinimum") != 0)
        return fail(error_proc_not_found), nullptr;
    return reinterpret_cast<FARPROC>(&GetLargePageMinimum);
}

BOOL FreeLibrary(HMODULE module) {
    if (win::internal::fault_fails("FreeLibrary")) return win_false;
    if (module != &kernel_module) return fail(error_invalid_handle);
    return win_true;
}

SIZE_T GetLargePageMinimum() {
    std::uint64_t value = 0;
    if (internal::fault_value("GetLargePageMinimum", &value)) return static_cast<SIZE_T>(value);
    return huge_page_size();
}

HANDLE GetCurrentProcess() {
    return current_process;
}

BOOL OpenProcessToken(HANDLE process, DWORD, HANDLE* token) {
    if (win::internal::fault_fails("OpenProcessToken")) return win_false;
    if (process != current_process) return fail(error_invalid_handle);
    if (!token) return fail(error_invalid_parameter);
    *token = current_token;
    return win_true;
}

BOOL LookupPrivilegeValueW(LPCWSTR system_name, LPCWSTR name, LUID* luid) {
    if (win::internal::fault_fails("LookupPrivilegeValueW")) return win_false;
    if (system_name && *system_name) return fail(error_not_supported); // no remote systems
    if (!name || !luid) return fail(error_invalid_parameter);
    if (!equal_ignoring_case(name, SE_LOCK_MEMORY_NAME)) return fail(error_no_such_privilege);
    *luid = LUID{lock_memory_luid, 0};
    return win_true;
}

// Only the lock-memory privilege exists. Enabling it succeeds with last error 0 when the
// process may lock memory, and with ERROR_NOT_ALL_ASSIGNED (privilege left off) when not.
// An injected ERROR_NOT_ALL_ASSIGNED takes the second way; any other injected code fails;
// an injected value 1 or 0 stands for "may lock memory" or not.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* new_state,
                           DWORD buffer_length, TOKEN_PRIVILEGES* previous_state,
                           DWORD* return_length) {
    std::uint32_t code = 0;
    bool refuse = internal::fault_take("AdjustTokenPrivileges", &code);
    if (refuse && code != error_not_all_assigned) return fail(code);
    if (token != current_token) return fail(error_invalid_handle);
    if (!disable_all && !new_state) return fail(error_invalid_parameter);
    if (previous_state) {
        if (buffer_length < sizeof(TOKEN_PRIVILEGES)) {
            if (return_length) *return_length = sizeof(TOKEN_PRIVILEGES);
            return fail(error_insufficient_buffer);
        }
    }
    std::lock_guard guard(memory_lock);
    bool was_enabled = lock_privilege_enabled;
    bool not_all = false;
    if (disable_all) {
        lock_privilege_enabled = false;
    } else {
        const LUID_AND_ATTRIBUTES* entry = new_state->Privileges;
        for (DWORD i = 0; i < new_state->PrivilegeCount; ++i, ++entry) {
            if (entry->Luid.LowPart != lock_memory_luid || entry->Luid.HighPart != 0) {
                not_all = true; // the token holds no other privilege
            } else if (!(entry->Attributes & se_privilege_enabled)) {
                lock_privilege_enabled = false;
            } else if (!refuse && may_grant_lock_privilege()) {
                lock_privilege_enabled = true;
            } else {
                not_all = true;
            }
        }
    }
    if (previous_state) {
        previous_state->PrivilegeCount = 1;
        previous_state->Privileges[0].Luid = LUID{lock_memory_luid, 0};
        previous_state->Privileges[0].Attributes = was_enabled ? se_privilege_enabled : 0;
        if (return_length) *return_length = sizeof(TOKEN_PRIVILEGES);
    }
    SetLastError(not_all ? error_not_all_assigned : 0);
    return win_true;
}

HANDLE GetProcessHeap() {
    return process_heap;
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (win::internal::fault_fails("HeapAlloc")) return nullptr;
    if (heap != process_heap) return fail(error_invalid_handle), nullptr;
    void* p = (flags & heap_zero_memory) ? std::calloc(1, bytes ? bytes : 1)
                                         : std::malloc(bytes ? bytes : 1);
    if (!p) return fail(error_not_enough_memory), nullptr;
    return p;
}

BOOL HeapFree(HANDLE heap, DWORD, LPVOID memory) {
    if (win::internal::fault_fails("HeapFree")) return win_false;
    if (heap != process_heap) return fail(error_invalid_handle);
    std::free(memory);
    return win_true;
}

// Hands out *number_of_pages resident pages (fewer when a test says so) and writes their
// frame numbers; *number_of_pages becomes the count handed out, 0 when the call fails.
// The lock-memory privilege must be enabled, as on Windows.
BOOL AllocateUserPhysicalPages(HANDLE process, ULONG_PTR* number_of_pages, ULONG_PTR* page_array) {
    if (!number_of_pages || !page_array) return fail(error_invalid_parameter);
    if (win::internal::fault_fails("AllocateUserPhysicalPages"))
        return *number_of_pages = 0, win_false;
    if (process != current_process) return *number_of_pages = 0, fail(error_invalid_handle);
    std::lock_guard guard(memory_lock);
    if (!lock_privilege_enabled) return *number_of_pages = 0, fail(error_privilege_not_held);
    std::uint64_t count = *number_of_pages;
    std::uint64_t handed_out = 0;
    if (internal::fault_value("AllocateUserPhysicalPages", &handed_out))
        count = std::min<std::uint64_t>(count, handed_out);
    if (count >= (std::uint64_t{1} << 32))
        return *number_of_pages = 0, fail(error_not_enough_memory);
    *number_of_pages = 0;
    if (count == 0) return win_true;
    std::uint64_t id = 0;
    DWORD code = 0;
    if (!create_block(count, &id, &code)) return fail(code);
    for (std::uint64_t i = 0; i < count; ++i) page_array[i] = frame_of(id, i);
    *number_of_pages = count;
    return win_true;
}

// Gives back the listed pages, unmapping any that are still mapped; the memory goes back to
// the system at once. Nothing is freed when any frame is unknown, given back or repeated.
BOOL FreeUserPhysicalPages(HANDLE process, ULONG_PTR* number_of_pages, ULONG_PTR* page_array) {
    if (win::internal::fault_fails("FreeUserPhysicalPages")) return win_false;
    if (process != current_process) return fail(error_invalid_handle);
    if (!number_of_pages || (!page_array && *number_of_pages)) return fail(error_invalid_parameter);
    std::lock_guard guard(memory_lock);
    const std::uint64_t count = *number_of_pages;
    std::uint64_t index = 0;
    std::uint64_t checked = 0;
    for (; checked < count; ++checked) {
        physical_block* block = owner_of(page_array[checked], &index);
        if (!block || block->owned[index] != 1) break;
        block->owned[index] = 2; // seen in this call: a repeat is refused
    }
    const bool all_valid = checked == count;
    for (std::uint64_t i = 0; i < checked; ++i)
        blocks.find(page_array[i] >> 32)->second.owned[page_array[i] & 0xFFFFFFFFu] =
            all_valid ? 0 : 1;
    if (!all_valid) {
        *number_of_pages = 0;
        return fail(error_invalid_parameter);
    }
    const std::size_t page = page_size();
    for (std::uint64_t i = 0; i < count; ++i) {
        auto it = blocks.find(page_array[i] >> 32);
        physical_block& block = it->second;
        std::uint64_t k = page_array[i] & 0xFFFFFFFFu;
        unmap_frame(block, k);
        if (--block.live == 0) {
            release_block(it);
        } else {
            fallocate(block.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                      static_cast<off_t>(k * page), static_cast<off_t>(page));
        }
    }
    return win_true;
}

// Reserves address space, inaccessible until physical pages are mapped into it.
LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocation_type, DWORD protect) {
    if (win::internal::fault_fails("VirtualAlloc")) return nullptr;
    bool physical = allocation_type == (mem_reserve | mem_physical);
    if (address || size == 0 || (allocation_type != mem_reserve && !physical) ||
        (physical && protect != page_readwrite))
        return fail(error_invalid_parameter), nullptr;
    const std::size_t page = page_size();
    const std::size_t huge = huge_page_size();
    std::size_t bytes = (size + page - 1) / page * page;
    // Ranges of whole huge pages start on one, so that huge pages can back them.
    std::size_t align = (huge && bytes % huge == 0) ? std::max(huge, granularity) : granularity;
    std::size_t span = bytes + align;
    void* p = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return fail(error_not_enough_memory), nullptr;
    auto* raw = static_cast<std::uint8_t*>(p);
    auto* base = reinterpret_cast<std::uint8_t*>(
        (reinterpret_cast<std::uintptr_t>(raw) + align - 1) / align * align);
    if (base > raw) munmap(raw, static_cast<std::size_t>(base - raw));
    std::size_t tail = static_cast<std::size_t>(raw + span - (base + bytes));
    if (tail) munmap(base + bytes, tail);
    std::lock_guard guard(memory_lock);
    reserved_range& range = ranges[base];
    range.size = bytes;
    range.physical = physical;
    if (physical) range.frames.assign(bytes / page, 0);
    return base;
}

BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD free_type) {
    if (win::internal::fault_fails("VirtualFree")) return win_false;
    if (free_type != mem_release || size != 0) return fail(error_invalid_parameter);
    std::lock_guard guard(memory_lock);
    auto it = ranges.find(static_cast<std::uint8_t*>(address));
    if (it == ranges.end()) return fail(error_invalid_parameter);
    forget_frames(it->second, 0, it->second.frames.size());
    munmap(it->first, it->second.size);
    ranges.erase(it);
    return win_true;
}

// Maps the listed frames page by page from `address` on, or with a null array puts the pages
// back to reserved. Nothing changes when the span leaves the physical range or a frame is
// not handed out.
BOOL MapUserPhysicalPages(LPVOID address, ULONG_PTR number_of_pages, ULONG_PTR* page_array) {
    if (win::internal::fault_fails("MapUserPhysicalPages")) return win_false;
    const std::size_t page = page_size();
    if (number_of_pages > (SIZE_MAX / page)) return fail(error_invalid_parameter);
    std::lock_guard guard(memory_lock);
    auto* p = static_cast<std::uint8_t*>(address);
    auto* range = range_of(address, number_of_pages * page);
    if (!range || !range->second.physical || (reinterpret_cast<std::uintptr_t>(p) % page) != 0)
        return fail(error_invalid_parameter);
    if (number_of_pages == 0) return win_true;
    std::size_t first = static_cast<std::size_t>(p - range->first) / page;
    if (!page_array) {
        forget_frames(range->second, first, number_of_pages);
        return unmap_pages(p, number_of_pages * page) ? win_true : fail(error_not_enough_memory);
    }
    std::uint64_t index = 0;
    for (ULONG_PTR i = 0; i < number_of_pages; ++i)
        if (!owner_of(page_array[i], &index)) return fail(error_invalid_parameter);
    if (!map_frames(p, range->second, first, number_of_pages, page_array)) {
        forget_frames(range->second, first, number_of_pages);
        unmap_pages(p, number_of_pages * page);
        return fail(error_not_enough_memory);
    }
    return win_true;
}

// Raises the locked-memory limit to the maximum working set where the process may; a
// process that holds CAP_IPC_LOCK locks without limit and needs no change.
BOOL SetProcessWorkingSetSize(HANDLE process, SIZE_T minimum, SIZE_T maximum) {
    if (win::internal::fault_fails("SetProcessWorkingSetSize")) return win_false;
    if (process != current_process) return fail(error_invalid_handle);
    if (minimum == SIZE_MAX && maximum == SIZE_MAX) return win_true; // trim: nothing to do
    if (minimum > maximum) return fail(error_invalid_parameter);
    if (has_ipc_lock_capability()) return win_true;
    rlimit limit{};
    if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0) return fail(error_working_set_quota);
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= maximum) return win_true;
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= maximum) {
        limit.rlim_cur = maximum;
        return setrlimit(RLIMIT_MEMLOCK, &limit) == 0 ? win_true : fail(error_working_set_quota);
    }
    rlimit wanted{maximum, maximum};
    if (setrlimit(RLIMIT_MEMLOCK, &wanted) == 0) return win_true;
    limit.rlim_cur = limit.rlim_max; // as far as permitted
    setrlimit(RLIMIT_MEMLOCK, &limit);
    return fail(error_privilege_not_held);
}

BOOL VirtualLock(LPVOID address, SIZE_T size) {
    if (win::internal::fault_fails("VirtualLock")) return win_false;
    if (!address) return fail(error_invalid_parameter);
    const std::uintptr_t page = page_size();
    std::uintptr_t first = reinterpret_cast<std::uintptr_t>(address) / page * page;
    std::uintptr_t end =
        (reinterpret_cast<std::uintptr_t>(address) + size + page - 1) / page * page;
    if (lock_pages(reinterpret_cast<void*>(first), end - first) == 0) return win_true;
    return fail(errno == EINVAL ? error_invalid_parameter : error_working_set_quota);
}

BOOL VirtualUnlock(LPVOID address, SIZE_T size) {
    if (win::internal::fault_fails("VirtualUnlock")) return win_false;
    if (!address) return fail(error_invalid_parameter);
    const std::uintptr_t page = page_size();
    std::uintptr_t first = reinterpret_cast<std::uintptr_t>(address) / page * page;
    std::uintptr_t end =
        (reinterpret_cast<std::uintptr_t>(address) + size + page - 1) / page * page;
    if (unlock_pages(reinterpret_cast<void*>(first), end - first) == 0) return win_true;
    return fail(error_invalid_parameter);
}

void* _aligned_malloc(std::size_t size, std::size_t alignment) {
    if (win::internal::fault_fails("_aligned_malloc")) return errno = ENOMEM, nullptr;
    if (!is_power_of_two(alignment)) return errno = EINVAL, fail(error_invalid_parameter), nullptr;
    alignment = std::max(alignment, sizeof(void*));
    void* p = nullptr;
    int rc = posix_memalign(&p, alignment, size ? size : 1);
    if (rc != 0) return errno = rc, fail(error_not_enough_memory), nullptr;
    if (huge_page_size() && alignment >= huge_page_size()) madvise(p, size, MADV_HUGEPAGE);
    return p;
}

void _aligned_free(void* memory) {
    std::free(memory);
}

} // namespace win
