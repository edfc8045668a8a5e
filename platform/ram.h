// The memory arena: one block taken at start-up that holds every relay buffer, physical pages
// where the platform allows it, else an aligned block locked in memory where it can be.
#pragma once
#include "platform/platform.h"
#include <cstdint>

struct G_RAM {
    uint8_t large;            // physical pages are the chosen way
    uint8_t locked;           // the aligned block is locked in memory
    uint64_t pages_requested; // system pages asked for on the physical path
    uint64_t pages_received;  // system pages handed out
    uint64_t size_pfns;       // bytes of the page-number array, 8 a page
    ULONG_PTR* aPFNs;         // the page-number array, from the process heap
    HANDLE h_process;
    HANDLE h_token;
    uint64_t granularity;     // allocation granularity; the slot threads' stack reserve
    uint64_t units;           // arena size in units of large_page_size
    uint64_t large_page_size; // the large-page size (a 32-bit value)
    uint64_t size_arena;      // units x large_page_size
    void* p_arena;            // the arena; null while there is none

    int alloc(uint64_t units); // 0 when p_arena is set, -1 otherwise
    void* awe_alloc(uint64_t size);
    int free(); // 0, or -1 when there is no arena
    ~G_RAM();
};

uint32_t large_page_minimum(G_RAM* ram);
uint32_t enable_lock_memory_privilege(HANDLE h_token);
