// The memory and security services under the arena: physical pages and the ranges they are
// mapped into, locking, the heap and aligned blocks, the lock-memory privilege, and the
// refusals and injected failures of each call.
#include "capture.h"
#include "platform/win/hooks.h"
#include "tests/support/memory_probe.h"
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

uint32_t page_size() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwPageSize;
}

// Enables the lock-memory privilege and hands out `count` pages; skips the test when this
// machine does not let the process hold locked pages.
class physical_pages : public ::testing::Test {
  protected:
    void SetUp() override {
        fault_value("AdjustTokenPrivileges", 1);
        HANDLE h_token = nullptr;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &h_token));
        TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        ASSERT_TRUE(
            LookupPrivilegeValueW(nullptr, SE_LOCK_MEMORY_NAME, &privileges.Privileges[0].Luid));
        ASSERT_TRUE(AdjustTokenPrivileges(h_token, FALSE, &privileges, 0, nullptr, nullptr));
        fault_clear();
        page = page_size();
        ULONG_PTR probe_count = 1;
        ULONG_PTR frame = 0;
        if (!AllocateUserPhysicalPages(GetCurrentProcess(), &probe_count, &frame))
            GTEST_SKIP() << "this process cannot lock physical pages";
        FreeUserPhysicalPages(GetCurrentProcess(), &probe_count, &frame);
    }
    void TearDown() override {
        fault_clear();
        EXPECT_EQ(probe::physical_pages_held(), 0u);
        EXPECT_EQ(probe::physical_views(), 0u);
    }
    std::vector<ULONG_PTR> allocate(ULONG_PTR count) {
        std::vector<ULONG_PTR> frames(count);
        EXPECT_TRUE(AllocateUserPhysicalPages(GetCurrentProcess(), &count, frames.data()));
        frames.resize(count);
        return frames;
    }
    void give_back(std::vector<ULONG_PTR>& frames) {
        ULONG_PTR count = frames.size();
        EXPECT_TRUE(FreeUserPhysicalPages(GetCurrentProcess(), &count, frames.data()));
        EXPECT_EQ(count, frames.size());
    }
    unsigned char* reserve(std::size_t pages) {
        return static_cast<unsigned char*>(
            VirtualAlloc(nullptr, pages * page, MEM_RESERVE | MEM_PHYSICAL, PAGE_READWRITE));
    }
    std::size_t page = 0;
};

TEST_F(physical_pages, hold_their_contents_wherever_they_are_mapped) {
    std::vector<ULONG_PTR> frames = allocate(8);
    ASSERT_EQ(frames.size(), 8u);
    EXPECT_EQ(probe::physical_pages_held(), 8u);
    unsigned char* first = reserve(8);
    unsigned char* second = reserve(8);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 65536, 0u);

    ASSERT_TRUE(MapUserPhysicalPages(first, 8, frames.data()));
    for (int i = 0; i < 8; ++i) std::memset(first + i * page, 'a' + i, page);
    // The same frames in reverse order: each page's bytes follow its frame, and a frame is
    // at one address at a time.
    std::vector<ULONG_PTR> reversed(frames.rbegin(), frames.rend());
    ASSERT_TRUE(MapUserPhysicalPages(second, 8, reversed.data()));
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(second[i * page], 'a' + 7 - i);
        EXPECT_EQ(second[i * page + page - 1], 'a' + 7 - i);
    }
    ASSERT_TRUE(MapUserPhysicalPages(first + 2 * page, 1, &frames[5]));
    EXPECT_EQ(first[2 * page], 'f');

    EXPECT_TRUE(MapUserPhysicalPages(second, 8, nullptr));
    EXPECT_TRUE(MapUserPhysicalPages(first, 8, nullptr));
    EXPECT_EQ(probe::physical_views(), 1u); // only the holder that keeps them resident
    EXPECT_TRUE(MapUserPhysicalPages(first, 8, frames.data()));
    EXPECT_EQ(first[7 * page], 'h'); // unmapping kept the contents
    EXPECT_TRUE(VirtualFree(first, 0, MEM_RELEASE));
    EXPECT_TRUE(VirtualFree(second, 0, MEM_RELEASE));
    EXPECT_FALSE(probe::address_mapped(first));
    give_back(frames);
}

TEST_F(physical_pages, fewer_pages_when_fewer_are_handed_out) {
    fault_value("AllocateUserPhysicalPages", 3);
    std::vector<ULONG_PTR> frames = allocate(10);
    EXPECT_EQ(frames.size(), 3u);
    EXPECT_EQ(probe::physical_pages_held(), 3u);
    give_back(frames);
}

