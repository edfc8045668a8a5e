// The memory arena: which path it takes (physical pages, aligned and locked, aligned), what it
// reports on standard error, and that everything it obtained goes back, on success and on
// every failure on the way.
#include "capture.h"
#include "platform/ram.h"
#include "platform/win/hooks.h"
#include "tests/support/memory_probe.h"
#include <cstring>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr uint64_t mib = 1048576;
constexpr uint64_t two_mib = 2 * mib;

// Physical pages offered: a 2 MiB large page and the lock-memory privilege granted.
void offer_physical_pages() {
    fault_value("GetLargePageMinimum", two_mib);
    fault_value("AdjustTokenPrivileges", 1);
}

// Whether this machine lets the process hold `pages` locked physical pages.
bool physical_pages_usable(ULONG_PTR pages) {
    offer_physical_pages();
    HANDLE h_token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &h_token);
    enable_lock_memory_privilege(h_token);
    ULONG_PTR count = pages;
    std::vector<ULONG_PTR> frames(pages);
    bool usable =
        AllocateUserPhysicalPages(GetCurrentProcess(), &count, frames.data()) && count == pages;
    if (usable) FreeUserPhysicalPages(GetCurrentProcess(), &count, frames.data());
    fault_clear();
    return usable;
}

uint32_t page_size() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwPageSize;
}

bool all_zero(const void* p, uint64_t size) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    for (uint64_t i = 0; i < size; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

std::string align_report(const G_RAM& ram) {
    return ":: align " + std::string(ram.size_arena >> 20 < 10 ? "   " : "  ") +
           std::to_string(ram.size_arena >> 20) + " MB RAM at: " + hex16(ram.p_arena) + " " +
           (ram.locked ? "[LOCKED]" : "") + "\n";
}

TEST(large_page_minimum, reports_the_platform_size_or_two_mib_without_one) {
    struct minimum_case {
        const char* name;
        uint64_t reported;        // what the platform reports as its large-page minimum
        const char* failing_call; // a call of the look-up that fails, or null
        uint32_t expected;
        uint8_t large;
    };
    const minimum_case cases[] = {
        {"two MiB reported", two_mib, nullptr, 2097152, 1},
        {"one GiB reported", 1ull << 30, nullptr, 1u << 30, 1},
        {"none reported", 0, nullptr, 2097152, 0},
        // A size beyond 32 bits would read as 0: it counts as no large pages.
        {"size beyond 32 bits", 1ull << 32, nullptr, 2097152, 0},
        {"library not opened", 1ull << 30, "LoadLibraryExW", 2097152, 0},
        {"function not found", 1ull << 30, "GetProcAddress", 2097152, 0},
    };
    for (const minimum_case& c : cases) {
        SCOPED_TRACE(c.name);
        fault_value("GetLargePageMinimum", c.reported);
        if (c.failing_call) fault_inject(c.failing_call, 126);
        G_RAM ram{};
        ram.large = 1; // cleared first thing
        EXPECT_EQ(large_page_minimum(&ram), c.expected);
        EXPECT_EQ(ram.large, c.large);
        fault_clear();
    }
}

TEST(large_page_minimum, is_the_machines_huge_page_size_when_it_has_one) {
    G_RAM ram{};
    uint32_t size = large_page_minimum(&ram);
    EXPECT_EQ(size, ram.large ? GetLargePageMinimum() : 2097152u);
    EXPECT_EQ(size % page_size(), 0u);
}

TEST(arena, without_large_pages_takes_an_aligned_block_on_the_page_size_line) {
    stderr_capture capture;
    fault_value("GetLargePageMinimum", 0);
    uint64_t locked_before = probe::locked_bytes();
    G_RAM ram{};
    ASSERT_EQ(ram.alloc(3), 0);
    EXPECT_EQ(ram.large, 0);
    EXPECT_EQ(ram.large_page_size, two_mib);
    EXPECT_EQ(ram.size_arena, 6291456u);
    ASSERT_NE(ram.p_arena, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ram.p_arena) % two_mib, 0u);
    EXPECT_EQ(capture.text(), ":: page size   2 MB  " + align_report(ram));
    if (ram.locked) {
        EXPECT_GE(probe::locked_bytes(), locked_before + ram.size_arena);
        EXPECT_TRUE(all_zero(ram.p_arena, ram.size_arena));
    }
    std::memset(ram.p_arena, 0x5A, ram.size_arena); // the whole arena is usable
    EXPECT_EQ(ram.free(), 0);
    EXPECT_EQ(ram.p_arena, nullptr);
    EXPECT_EQ(probe::locked_bytes(), locked_before);
    EXPECT_EQ(probe::physical_pages_held(), 0u);
}

