#include "common/light_record.h"

#include <cstring>

namespace orn {

bool tk_single_sample(miState* state) {
    miInteger unused = 0;
    if (!mi_query(miQ_PIXEL_SAMPLE_FAILED, state, miNULLTAG, &unused)) return true;
    if (state->type == miRAY_FINALGATHER) return true;
    miInteger fine = 0;
    mi_query(miQ_FINE_SAMPLE, state, miNULLTAG, &fine);
    return fine != 0;
}

bool read_light_record(miState* state, ltk_record* out) {
    int size = 0;
    const void* stored = mi_shaderstate_get(state, ORN_LTK_KEY, &size);
    if (!stored || size < int(sizeof(ltk_record))) return false;
    std::memcpy(out, stored, sizeof *out);
    out->category[sizeof out->category - 1] = '\0';
    return true;
}

void drop_light_record(miState* state) {
    if (mi_shaderstate_get(state, ORN_LTK_KEY, nullptr))
        mi_shaderstate_set(state, ORN_LTK_KEY, nullptr, 0, 1);
}

bool category_matches(const char* component, const char* light) {
    const bool component_empty = !component || !component[0];
    const bool light_empty = !light || !light[0];
    if (component_empty || light_empty) return component_empty && light_empty;
    return std::strcmp(component, light) == 0;
}

LightSelection select_lights(miState* state, miInteger mode, miTag* array_start, miInteger array_count,
                             bool default_lights_allowed) {
    LightSelection s;
    s.lights = array_start;
    s.count = array_count > 0 ? array_count : 0;
    if (mode == 4 && default_lights_allowed) {
        s.lights = nullptr;
        s.count = 0;
        s.run = true;
        return s;
    }
    if (mode == 1)
        mi_inclusive_lightlist(&s.count, &s.lights, state);
    else if (mode == 2)
        mi_exclusive_lightlist(&s.count, &s.lights, state);
    s.run = s.count > 0;
    return s;
}

bool light_filter_passes(miState* state, miInteger mode, miTag* array_start, miInteger array_count) {
    if (mode >= 3) return true;
    const miTag instance = state->light_instance;
    if (instance == miNULLTAG) return false;
    const LightSelection list = select_lights(state, mode, array_start, array_count, false);
    // A list may name the light itself rather than its instance.
    miTag item = miNULLTAG;
    mi_query(miQ_INST_ITEM, state, instance, &item);
    for (int i = 0; i < list.count; ++i)
        if (list.lights[i] == instance || (item != miNULLTAG && list.lights[i] == item)) return true;
    return false;
}

} // namespace orn
