// Engine-wide settings with their defaults; the engine writes them once at start-up, before
// any slot thread exists, and tests may set them.
#include "platform/settings.h"

uint64_t packet_length = 4096;
uint64_t packet_length_x2 = 8192;
uint64_t stack_reservation = 65536;