TEST(arena, physical_pages_granted_are_mapped_and_all_given_back_at_release) {
    if (!physical_pages_usable(6291456 / page_size()))
        GTEST_SKIP() << "this process cannot lock physical pages";
    stderr_capture capture;
    offer_physical_pages();
    G_RAM ram{};
    ASSERT_EQ(ram.alloc(3), 0);
    EXPECT_EQ(ram.large, 1);
    EXPECT_EQ(ram.locked, 0);
    EXPECT_EQ(ram.pages_requested, 6291456u / page_size());
    EXPECT_EQ(ram.pages_received, ram.pages_requested);
    EXPECT_EQ(ram.size_pfns, 8 * ram.pages_requested);
    ASSERT_NE(ram.aPFNs, nullptr);
    EXPECT_EQ(capture.text(), ":: AWE         6 MB physical RAM at: " + hex16(ram.p_arena) +
                                  "\n:: page size   2 MB  ");
    EXPECT_EQ(probe::physical_pages_held(), ram.pages_requested);
    EXPECT_GE(probe::physical_views(), 2u); // the locked holder and the arena
    auto* p = static_cast<unsigned char*>(ram.p_arena);
    std::memset(p, 0xA5, ram.size_arena);
    EXPECT_EQ(p[ram.size_arena - 1], 0xA5);

    capture.clear();
    EXPECT_EQ(ram.free(), 0);
    EXPECT_EQ(ram.p_arena, nullptr);
    EXPECT_EQ(ram.aPFNs, nullptr);
    EXPECT_EQ(ram.large, 1); // the flags stay as they were
    EXPECT_EQ(probe::physical_pages_held(), 0u);
    EXPECT_EQ(probe::physical_views(), 0u);
    EXPECT_EQ(ram.free(), -1);
    EXPECT_EQ(capture.text(), "");
}

TEST(arena, release_wipes_physical_pages_before_they_go_back) {
    if (!physical_pages_usable(two_mib / page_size()))
        GTEST_SKIP() << "this process cannot lock physical pages";
    stderr_capture capture;
    offer_physical_pages();
    G_RAM ram{};
    ASSERT_EQ(ram.alloc(1), 0);
    ASSERT_EQ(ram.large, 1);
    std::vector<ULONG_PTR> frames(ram.aPFNs, ram.aPFNs + ram.pages_received);
    auto* p = static_cast<unsigned char*>(ram.p_arena);
    uint64_t size = ram.size_arena;
    std::memset(p, 0xC3, size);
    // Keep the pages mapped after the release, to look at what the release left in them.
    fault_inject("MapUserPhysicalPages", 1453);
    fault_inject("VirtualFree", 1453);
    fault_inject("FreeUserPhysicalPages", 1453);
    EXPECT_EQ(ram.free(), 0);
    EXPECT_TRUE(all_zero(p, size));
    fault_clear();
    ULONG_PTR count = frames.size();
    EXPECT_TRUE(MapUserPhysicalPages(p, count, nullptr));
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_TRUE(FreeUserPhysicalPages(GetCurrentProcess(), &count, frames.data()));
    EXPECT_EQ(probe::physical_pages_held(), 0u);
}