TEST_F(physical_pages, need_the_lock_memory_privilege_enabled) {
    HANDLE h_token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &h_token));
    TOKEN_PRIVILEGES off{1, {{{0, 0}, 0}}};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_LOCK_MEMORY_NAME, &off.Privileges[0].Luid));
    TOKEN_PRIVILEGES before{};
    DWORD length = 0;
    ASSERT_TRUE(AdjustTokenPrivileges(h_token, FALSE, &off, sizeof before, &before, &length));
    EXPECT_EQ(before.Privileges[0].Attributes, SE_PRIVILEGE_ENABLED);
    EXPECT_EQ(length, sizeof before);
    ULONG_PTR count = 4;
    ULONG_PTR frames[4];
    EXPECT_FALSE(AllocateUserPhysicalPages(GetCurrentProcess(), &count, frames));
    EXPECT_EQ(GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(count, 0u);
}

TEST_F(physical_pages, mapping_refuses_what_is_not_its_own_and_changes_nothing) {
    std::vector<ULONG_PTR> frames = allocate(4);
    std::vector<ULONG_PTR> spare = allocate(1);
    ULONG_PTR given_back = spare[0];
    give_back(spare);
    unsigned char* range = reserve(4);
    auto* plain = VirtualAlloc(nullptr, 4 * page, MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(plain, nullptr);
    ASSERT_TRUE(MapUserPhysicalPages(range, 4, frames.data()));
    std::memset(range, 'x', 4 * page);

    ULONG_PTR unknown[4] = {frames[0], frames[1], frames[2], 12345};
    ULONG_PTR stale[4] = {frames[0], given_back, frames[2], frames[3]};
    ULONG_PTR zero = 0;
    struct refusal {
        const char* name;
        void* address;
        ULONG_PTR count;
        ULONG_PTR* array;
    };
    const refusal cases[] = {
        {"frame never handed out", range, 4, unknown},
        {"frame given back", range, 4, stale},
        {"frame zero", range, 1, &zero},
        {"beyond the range", range + page, 4, frames.data()},
        {"not page aligned", range + 1, 1, frames.data()},
        {"range not reserved", range + 64 * page * 1024, 1, frames.data()},
        {"range not physical", plain, 1, frames.data()},
        {"unmapping beyond the range", range + 3 * page, 2, nullptr},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        EXPECT_FALSE(MapUserPhysicalPages(c.address, c.count, c.array));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(range[i * page], 'x');
    }
    EXPECT_TRUE(MapUserPhysicalPages(range, 0, frames.data())); // nothing to map
    EXPECT_TRUE(VirtualFree(plain, 0, MEM_RELEASE));
    EXPECT_TRUE(VirtualFree(range, 0, MEM_RELEASE));
    give_back(frames);
}

TEST_F(physical_pages, giving_back_refuses_unknown_or_repeated_frames_and_unmaps_the_rest) {
    std::vector<ULONG_PTR> frames = allocate(4);
    unsigned char* range = reserve(4);
    ASSERT_TRUE(MapUserPhysicalPages(range, 4, frames.data()));

    ULONG_PTR repeated[2] = {frames[1], frames[1]};
    ULONG_PTR count = 2;
    EXPECT_FALSE(FreeUserPhysicalPages(GetCurrentProcess(), &count, repeated));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(count, 0u);
    ULONG_PTR mixed[2] = {frames[2], 99};
    count = 2;
    EXPECT_FALSE(FreeUserPhysicalPages(GetCurrentProcess(), &count, mixed));
    EXPECT_EQ(probe::physical_pages_held(), 4u); // nothing was given back

    // Two mapped pages go back: they are unmapped and their memory returns to the system.
    ULONG_PTR two[2] = {frames[0], frames[3]};
    count = 2;
    EXPECT_TRUE(FreeUserPhysicalPages(GetCurrentProcess(), &count, two));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(probe::physical_pages_held(), 2u);
    count = 1;
    EXPECT_FALSE(FreeUserPhysicalPages(GetCurrentProcess(), &count, two)); // twice
    EXPECT_FALSE(MapUserPhysicalPages(range, 1, two));                     // gone
    range[page] = 'y'; // the pages still held are still mapped
    std::vector<ULONG_PTR> rest = {frames[1], frames[2]};
    give_back(rest);
    EXPECT_TRUE(VirtualFree(range, 0, MEM_RELEASE));
}

TEST(reserved_ranges, refuse_what_cannot_be_reserved_or_released) {
    struct reservation {
        const char* name;
        void* address;
        SIZE_T size;
        DWORD type;
        DWORD protect;
    };
    const reservation refused[] = {
        {"address given", reinterpret_cast<void*>(0x10000000), 65536, MEM_RESERVE, PAGE_READWRITE},
        {"size zero", nullptr, 0, MEM_RESERVE | MEM_PHYSICAL, PAGE_READWRITE},
        {"release is no allocation", nullptr, 65536, MEM_RELEASE, PAGE_READWRITE},
        {"physical other than read-write", nullptr, 65536, MEM_RESERVE | MEM_PHYSICAL, 0x02},
    };
    for (const reservation& r : refused) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(VirtualAlloc(r.address, r.size, r.type, r.protect), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    void* p = VirtualAlloc(nullptr, 100, MEM_RESERVE | MEM_PHYSICAL, PAGE_READWRITE);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(probe::address_mapped(p));
    EXPECT_FALSE(VirtualFree(p, 4096, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(static_cast<char*>(p) + 4096, 0, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(p, 0, 0x4000));
    EXPECT_TRUE(probe::address_mapped(p));
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_FALSE(probe::address_mapped(p));
    EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(locking, keeps_a_block_resident_until_unlocked) {
    const std::size_t size = 1 << 20;
    void* p = _aligned_malloc(size, 65536);
    ASSERT_NE(p, nullptr);
    uint64_t before = probe::locked_bytes();
    if (!VirtualLock(p, size)) {
        _aligned_free(p);
        GTEST_SKIP() << "this process may not lock 1 MiB";
    }
    EXPECT_EQ(probe::locked_bytes(), before + size);
    EXPECT_TRUE(VirtualUnlock(p, size));
    EXPECT_EQ(probe::locked_bytes(), before);
    _aligned_free(p);
    EXPECT_FALSE(VirtualLock(nullptr, size));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(working_set, accepts_sane_sizes_and_refuses_others) {
    EXPECT_TRUE(SetProcessWorkingSetSize(GetCurrentProcess(), 1 << 12, 1 << 13));
    EXPECT_TRUE(SetProcessWorkingSetSize(GetCurrentProcess(), SIZE_MAX, SIZE_MAX));
    EXPECT_FALSE(SetProcessWorkingSetSize(GetCurrentProcess(), 1 << 21, 1 << 20));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetProcessWorkingSetSize(nullptr, 1 << 20, 1 << 20));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(aligned_blocks, start_on_every_power_of_two_and_refuse_other_alignments) {
    for (std::size_t alignment : {1ul, 2ul, 8ul, 16ul, 4096ul, 65536ul, 2097152ul}) {
        SCOPED_TRACE(alignment);
        void* p = _aligned_malloc(3 * alignment + 1, alignment);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u);
        std::memset(p, 1, 3 * alignment + 1);
        _aligned_free(p);
    }
    for (std::size_t alignment : {0ul, 3ul, 24ul, 65535ul}) {
        SCOPED_TRACE(alignment);
        EXPECT_EQ(_aligned_malloc(64, alignment), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    _aligned_free(nullptr);
}

TEST(process_heap, hands_out_blocks_zeroed_on_request) {
    auto* p = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0x8, 4096));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, p));
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, nullptr));
    EXPECT_EQ(HeapAlloc(reinterpret_cast<HANDLE>(0x1234), 0, 16), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(system_info, gives_the_page_size_the_granularity_and_the_processors) {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    EXPECT_GE(info.dwPageSize, 4096u);
    EXPECT_EQ(info.dwPageSize & (info.dwPageSize - 1), 0u);
    EXPECT_EQ(info.dwAllocationGranularity, 65536u);
    EXPECT_GE(info.dwNumberOfProcessors, 1u);
    EXPECT_EQ(info.dwNumberOfProcessors, std::thread::hardware_concurrency());
}

TEST(system_library, finds_only_the_large_page_minimum_in_kernel32) {
    for (const wchar_t* name : {L"kernel32.dll", L"KERNEL32.DLL", L"kernel32"}) {
        HMODULE h = LoadLibraryExW(name, nullptr, DONT_RESOLVE_DLL_REFERENCES);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(h, "GetLargePageMinimum")),
                  reinterpret_cast<void*>(&GetLargePageMinimum));
        EXPECT_EQ(GetProcAddress(h, "VirtualAlloc2"), nullptr);
        EXPECT_EQ(GetLastError(), 127u);
        EXPECT_TRUE(FreeLibrary(h));
    }
    EXPECT_EQ(LoadLibraryExW(L"user32.dll", nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), 126u);
    EXPECT_EQ(GetProcAddress(nullptr, "GetLargePageMinimum"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST(privilege, only_the_lock_memory_privilege_exists_and_needs_the_right_to_lock) {
    LUID luid{};
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, L"selockmemoryprivilege", &luid));
    EXPECT_FALSE(LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &luid));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
    EXPECT_FALSE(LookupPrivilegeValueW(L"\\\\elsewhere", SE_LOCK_MEMORY_NAME, &luid));

    HANDLE h_token = nullptr;
    EXPECT_FALSE(OpenProcessToken(nullptr, TOKEN_QUERY, &h_token));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &h_token));
    TOKEN_PRIVILEGES other{1, {{{20, 0}, SE_PRIVILEGE_ENABLED}}};
    EXPECT_TRUE(AdjustTokenPrivileges(h_token, FALSE, &other, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ALL_ASSIGNED);
    TOKEN_PRIVILEGES lock{1, {{luid, SE_PRIVILEGE_ENABLED}}};
    fault_inject("AdjustTokenPrivileges", ERROR_NOT_ALL_ASSIGNED);
    EXPECT_TRUE(AdjustTokenPrivileges(h_token, FALSE, &lock, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ALL_ASSIGNED);
    fault_clear();
    EXPECT_FALSE(AdjustTokenPrivileges(h_token, FALSE, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    TOKEN_PRIVILEGES before{};
    DWORD length = 0;
    EXPECT_FALSE(AdjustTokenPrivileges(h_token, FALSE, &lock, 4, &before, &length));
    EXPECT_EQ(length, sizeof before);
    // Without an injected answer the real right to lock memory decides.
    EXPECT_TRUE(AdjustTokenPrivileges(h_token, FALSE, &lock, 0, nullptr, nullptr));
    EXPECT_TRUE(GetLastError() == 0 || GetLastError() == ERROR_NOT_ALL_ASSIGNED);
}

// Every call fails when a test says so, with the code left in GetLastError.
TEST(injected_faults, fail_every_memory_call_with_the_given_code) {
    ULONG_PTR count = 1;
    ULONG_PTR frame = 0;
    HANDLE h_token = nullptr;
    LUID luid{};
    TOKEN_PRIVILEGES lock{1, {{{4, 0}, SE_PRIVILEGE_ENABLED}}};
    char block[64];
    HMODULE h_kernel = LoadLibraryExW(L"kernel32.dll", nullptr, 0);
    struct injected_call {
        const char* name;
        std::function<bool()> call; // true when the call reported failure
    };
    const injected_call calls[] = {
        {"LoadLibraryExW", [] { return !LoadLibraryExW(L"kernel32.dll", nullptr, 0); }},
        {"GetProcAddress", [&] { return !GetProcAddress(h_kernel, "GetLargePageMinimum"); }},
        {"FreeLibrary", [&] { return !FreeLibrary(h_kernel); }},
        {"OpenProcessToken",
         [&] { return !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &h_token); }},
        {"LookupPrivilegeValueW",
         [&] { return !LookupPrivilegeValueW(nullptr, SE_LOCK_MEMORY_NAME, &luid); }},
        {"AdjustTokenPrivileges",
         [&] { return !AdjustTokenPrivileges(h_token, FALSE, &lock, 0, nullptr, nullptr); }},
        {"HeapAlloc", [] { return !HeapAlloc(GetProcessHeap(), 0, 16); }},
        {"HeapFree", [] { return !HeapFree(GetProcessHeap(), 0, nullptr); }},
        {"AllocateUserPhysicalPages",
         [&] { return !AllocateUserPhysicalPages(GetCurrentProcess(), &count, &frame); }},
        {"FreeUserPhysicalPages",
         [&] { return !FreeUserPhysicalPages(GetCurrentProcess(), &count, &frame); }},
        {"VirtualAlloc",
         [] { return !VirtualAlloc(nullptr, 65536, MEM_RESERVE | MEM_PHYSICAL, PAGE_READWRITE); }},
        {"VirtualFree", [] { return !VirtualFree(nullptr, 0, MEM_RELEASE); }},
        {"MapUserPhysicalPages", [] { return !MapUserPhysicalPages(nullptr, 0, nullptr); }},
        {"SetProcessWorkingSetSize",
         [] { return !SetProcessWorkingSetSize(GetCurrentProcess(), 4096, 4096); }},
        {"VirtualLock", [&] { return !VirtualLock(block, sizeof block); }},
        {"VirtualUnlock", [&] { return !VirtualUnlock(block, sizeof block); }},
        {"_aligned_malloc", [] { return !_aligned_malloc(64, 64); }},
    };
    for (const injected_call& c : calls) {
        SCOPED_TRACE(c.name);
        fault_inject(c.name, 0xC0DE, 0, 1);
        SetLastError(0);
        EXPECT_TRUE(c.call());
        EXPECT_EQ(GetLastError(), 0xC0DEu);
        fault_clear();
    }
}

} // namespace

namespace {

// Every code these services leave behind has the system's text for its report.
TEST(error_texts, exist_for_every_code_the_memory_services_leave) {
    for (DWORD code : {ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_SUPPORTED,
                       ERROR_INVALID_PARAMETER, DWORD{122}, DWORD{126}, DWORD{127},
                       ERROR_NOT_ALL_ASSIGNED, ERROR_NO_SUCH_PRIVILEGE, ERROR_PRIVILEGE_NOT_HELD,
                       ERROR_NO_SYSTEM_RESOURCES, ERROR_WORKING_SET_QUOTA}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(error_line(code).find("(null)"), std::string::npos);
    }
}

} // namespace
