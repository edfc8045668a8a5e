// A program on the layer's process entry: prints each wide argument it was given as UTF-8
// hex bytes, then ends through ExitProcess with the code given as its first argument.
#include "platform/platform.h"

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        con_printf("arg %i:", i);
        for (const wchar_t* p = argv[i]; *p != 0; ++p) con_printf(" %x", unsigned(*p));
        con_printf("\n");
    }
    con_wprintf(L"last line without end");
    ExitProcess(argc > 1 ? UINT(_wtoi(argv[1])) : 0);
}
