// Reads /proc/self to tell tests which physical pages, views and locked bytes the process
// still holds, independently of the layer's own bookkeeping.
#include "tests/support/memory_probe.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* physical_file = "/memfd:relay-physical";

} // namespace

namespace probe {

std::uint64_t physical_pages_held() {
    std::uint64_t bytes = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 0;
    while (dirent* entry = readdir(dir)) {
        char path[300];
        char target[256];
        std::snprintf(path, sizeof path, "/proc/self/fd/%s", entry->d_name);
        ssize_t n = readlink(path, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = 0;
        struct stat info {};
        if (std::strncmp(target, physical_file, std::strlen(physical_file)) == 0 &&
            stat(path, &info) == 0)
            bytes += static_cast<std::uint64_t>(info.st_blocks) * 512;
    }
    closedir(dir);
    return bytes / static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

std::size_t physical_views() {
    std::size_t views = 0;
    if (FILE* f = std::fopen("/proc/self/maps", "re")) {
        char line[512];
        while (std::fgets(line, sizeof line, f))
            if (std::strstr(line, physical_file)) ++views;
        std::fclose(f);
    }
    return views;
}

std::uint64_t locked_bytes() {
    std::uint64_t kib = 0;
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "VmLck: %lu kB", &kib) == 1) break;
        std::fclose(f);
    }
    return kib * 1024;
}

bool address_mapped(const void* p) {
    auto at = reinterpret_cast<std::uintptr_t>(p);
    bool found = false;
    if (FILE* f = std::fopen("/proc/self/maps", "re")) {
        char line[512];
        while (!found && std::fgets(line, sizeof line, f)) {
            unsigned long first = 0, end = 0;
            if (std::sscanf(line, "%lx-%lx", &first, &end) == 2) found = at >= first && at < end;
        }
        std::fclose(f);
    }
    return found;
}

} // namespace probe
