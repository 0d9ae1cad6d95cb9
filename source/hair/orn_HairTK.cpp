// orn_HairTK: the hair material's set-up. Its lookup tables, shared by every instance of the
// declaration, and the record each instance keeps; orn_HairTK_shadow, the shadow shader that
// lets light through hair as transparent as the material shows it.
#include "source/hair/orn_HairTK.h"

#include "common/conventions.h"
#include "common/light_record.h"
#include "common/passages.h"
#include "source/hair/orn_HairTK_math.h"
#include "source/hair/orn_HairTK_shading.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>

namespace hair = orn::hair;

namespace {

using BoolParam = miBoolean orn_HairTK_params::*;

constexpr BoolParam kSpecialSwitches[hair::kSpecialCount] = {
    &orn_HairTK_params::special_c1,  &orn_HairTK_params::special_c2, &orn_HairTK_params::special_c3,
    &orn_HairTK_params::special_c4,  &orn_HairTK_params::special_c5, &orn_HairTK_params::special_c6,
    &orn_HairTK_params::special_c7,  &orn_HairTK_params::special_c8, &orn_HairTK_params::special_c9,
    &orn_HairTK_params::special_c10,
};

constexpr BoolParam kPassSwitches[hair::kPassCount] = {
    &orn_HairTK_params::write_tk_shading,   &orn_HairTK_params::write_tk_color,
    &orn_HairTK_params::write_tk_diffuse,   &orn_HairTK_params::write_tk_shadow,
    &orn_HairTK_params::write_tk_specular,  &orn_HairTK_params::write_tk_spec_shd,
    &orn_HairTK_params::write_tk_diff_occl, &orn_HairTK_params::write_tk_indirect,
    &orn_HairTK_params::write_tk_ambient,   &orn_HairTK_params::write_tk_amb_occlus,
    &orn_HairTK_params::write_tk_incand,    &orn_HairTK_params::write_tk_z,
    &orn_HairTK_params::write_tk_specialC1, &orn_HairTK_params::write_tk_specialC2,
    &orn_HairTK_params::write_tk_specialC3, &orn_HairTK_params::write_tk_specialC4,
    &orn_HairTK_params::write_tk_specialC5, &orn_HairTK_params::write_tk_specialC6,
    &orn_HairTK_params::write_tk_specialC7, &orn_HairTK_params::write_tk_specialC8,
    &orn_HairTK_params::write_tk_specialC9, &orn_HairTK_params::write_tk_specialC10,
};

// Built by the declaration's init call before any instance renders and released by its exit
// call after the last; render threads only read them. Sessions that render at the same time
// share one copy, released when the last of them exits.
struct HairTables {
    float edge[hair::kTableSize];
    float acos[hair::kTableSize];
};
std::atomic<HairTables*> g_tables{nullptr};
std::atomic<int> g_table_users{0};

void acquire_tables() {
    g_table_users.fetch_add(1);
    if (g_tables.load(std::memory_order_acquire)) return;
    auto* t = static_cast<HairTables*>(mi_mem_allocate(int(sizeof(HairTables))));
    if (!t) {
        mi_error("orn_HairTK: out of memory for the lookup tables; hair will not shade");
        return;
    }
    for (int i = 0; i < hair::kTableSize; ++i) {
        const float x = float(i) / float(hair::kTableSize - 1);
        t->edge[i] = float(std::cos(double(x) * hair::kPi - hair::kPi / 2.0)); // sin(π·x)
        t->acos[i] = std::acos(x);
    }
    HairTables* none = nullptr;
    if (!g_tables.compare_exchange_strong(none, t, std::memory_order_acq_rel)) mi_mem_release(t);
}

void release_tables() {
    int users = g_table_users.load();
    do {
        if (users <= 0) return; // an exit without its init
    } while (!g_table_users.compare_exchange_weak(users, users - 1));
    if (users == 1)
        if (HairTables* t = g_tables.exchange(nullptr)) mi_mem_release(t);
}

void release_record(void** slot) {
    if (!slot || !*slot) return;
    static_cast<hairtk_instance*>(*slot)->~hairtk_instance();
    mi_mem_release(*slot);
    *slot = nullptr;
}

void build_record(miState* state, orn_HairTK_params* paras, hairtk_instance* rec) {
    rec->indirect = mi_eval_boolean(&paras->indirect);
    rec->finalgather_mode = mi_eval_integer(&paras->finalgather_mode);
    rec->ambient = mi_eval_boolean(&paras->ambient);
    rec->occlusion = mi_eval_boolean(&paras->occlusion);
    rec->incandescence = mi_eval_boolean(&paras->incandescence);
    rec->depth_invert = mi_eval_boolean(&paras->depth_invert);
    rec->depth_unnormalized = mi_eval_boolean(&paras->depth_unnormalized);
    for (int k = 0; k < hair::kSpecialCount; ++k)
        rec->special[k] = mi_eval_boolean(&(paras->*kSpecialSwitches[k]));
    for (int k = 0; k < hair::kPassCount; ++k) {
        rec->passes[k].enabled.store(mi_eval_boolean(&(paras->*kPassSwitches[k])), std::memory_order_relaxed);
        rec->passes[k].index.store(-1, std::memory_order_relaxed);
    }
}

// A NaN or infinite coordinate would poison every value derived from it.
float finite_bary(miState* state, int k, const char* shader) {
    const float x = state->bary[k];
    if (std::isfinite(x)) return x;
    mi_warning("%s: NaN or infinite value in state->bary[%d]. Replaced with zero", shader, k);
    return 0.f;
}

} // namespace

