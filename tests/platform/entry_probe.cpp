// A program on the layer's process entry, started by the tests. With "race" its threads
// write console lines at once (wide, narrow, long, both streams); with "flood" it writes into
// a pipe nobody reads; otherwise it prints each wide argument as hex code points and ends
// through ExitProcess with the first as its code.
#include "platform/platform.h"

#include <string>

namespace {

constexpr unsigned race_threads = 8;
constexpr unsigned race_lines = 300;
std::wstring long_text(3000, L'\u00E9'); // 6000 bytes of UTF-8: past any stack buffer

DWORD race(LPVOID argument) {
    auto id = unsigned(reinterpret_cast<std::uintptr_t>(argument));
    for (unsigned i = 0; i < race_lines; ++i) {
        switch (i % 4) {
        case 0:
            con_wprintf(L"T%02u %04u wide %ls\n", id, i, L"\u0431\u0433");
            break;
        case 1:
            con_printf("T%02u %04u narrow %s\n", id, i, "text");
            break;
        case 2:
            con_wprintf(L"T%02u %04u long %ls\n", id, i, long_text.c_str());
            break;
        default:
            con_ewprintf(L"T%02u %04u error\n", id, i);
            break;
        }
    }
    return 0;
}

int run_race() {
    HANDLE threads[race_threads];
    for (unsigned t = 0; t < race_threads; ++t)
        threads[t] = CreateThread(nullptr, 65536, race, reinterpret_cast<LPVOID>(std::uintptr_t(t)),
                                  STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    for (HANDLE h : threads) {
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
    }
    return 0;
}

} // namespace

// Writes far more than a pipe holds, then ends with 5: a reader that went away must not
// end the process with a signal.
int run_flood() {
    for (int i = 0; i < 4000; ++i) con_wprintf(L"%04i %ls\n", i, long_text.c_str() + 2900);
    ExitProcess(5);
}

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && std::wstring(argv[1]) == L"race") return run_race();
    if (argc > 1 && std::wstring(argv[1]) == L"flood") return run_flood();
    for (int i = 1; i < argc; ++i) {
        con_printf("arg %i:", i);
        for (const wchar_t* p = argv[i]; *p != 0; ++p) con_printf(" %x", unsigned(*p));
        con_printf("\n");
    }
    con_wprintf(L"last line without end");
    ExitProcess(argc > 1 ? UINT(_wtoi(argv[1])) : 0);
}
