// Two transparent media that touch (a liquid in a glass), modelled as two closed objects
// sharing a boundary: the outer surface of each medium takes its own input, the boundary a
// third, and the duplicate surface where both objects coincide is passed over. Which
// surface a hit is follows from whether the ray is inside A and inside B, kept with a short
// history that follows the ray tree in the renderer's per-ray shader state.
#include "source/utility/orn_dielectric_interface.h"

#include "common/conventions.h"
#include "common/light_groups.h"
#include "source/utility/inside_state.h"

#include <cstring>

namespace {

constexpr int kHistory = 10; // five (inside-A, inside-B) pairs, the current one first

int side_of_hit(miState* state, orn_dielectric_interface_params* paras) {
    const miInteger mode = mi_eval_integer(&paras->match_mode);
    if (mode == 1) {
        const miTag a = mi_eval_tag(&paras->object1);
        if (!a) return 0;
        const miTag b = mi_eval_tag(&paras->object2);
        if (!b) return 0;
        const char* hit = orn::hit_name(state);
        if (!hit) return 0;
        const char* name_a = static_cast<const char*>(mi_db_access(a));
        const bool is_a = name_a && std::strcmp(hit, name_a) == 0;
        mi_db_unpin(a);
        if (is_a) return 1;
        const char* name_b = static_cast<const char*>(mi_db_access(b));
        const bool is_b = name_b && std::strcmp(hit, name_b) == 0;
        mi_db_unpin(b);
        return is_b ? 2 : 0;
    }
    if (mode == 2) {
        if (!state->instance) return 0;
        const auto* inst = static_cast<const miInstance*>(mi_db_access(state->instance));
        const miUint label = inst ? inst->label : 0;
        mi_db_unpin(state->instance);
        if (!label) return 0;
        if (label == miUint(mi_eval_integer(&paras->label1))) return 1;
        if (label == miUint(mi_eval_integer(&paras->label2))) return 2;
    }
    return 0;
}

void shade(miColor* result, miState* state, miColor* input) {
    *result = *mi_eval_color(input);
}

miBoolean material_path(miColor* result, miState* state, orn_dielectric_interface_params* paras, int side) {
    int w[kHistory], found[kHistory];
    if (orn::read_flags(state, orn::kMaterialKey, found, kHistory)) {
        std::memcpy(w, found, sizeof w);
        const miState* p = state->parent;
        const float along = p ? orn::dot(p->normal_geom, state->dir) : 0.f;
        if (along <= 0.f)
            std::memmove(w + 2, found, sizeof(int) * (kHistory - 2)); // a new level: history moves down
        else
            std::memmove(w, found + 2, sizeof(int) * (kHistory - 2)); // back out: history moves up
    } else {
        std::memset(found, 0, sizeof found);
        std::memset(w, 0, sizeof w);
    }
    mi_eval(state, &paras->reserved3);

    const bool front = state->inv_normal != 1;
    const int row = w[0] * 2 + w[1];
    if (row == 3 && side == 0) {
        result->r = 1.f;
        result->g = result->b = 0.f;
        return miTRUE;
    }
    // A hit of neither medium counts as B's outside, or as A's while the ray is inside B only.
    if (side == 0) side = row == 1 ? 1 : 2;
    const miCBoolean inv = state->inv_normal;
    const int type = state->type;
    miColor* input = nullptr; // null: pass over the surface as a refraction
    if (side == 1) {
        if (row == 3 && front) {
            input = &paras->color1; // still inside A
        } else {
            w[0] = front;
            if (row == 1 || row == 3) {
                // Leaving B into A, or A into B: the boundary, seen from the side the ray enters.
                state->inv_normal = row == 1 ? 1 : 0;
                input = &paras->interface_color;
            } else {
                input = &paras->color1;
            }
        }
    } else {
        w[1] = front;
        if (row == 0 || row == 1) input = &paras->color2;
    }
    // Written before anything is traced, so the shaders reached from here see this hit.
    orn::write_flags(state, orn::kMaterialKey, w, kHistory);
    if (input) {
        shade(result, state, input);
    } else {
        state->type = miRAY_REFRACT;
        mi_trace_continue(result, state);
        orn::GroupShares::pass_through(state);
    }
    state->inv_normal = inv;
    state->type = type;
    orn::write_flags(state, orn::kMaterialKey, found, kHistory);
    return miTRUE;
}

miBoolean shadow_path(miColor* result, miState* state, orn_dielectric_interface_params* paras, int side) {
    if (!state->options || state->options->shadow != 's') {
        *result = {0.f, 0.f, 0.f, 0.f};
        return miTRUE;
    }
    result->r = result->g = result->b = 1.f;
    int first_flag;
    const int first = orn::read_flags(state, orn::kFirstKey, &first_flag, 1) ? 0 : 1;
    orn::write_flags(state, orn::kFirstKey, &first, 1);

    const bool z = orn::perpendicular_to_parent(state);
    int mat[4];
    if (!orn::read_flags(state, orn::kMaterialKey, mat, 4) && first) {
        if (side == 1 && z)
            mat[0] = 1;
        else if (side == 2 && z)
            mat[1] = 1;
    }
    int shad[4];
    orn::read_flags(state, orn::kShadowKey, shad, 2);
    shad[2] = shad[0];
    shad[3] = shad[1];

    int row = shad[0] * 2 + shad[1];
    bool x = z;
    if (first) {
        if (!z && (mat[0] || mat[1])) {
            mat[0] = mat[2];
            mat[1] = mat[3];
        }
        row = mat[0] * 2 + mat[1];
        x = state->inv_normal != 1;
    }
    if (row == 3 && side == 0) {
        // Inside both and meeting neither: the first segment lets A's input through, later
        // segments block.
        if (first) {
            shade(result, state, &paras->color1);
            // The next shadow ray of the sample must start with a first segment again.
            orn::remove_flags(state, orn::kFirstKey);
            orn::remove_flags(state, orn::kShadowKey);
        } else {
            result->r = result->g = result->b = 0.f;
        }
        return miTRUE;
    }
    if (side == 0) side = row == 1 ? 1 : 2;
    miColor* input = nullptr; // null: pass on to the next segment
    if (side == 1) {
        shad[0] = x;
        input = row == 1 ? &paras->interface_color : &paras->color1;
    } else if (row == 0) {
        if (x) shad[1] = 1;
        input = &paras->color2;
    } else if (row == 1 && first) {
        const bool front = state->inv_normal != 1;
        shad[1] = front;
        if (!front) input = &paras->color2;
    } else {
        shad[1] = x;
        if (row == 1) input = &paras->color2;
    }
    orn::write_flags(state, orn::kShadowKey, shad, 4);
    if (input)
        shade(result, state, input);
    else
        mi_continue_shadow_seg(result, state);
    if (first) {
        orn::remove_flags(state, orn::kFirstKey);
        orn::remove_flags(state, orn::kShadowKey);
    }
    return miTRUE;
}

} // namespace

ORN_SHADER_VERSION(orn_dielectric_interface, 2)

ORN_SHADER miBoolean orn_dielectric_interface_init(miState* state, orn_dielectric_interface_params* paras,
                                                   miBoolean* inst_init_req) {
    if (!paras) {
        *inst_init_req = miTRUE;
        return miTRUE;
    }
    if (mi_eval_integer(&paras->match_mode) == 1) {
        orn::check_instance_name(state, "orn_dielectric_interface", "object1", &paras->object1);
        orn::check_instance_name(state, "orn_dielectric_interface", "object2", &paras->object2);
    }
    if (state->options && state->options->shadow != 0 && state->options->shadow != 's')
        mi_warning("orn_dielectric_interface shadow shader will produce correct shadows only with "
                   "\"segments\" shadow mode!");
    return miTRUE;
}

ORN_SHADER miBoolean orn_dielectric_interface(miColor* result, miState* state,
                                              orn_dielectric_interface_params* paras) {
    if (state->type == miRAY_DISPLACE) return miFALSE;
    const int side = side_of_hit(state, paras);
    if (state->type == miRAY_SHADOW) return shadow_path(result, state, paras, side);
    return material_path(result, state, paras, side);
}
