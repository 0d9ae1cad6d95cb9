// Visibility of the module's symbols: shaders and miSetModuleHandle are exported,
// everything else (the forwarders included) stays inside the module.
#pragma once

#include "host/shader.h"

#define ORN_EXPORT __attribute__((visibility("default")))
#define ORN_HIDDEN __attribute__((visibility("hidden")))

// Size of the buffer the message functions format into, terminating zero included.
#define ORN_MESSAGE_BUFFER 1024