// Each failure on the physical path: the physical report, everything given back, the
// failure report, then the aligned block.
TEST(arena, physical_failures_give_everything_back_and_fall_back_to_an_aligned_block) {
    if (page_size() != 4096) GTEST_SKIP() << "the reports below are for 4096-byte pages";
    if (!physical_pages_usable(1536)) GTEST_SKIP() << "this process cannot lock 6 MiB";
    struct failure_case {
        const char* name;
        const char* call;     // the call that fails, or null
        uint32_t code;        // its error
        uint64_t handed_out;  // pages the allocation hands out; all when 0
        const char* awe_mb;   // MB of the physical report
        bool range;           // a range was reserved (nonzero address in the report)
        bool array;           // the page-number array was had
        const char* received; // pages received in the report
        const char* alloc;    // the allocation's word
        const char* map;      // the mapping's word
        uint32_t reported;    // code of the "feature will be disabled" report
    };
    const failure_case cases[] = {
        {"fewer pages than requested", nullptr, 0, 1000, "        3", true, true,
         "    1000\tReceived      3", "    [OK]", "    [OK]", 0},
        {"reservation refused", "VirtualAlloc", 8, 0, "        6", false, true,
         "    1536\tReceived      6", "    [OK]", "[FAILED]", 8},
        {"allocation refused", "AllocateUserPhysicalPages", 1450, 0, "        0", true, true,
         "       0\tReceived      0", "[FAILED]", "    [OK]", 1450},
        {"mapping refused", "MapUserPhysicalPages", 87, 0, "        6", true, true,
         "    1536\tReceived      6", "    [OK]", "[FAILED]", 87},
        {"no page-number array", "HeapAlloc", 8, 0, "        6", false, false,
         "    1536\tReceived      6", "[FAILED]", "[FAILED]", 8},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.name);
        stderr_capture capture;
        offer_physical_pages();
        SetLastError(0);
        if (c.call) fault_inject(c.call, c.code);
        if (c.handed_out) fault_value("AllocateUserPhysicalPages", c.handed_out);
        G_RAM ram{};
        ASSERT_EQ(ram.alloc(3), 0);
        EXPECT_EQ(ram.large, 0);
        EXPECT_EQ(ram.aPFNs, nullptr);
        EXPECT_EQ(probe::physical_pages_held(), 0u);
        EXPECT_EQ(probe::physical_views(), 0u);
        EXPECT_EQ(ram.pages_requested, 1536u);
        EXPECT_EQ(ram.size_pfns, 12288u);

        std::vector<uint64_t> hex;
        std::string expected =
            std::string(":: AWE ") + c.awe_mb + " MB physical RAM at: 0x#\n" + "\n" +
            "Memory to request for PFN array\t      12 KB\taPFNs [0x#]\n" +
            "Requested number of pages\t    1536\tRequested     6 MB\n" +
            "Received  number of pages\t" + c.received + " MB\n" + "AllocateUserPhysicalPages\t" +
            c.alloc + "\tpage size  4096 bytes\n" + "MapUserPhysicalPages\t\t" + c.map + "\n" +
            "\n" + "!! Failed to allocate physical RAM, the feature will be disabled!\n" +
            error_line(c.reported) + ":: page size   2 MB  :: align    6 MB RAM at: 0x# " +
            (ram.locked ? "[LOCKED]" : "") + "\n";
        EXPECT_EQ(mask_hex(capture.text(), &hex), expected);
        ASSERT_EQ(hex.size(), 3u);
        EXPECT_EQ(hex[0] != 0, c.range);
        EXPECT_EQ(hex[1] != 0, c.array);
        EXPECT_EQ(hex[2], reinterpret_cast<uintptr_t>(ram.p_arena));
        EXPECT_EQ(ram.free(), 0);
    }
}

TEST(arena, privilege_not_held_takes_the_aligned_path_without_a_message) {
    struct refusal_case {
        const char* name;
        const char* call; // injected failure, or null for "may not lock memory"
        uint32_t code;
    };
    const refusal_case cases[] = {
        {"privilege may not be granted", nullptr, 0},
        {"not all assigned", "AdjustTokenPrivileges", ERROR_NOT_ALL_ASSIGNED},
        {"adjustment fails", "AdjustTokenPrivileges", ERROR_ACCESS_DENIED},
        {"privilege not found", "LookupPrivilegeValueW", ERROR_NO_SUCH_PRIVILEGE},
        {"no token", "OpenProcessToken", ERROR_ACCESS_DENIED},
    };
    for (const refusal_case& c : cases) {
        SCOPED_TRACE(c.name);
        stderr_capture capture;
        fault_value("GetLargePageMinimum", two_mib);
        fault_value("AdjustTokenPrivileges", 0);
        if (c.call) fault_inject(c.call, c.code);
        G_RAM ram{};
        ASSERT_EQ(ram.alloc(1), 0);
        EXPECT_EQ(ram.large, 0);
        EXPECT_EQ(capture.text(), ":: page size   2 MB  " + align_report(ram));
        EXPECT_EQ(probe::physical_pages_held(), 0u);
        EXPECT_EQ(ram.free(), 0);
    }
}

