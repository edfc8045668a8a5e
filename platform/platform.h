// What the rest of the system may use of the platform: the Windows-style interface of
// sockets, events and threads, error texts, memory, hashing, process services and the console,
// implemented on this platform in platform/*.cpp.
#pragma once
#include "platform/win/console.h"
#include "platform/win/crypt.h"
#include "platform/win/error.h"
#include "platform/win/memory.h"
#include "platform/win/process.h"
#include "platform/win/sockets.h"
#include "platform/win/threads.h"
#include "platform/win/types.h"

using namespace win;
