// The tk pass buffers: the one table of the 25 named frame buffers that the toolkit
// materials write and the pass set-up, ratio and EXR output shaders read, and the name
// lookup they all use.
#pragma once

#include "host/shader.h"

#include <atomic>
#include <cstdint>

namespace orn {

constexpr int kTkBufferCount = 25;

struct TkBuffer {
    const char* name;        // frame-buffer name, "tk_shading"
    const char* file_tag;    // part of pass file names, ".shading."
    const char* saver_group; // parameter group of the EXR saver, "shading"
    const char* layer;       // EXR layer, "orn_MegaTK_shading"
};

// In the fixed order k = 0 to 24.
extern const TkBuffer kTkBuffers[kTkBufferCount];

enum TkIndex {
    kTkShading = 0,
    kTkColor,
    kTkDiffuse,
    kTkShadow,
    kTkSpecular,
    kTkSpecShd,
    kTkDiffOccl,
    kTkIndirect,
    kTkAmbient,
    kTkAmbOcclus,
    kTkReflect,
    kTkRefract,
    kTkIncand,
    kTkZ,
    kTkBent,
    kTkSpecialC1 // to kTkSpecialC1 + 9
};

// Index of a named buffer in the camera's frame-buffer set, or -1 when the set has none.
int64_t tk_buffer_index(miState* state, const char* name);

// A writer's per-instance view of one buffer: whether it still writes it, and the index
// once looked up. Render threads share it; each stores the same values, so relaxed atomic
// words are enough.
struct TkSlot {
    std::atomic<int32_t> enabled;
    std::atomic<int32_t> index; // -1 until looked up
};
static_assert(sizeof(TkSlot) == 8, "a pass slot is two 32-bit words");

// The buffer index for a write, looking it up on first use; -1 (and the slot disabled for
// good) when the frame has no such buffer.
int32_t tk_slot_index(miState* state, TkSlot& slot, int k);

} // namespace orn
