// Combines two closed objects A and B into their union, difference or intersection by ray
// logic alone: each hit is classified by whether the ray is inside A and inside B, boundary
// hits are shaded, and every other surface is passed over with a continue ray. The flags
// travel with the ray in the renderer's per-ray shader state.
#include "source/orn_CSG.h"

#include "common/conventions.h"
#include "common/inside_state.h"

#include <cstring>

namespace {

enum Column { ColA = 0, ColB = 1, Neither = 2 };
enum Action { Continue, Shade };

// What a hit does, by operation, row (inside-A * 2 + inside-B) and column. A boundary is
// shaded; a surface inside the other solid (union), inside the removed solid (difference) or
// outside the other solid (intersection) is passed over.
const Action kMaterialActions[3][4][2] = {
    {{Shade, Shade}, {Continue, Shade}, {Shade, Continue}, {Continue, Continue}}, // union
    {{Continue, Shade}, {Shade, Shade}, {Continue, Continue}, {Shade, Continue}}, // B minus A
    {{Continue, Continue}, {Shade, Continue}, {Continue, Shade}, {Shade, Shade}}, // intersection
};

// Shadow rays, operations 1 and 2, first and later segments: true passes, false blocks.
const bool kShadowPasses[2][2][4][2] = {
    {// B minus A
     {{true, false}, {false, true}, {true, false}, {false, true}},
     {{true, false}, {false, false}, {true, true}, {false, true}}},
    {// intersection
     {{true, true}, {false, true}, {true, false}, {false, false}},
     {{true, true}, {false, true}, {true, false}, {false, false}}},
};

const char* string_of(miTag tag) {
    const char* text = static_cast<const char*>(mi_db_access(tag));
    mi_db_unpin(tag);
    return text ? text : "";
}

bool same(const char* hit, const char* name) {
    return hit && std::strcmp(hit, name) == 0;
}

// A row compares the hit with one name only, except when the ray is inside both.
Column classify(const char* hit, const char* a, const char* b, int inside_a, int inside_b) {
    if (inside_a && inside_b) return same(hit, a) ? ColA : same(hit, b) ? ColB : Neither;
    if (inside_b) return same(hit, b) ? ColB : ColA;
    return same(hit, a) ? ColA : ColB;
}

void block(miColor* result) {
    result->r = result->g = result->b = 0.f;
}

void error_colour(miColor* result) {
    result->r = 1.f;
    result->g = result->b = 0.f;
}

struct Names {
    const char* a;
    const char* b;
};

bool names(miState* state, orn_CSG_params* paras, Names& out) {
    const bool swap = mi_eval_boolean(&paras->swap);
    const miTag a = mi_eval_tag(swap ? &paras->object2 : &paras->object1);
    if (!a) return false;
    const miTag b = mi_eval_tag(swap ? &paras->object1 : &paras->object2);
    if (!b) return false;
    out = {string_of(a), string_of(b)};
    return true;
}

miBoolean material_path(miColor* result, miState* state, orn_CSG_params* paras) {
    Names n;
    if (!names(state, paras, n)) return miFALSE;
    const miInteger op = mi_eval_integer(&paras->operation);
    int rec[4];
    orn::read_flags(state, orn::kMaterialKey, rec, 2);
    rec[2] = rec[0];
    rec[3] = rec[1];
    if (mi_eval_boolean(&paras->detect_inside) && state->type == miRAY_EYE) {
        // Where does the camera segment start? A back face behind the hit means inside.
        miVector back{-state->dir.x, -state->dir.y, -state->dir.z};
        if (mi_trace_probe(state, &back, &state->point) && state->child->instance) {
            const char* behind = orn::hit_name(state->child);
            if (same(behind, n.a) && state->child->inv_normal)
                rec[0] = 1;
            else if (same(behind, n.b) && state->child->inv_normal)
                rec[1] = 1;
        }
    }
    if (op < 0 || op > 2) {
        error_colour(result);
        orn::remove_flags(state, orn::kMaterialKey);
        return miTRUE;
    }
    const Column col = classify(orn::hit_name(state), n.a, n.b, rec[0], rec[1]);
    if (col == Neither) {
        error_colour(result);
        return miTRUE;
    }
    const Action action = kMaterialActions[op][rec[0] * 2 + rec[1]][col];
    rec[col] = state->inv_normal != 1;
    // Written before anything is traced, so every shader reached from here sees this hit.
    orn::write_flags(state, orn::kMaterialKey, rec, 4);
    if (action == Shade) {
        // The difference keeps each colour with the parameter that names its instance.
        const bool swapped = op == 1 && mi_eval_boolean(&paras->swap);
        const bool first = (col == ColA) != swapped;
        *result = *mi_eval_color(first ? &paras->color1 : &paras->color2);
    } else {
        mi_trace_continue(result, state);
    }
    orn::remove_flags(state, orn::kMaterialKey);
    return miTRUE;
}

miBoolean shadow_path(miColor* result, miState* state, orn_CSG_params* paras) {
    if (!state->options || state->options->shadow != 's') {
        *result = {0.f, 0.f, 0.f, 0.f};
        return miTRUE;
    }
    result->r = result->g = result->b = 1.f;
    Names n;
    if (!names(state, paras, n)) return miFALSE;
    const miInteger op = mi_eval_integer(&paras->operation);
    int first_flag;
    const int first = orn::read_flags(state, orn::kFirstKey, &first_flag, 1) ? 0 : 1;
    orn::write_flags(state, orn::kFirstKey, &first, 1);

    const char* hit = orn::hit_name(state);
    const bool z = orn::perpendicular_to_parent(state);
    int mat[4];
    if (!orn::read_flags(state, orn::kMaterialKey, mat, 4) && first) {
        mat[0] = same(hit, n.a) && z;
        mat[1] = same(hit, n.b) && z;
    }
    int shad[4];
    orn::read_flags(state, orn::kShadowKey, shad, 2);
    shad[2] = shad[0];
    shad[3] = shad[1];

    if (op == 0) {
        block(result);
        return miTRUE;
    }
    if (op == 1 || op == 2) {
        int row_a = shad[0], row_b = shad[1];
        bool x = z;
        if (first) {
            if (!z && (mat[0] || mat[1])) {
                mat[0] = mat[2];
                mat[1] = mat[3];
            }
            row_a = mat[0];
            row_b = mat[1];
            x = state->inv_normal != 1;
        }
        const Column col = classify(hit, n.a, n.b, row_a, row_b);
        if (col == Neither) {
            block(result);
            return miTRUE;
        }
        if (col == ColB && !row_a && !row_b) {
            if (x) shad[1] = 1; // entering B from outside both: only ever sets the flag
        } else {
            shad[col] = x;
        }
        orn::write_flags(state, orn::kShadowKey, shad, 4);
        if (kShadowPasses[op - 1][first ? 0 : 1][row_a * 2 + row_b][col])
            mi_continue_shadow_seg(result, state);
        else
            block(result);
    } else {
        block(result);
    }
    if (first) {
        orn::remove_flags(state, orn::kFirstKey);
        orn::remove_flags(state, orn::kShadowKey);
    }
    return miTRUE;
}

} // namespace

ORN_SHADER_VERSION(orn_CSG, 2)

ORN_SHADER miBoolean orn_CSG_init(miState* state, orn_CSG_params* paras, miBoolean* inst_init_req) {
    if (!paras) {
        *inst_init_req = miTRUE;
        return miTRUE;
    }
    orn::check_instance_name(state, "orn_CSG", "object1", &paras->object1);
    orn::check_instance_name(state, "orn_CSG", "object2", &paras->object2);
    if (state->options && state->options->shadow != 0 && state->options->shadow != 's')
        mi_warning("orn_CSG shadow shader will produce correct shadows only with \"segments\" shadow mode!");
    return miTRUE;
}

ORN_SHADER miBoolean orn_CSG(miColor* result, miState* state, orn_CSG_params* paras) {
    if (state->type == miRAY_DISPLACE) return miFALSE;
    if (state->type == miRAY_SHADOW) return shadow_path(result, state, paras);
    return material_path(result, state, paras);
}
