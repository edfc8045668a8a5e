// The program's entry point: the relay serves raw TCP, TLS, WebSocket and WebSocket over TLS
// on one port until accepting fails for good.
#include "engine/engine.h"

int wmain(int argc, wchar_t** argv) {
    return relay_main(argc, argv);
}
