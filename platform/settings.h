// Engine-wide settings: written once by the engine before the first slot thread exists,
// only read afterwards.
#pragma once
#include <cstdint>

extern uint64_t packet_length;     // the settled packet length L
extern uint64_t packet_length_x2;  // 2 x L
extern uint64_t stack_reservation; // stack reserve of every slot thread
