#include "common/tk_buffers.h"

namespace orn {

const TkBuffer kTkBuffers[kTkBufferCount] = {
    {"tk_shading", ".shading.", "shading", "orn_MegaTK_shading"},
    {"tk_color", ".color.", "color", "orn_MegaTK_color"},
    {"tk_diffuse", ".diffuse.", "diffuse", "orn_MegaTK_diffuse"},
    {"tk_shadow", ".shadow.", "diffuseShadow", "orn_MegaTK_shadow"},
    {"tk_specular", ".specular.", "specular", "orn_MegaTK_specular"},
    {"tk_spec_shd", ".spec_shd.", "specularShadow", "orn_MegaTK_spec_shd"},
    {"tk_diff_occl", ".diff_occl.", "diffuseOcclusion", "orn_MegaTK_diff_occlus"},
    {"tk_indirect", ".indirect.", "indirectIllum", "orn_MegaTK_indirect"},
    {"tk_ambient", ".ambient.", "ambient", "orn_MegaTK_ambient"},
    {"tk_amb_occlus", ".amb_occlus.", "ambOcclusion", "orn_MegaTK_amb_occlus"},
    {"tk_reflect", ".reflect.", "reflect", "orn_MegaTK_reflect"},
    {"tk_refract", ".refract.", "refract", "orn_MegaTK_refract"},
    {"tk_incand", ".incand.", "incandescence", "orn_MegaTK_incand"},
    {"tk_z", ".z.", "depth", "orn_MegaTK_z"},
    {"tk_bent", ".bent.", "bentNormal", "orn_MegaTK_bent"},
    {"tk_specialC1", ".specialC1.", "specialC1", "orn_MegaTK_specialC1"},
    {"tk_specialC2", ".specialC2.", "specialC2", "orn_MegaTK_specialC2"},
    {"tk_specialC3", ".specialC3.", "specialC3", "orn_MegaTK_specialC3"},
    {"tk_specialC4", ".specialC4.", "specialC4", "orn_MegaTK_specialC4"},
    {"tk_specialC5", ".specialC5.", "specialC5", "orn_MegaTK_specialC5"},
    {"tk_specialC6", ".specialC6.", "specialC6", "orn_MegaTK_specialC6"},
    {"tk_specialC7", ".specialC7.", "specialC7", "orn_MegaTK_specialC7"},
    {"tk_specialC8", ".specialC8.", "specialC8", "orn_MegaTK_specialC8"},
    {"tk_specialC9", ".specialC9.", "specialC9", "orn_MegaTK_specialC9"},
    {"tk_specialC10", ".specialC10.", "specialC10", "orn_MegaTK_specialC10"},
};

int64_t tk_buffer_index(miState* state, const char* name) {
    mi::shader::Interface* iface = mi_get_shader_interface(3);
    if (!iface) return -1;
    int64_t index = -1;
    if (state->camera) {
        const mi::shader::Framebuffer& fb = iface->accessFramebuffer(state->camera->buffertag);
        size_t found = size_t(-1);
        if (fb.get_index(name, found)) index = int64_t(found);
        iface->releaseFramebuffer(fb, state->camera->buffertag);
    }
    iface->release();
    return index;
}

int32_t tk_slot_index(miState* state, TkSlot& slot, int k) {
    if (!slot.enabled.load(std::memory_order_relaxed)) return -1;
    int32_t index = slot.index.load(std::memory_order_relaxed);
    if (index >= 0) return index;
    const int64_t found = tk_buffer_index(state, kTkBuffers[k].name);
    if (found < 0) {
        slot.enabled.store(0, std::memory_order_relaxed);
        return -1;
    }
    index = int32_t(found);
    slot.index.store(index, std::memory_order_relaxed);
    return index;
}

} // namespace orn