namespace orn::hair {

Tables tables() {
    const HairTables* t = g_tables.load(std::memory_order_acquire);
    return t ? Tables{t->edge, t->acos} : Tables{nullptr, nullptr};
}

float hair_coordinate(miState* state, int k) {
    return finite_bary(state, k, "orn_HairTK");
}

} // namespace orn::hair

// ------------------------------------------------------------------ orn_HairTK

ORN_SHADER_VERSION(orn_HairTK, 1)

ORN_SHADER miBoolean orn_HairTK_init(miState* state, orn_HairTK_params* paras, miBoolean* inst_init_req) {
    if (!paras) {
        if (inst_init_req) *inst_init_req = miTRUE;
        acquire_tables();
        return miTRUE;
    }
    void** slot = orn::instance_slot(state);
    if (!slot) {
        mi_error("orn_HairTK: no per-instance data slot; this instance will not shade");
        return miFALSE;
    }
    release_record(slot); // initialised twice without an exit in between
    void* memory = mi_mem_allocate(int(sizeof(hairtk_instance)));
    if (!memory) {
        mi_error("orn_HairTK: out of memory for the instance data; this instance will not shade");
        return miFALSE;
    }
    auto* rec = new (memory) hairtk_instance{};
    *slot = rec;
    build_record(state, paras, rec);
    return miTRUE;
}

ORN_SHADER miBoolean orn_HairTK_exit(miState* state, orn_HairTK_params* paras) {
    if (paras)
        release_record(orn::instance_slot(state));
    else
        release_tables();
    return miTRUE;
}

ORN_SHADER miBoolean orn_HairTK(miColor* result, miState* state, orn_HairTK_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    const auto* inst = orn::instance_record<hairtk_instance>(state);
    const hair::Tables t = hair::tables();
    if (!inst || !t.edge || !t.acos) return miFALSE; // set-up failed and said so
    return hair::shade(result, state, paras, *inst, t);
}

// ------------------------------------------------------------------ orn_HairTK_shadow

ORN_SHADER_VERSION(orn_HairTK_shadow, 1)

ORN_SHADER miBoolean orn_HairTK_shadow(miColor* result, miState* state, orn_HairTK_shadow_params* paras) {
    if (state->type != miRAY_SHADOW) return miFALSE;
    const miInteger mode = mi_eval_integer(&paras->light_mode);
    if (mode < 3) {
        const miInteger first = mi_eval_integer(&paras->i_lights);
        const miInteger count = mi_eval_integer(&paras->n_lights);
        miTag* lights = static_cast<miTag*>(mi_eval(state, paras->lights)) + first;
        if (!orn::light_filter_passes(state, mode, lights, count)) return miTRUE;
    }

    const bool transparent = mi_eval_boolean(&paras->transparency);
    double tc[3] = {0.0, 0.0, 0.0};
    if (transparent) {
        const float u = finite_bary(state, 0, "orn_HairTK_shadow");
        const float v = finite_bary(state, 1, "orn_HairTK_shadow");
        // The exact profile rather than the material's table: nothing is shared with it here.
        const double facing = std::cos(
            hair::edge_fraction(mi_eval_integer(&paras->edge_frequency), u) * hair::kPi - hair::kPi / 2.0);
        const hair::TransparencyShape shape{
            mi_eval_scalar(&paras->transparency_position), mi_eval_scalar(&paras->transparency_spread),
            mi_eval_scalar(&paras->root_transparency), mi_eval_scalar(&paras->tip_transparency),
            mi_eval_scalar(&paras->edge_transparency)};
        const double M = hair::hair_transparency(shape, v, facing);
        const miColor lower = *mi_eval_color(&paras->transparency_min_color);
        tc[0] = std::max(double(lower.r), M);
        tc[1] = std::max(double(lower.g), M);
        tc[2] = std::max(double(lower.b), M);
    }

    if (state->options && state->options->shadow == 's') {
        orn::set_segment_volume(state, false);
        mi_trace_shadow_seg(result, state);
    }

    const miColor shadow = *mi_eval_color(&paras->shadow_color);
    const double w = mi_eval_scalar(&paras->shadow_color_weight);
    const double tw = transparent ? mi_eval_scalar(&paras->transparency_weight) : 0.0;
    const float tint[3] = {shadow.r, shadow.g, shadow.b};
    float* out[3] = {&result->r, &result->g, &result->b};
    for (int c = 0; c < 3; ++c) {
        double k = tint[c] * w + (1.0 - w);
        if (transparent) k += (1.0 - k) * tc[c] * tw;
        *out[c] = float(*out[c] * k);
    }
    return result->r != 0.f || result->g != 0.f || result->b != 0.f ? miTRUE : miFALSE;
}
