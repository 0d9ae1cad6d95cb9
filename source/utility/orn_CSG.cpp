// Combines two closed objects A and B into their union, difference or intersection by ray
// logic alone: each hit is classified by whether the ray is inside A and inside B, boundary
// hits are shaded, and every other surface is passed over with a continue ray. The flags
// travel with the ray in the renderer's per-ray shader state.
#include "source/utility/orn_CSG.h"

#include "common/conventions.h"
#include "common/light_groups.h"
#include "source/utility/inside_state.h"

#include <cstdint>
#include <cstdio>
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

// Each pair of solids keeps its own records, so that a pair seen through another starts from
// its own flags. The keys carry a hash of the two names: no allocation per sample.
struct PairKeys {
    char material[20];
    char shadow[20];
};

PairKeys pair_keys(const Names& n) {
    uint32_t h = 2166136261u;
    auto mix = [&h](const char* text) {
        for (const char* c = text;; ++c) {
            h = (h ^ uint8_t(*c)) * 16777619u;
            if (!*c) break;
        }
    };
    mix(n.a);
    mix(n.b);
    PairKeys k;
    std::snprintf(k.material, sizeof k.material, "%s%08x", orn::kMaterialKey, unsigned(h));
    std::snprintf(k.shadow, sizeof k.shadow, "%s%08x", orn::kShadowKey, unsigned(h));
    return k;
}

// A pair's material record: the flags after the hit, as found when it began, and the hit
// that wrote them.
struct PairRecord {
    int after[2];
    int found[2];
    const miState* at;
};

bool read_record(miState* state, const char* key, PairRecord& out) {
    int size = 0;
    const void* stored = mi_shaderstate_get(state, key, &size);
    if (!stored || size != int(sizeof out)) return false;
    std::memcpy(&out, stored, sizeof out);
    return true;
}

// The flags a ray starts with: those after the hit that wrote the record when the ray went on
// through that surface, those the hit found when the ray turned back from it (a reflection).
void start_flags(miState* state, const PairRecord& rec, int flags[2]) {
    const miState* left = state;
    while (left && left->parent != rec.at)
        left = left->parent;
    bool through = true;
    if (left && rec.at) {
        const miVector& n = rec.at->normal_geom;
        through = (orn::dot(n, rec.at->dir) < 0.f) == (orn::dot(n, left->dir) < 0.f);
    }
    flags[0] = through ? rec.after[0] : rec.found[0];
    flags[1] = through ? rec.after[1] : rec.found[1];
}

miBoolean material_path(miColor* result, miState* state, orn_CSG_params* paras) {
    Names n;
    if (!names(state, paras, n)) return miFALSE;
    const miInteger op = mi_eval_integer(&paras->operation);
    const PairKeys keys = pair_keys(n);
    PairRecord found{};
    const bool had = read_record(state, keys.material, found);
    int in[2] = {0, 0};
    if (had) start_flags(state, found, in);
    if (mi_eval_boolean(&paras->detect_inside) && state->type == miRAY_EYE) {
        // Where does the camera segment start? A back face behind the hit means inside.
        miVector back{-state->dir.x, -state->dir.y, -state->dir.z};
        if (mi_trace_probe(state, &back, &state->point) && state->child->instance) {
            const char* behind = orn::hit_name(state->child);
            if (same(behind, n.a) && state->child->inv_normal)
                in[0] = 1;
            else if (same(behind, n.b) && state->child->inv_normal)
                in[1] = 1;
        }
    }
    if (op < 0 || op > 2) {
        error_colour(result);
        return miTRUE;
    }
    const Column col = classify(orn::hit_name(state), n.a, n.b, in[0], in[1]);
    if (col == Neither) {
        error_colour(result);
        return miTRUE;
    }
    const Action action = kMaterialActions[op][in[0] * 2 + in[1]][col];
    PairRecord rec{{in[0], in[1]}, {in[0], in[1]}, state};
    rec.after[col] = state->inv_normal != 1;
    // Written before anything is traced, so every shader reached from here sees this hit.
    mi_shaderstate_set(state, keys.material, &rec, int(sizeof rec), 1);
    if (action == Shade) {
        // The difference keeps each colour with the parameter that names its instance.
        const bool swapped = op == 1 && mi_eval_boolean(&paras->swap);
        const bool first = (col == ColA) != swapped;
        *result = *mi_eval_color(first ? &paras->color1 : &paras->color2);
    } else {
        mi_trace_continue(result, state);
        orn::GroupShares::pass_through(state);
    }
    // The record of the hit this ray came from holds again for the rays it still traces.
    mi_shaderstate_set(state, keys.material, had ? &found : nullptr, had ? int(sizeof found) : 0, 1);
    return miTRUE;
}

// Inside the difference (operation 1) or the intersection (2), by the flags of A and B.
bool solid(int op, const int in[2]) {
    return op == 1 ? in[1] && !in[0] : in[0] && in[1];
}

// Segment shadows run from the light towards the shaded point, and the light is taken to be
// outside both solids: each surface updates the flag of its object, and the light is blocked
// where it enters the combined solid.
miBoolean shadow_path(miColor* result, miState* state, orn_CSG_params* paras) {
    if (!state->options || state->options->shadow != 's') {
        *result = {0.f, 0.f, 0.f, 0.f};
        return miTRUE;
    }
    result->r = result->g = result->b = 1.f;
    Names n;
    if (!names(state, paras, n)) return miFALSE;
    const miInteger op = mi_eval_integer(&paras->operation);
    if (op == 0 || op < 0 || op > 2) {
        block(result); // a union stops the light at its first surface; other values block
        return miTRUE;
    }
    const PairKeys keys = pair_keys(n);
    int flags[4];
    // The call that starts the pair's record on this shadow ray removes it when it returns,
    // so the next shadow ray of the sample starts afresh.
    const bool starts = !orn::read_flags(state, keys.shadow, flags, 2);
    flags[2] = flags[0];
    flags[3] = flags[1];
    const Column col = classify(orn::hit_name(state), n.a, n.b, flags[0], flags[1]);
    if (col == Neither) {
        block(result);
    } else {
        flags[col] = state->inv_normal != 1;
        orn::write_flags(state, keys.shadow, flags, 4);
        if (!solid(op, flags + 2) && solid(op, flags))
            block(result);
        else
            mi_continue_shadow_seg(result, state);
    }
    if (starts) orn::remove_flags(state, keys.shadow);
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
