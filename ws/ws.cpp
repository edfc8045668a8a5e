// Construction and destruction of a connection's WebSocket state: the hashing service starts
// released, the transport idle, the outgoing stream at the start of text.
#include "ws/ws.h"
#include <cstring>

G_WS::G_WS() {
    std::memset(static_cast<void*>(&crypt), 0, sizeof crypt); // the released state
    crypt.alg = CALG_SHA1;
    reset_text_state();
    is_ws = 0;
    incomplete = 0;
    has_more = 0;
    in_fragment = 0;
    empty_frame = 0;
    saved_byte = 0;
    version = 0;
}

G_WS::~G_WS() {
    is_ws = 0;
    // The transport member is destroyed after this body (closing an open connection); the
    // hashing service is released here, before it, which frees nothing the transport uses.
    crypt.release();
}