TEST(arena, privilege_adjustment_reports_lookup_and_adjustment_failures) {
    HANDLE h_token = nullptr;
    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &h_token));
    fault_inject("LookupPrivilegeValueW", ERROR_NO_SUCH_PRIVILEGE);
    EXPECT_EQ(enable_lock_memory_privilege(h_token), UINT32_MAX);
    fault_inject("AdjustTokenPrivileges", ERROR_ACCESS_DENIED);
    EXPECT_EQ(enable_lock_memory_privilege(h_token), ERROR_ACCESS_DENIED);
    EXPECT_EQ(enable_lock_memory_privilege(nullptr), ERROR_INVALID_HANDLE);
    // Not held: the adjustment succeeds, and only the last error tells.
    fault_value("AdjustTokenPrivileges", 0);
    EXPECT_EQ(enable_lock_memory_privilege(h_token), 0u);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ALL_ASSIGNED);
    fault_value("AdjustTokenPrivileges", 1);
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(enable_lock_memory_privilege(h_token), 0u);
    EXPECT_EQ(GetLastError(), 0u); // full success clears an earlier error
    fault_clear();
}

TEST(arena, unlockable_block_is_used_unlocked) {
    stderr_capture capture;
    fault_value("GetLargePageMinimum", 0);
    fault_inject("VirtualLock", ERROR_WORKING_SET_QUOTA);
    uint64_t locked_before = probe::locked_bytes();
    G_RAM ram{};
    ASSERT_EQ(ram.alloc(3), 0);
    EXPECT_EQ(ram.locked, 0);
    EXPECT_EQ(capture.text(),
              ":: page size   2 MB  :: align    6 MB RAM at: " + hex16(ram.p_arena) + " \n");
    EXPECT_EQ(probe::locked_bytes(), locked_before);
    EXPECT_EQ(ram.free(), 0);
}

TEST(arena, no_aligned_block_reports_the_failure_and_fails) {
    stderr_capture capture;
    fault_value("GetLargePageMinimum", 0);
    fault_inject("_aligned_malloc", ERROR_NOT_ENOUGH_MEMORY);
    G_RAM ram{};
    EXPECT_EQ(ram.alloc(3), -1);
    EXPECT_EQ(ram.p_arena, nullptr);
    EXPECT_EQ(ram.locked, 0);
    EXPECT_EQ(capture.text(), ":: page size   2 MB  :: align    6 MB RAM at: 0x0000000000000000 \n"
                              "!! _aligned_malloc() failed to allocate RAM!\n" +
                                  error_line(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(ram.free(), -1);
}

TEST(arena, release_without_an_arena_does_nothing_and_destruction_zeroes_the_record) {
    stderr_capture capture;
    G_RAM zeroed{};
    EXPECT_EQ(zeroed.free(), -1);
    EXPECT_EQ(zeroed.free(), -1);

    fault_value("GetLargePageMinimum", 0);
    alignas(G_RAM) unsigned char storage[sizeof(G_RAM)];
    auto* p_ram = new (storage) G_RAM{};
    ASSERT_EQ(p_ram->alloc(1), 0);
    uint64_t locked_before_release = probe::locked_bytes();
    p_ram->~G_RAM();
    EXPECT_TRUE(all_zero(storage, sizeof storage));
    if (locked_before_release >= two_mib) {
        EXPECT_EQ(probe::locked_bytes(), locked_before_release - two_mib);
    }
}

} // namespace
