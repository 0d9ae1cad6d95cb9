// orn_HairTK's shading of one sample: the chain of transparent hair layers along a ray, the
// root-to-tip colour with its per-hair variation, a wrapped diffuse term and three Gaussian
// lobes around the hair tangent, the ambient, indirect, occlusion and incandescence terms, and
// the tk pass buffers, each composited over what the hairs and surfaces behind left there.
#include "source/hair/orn_HairTK_shading.h"

#include "common/conventions.h"
#include "common/light_groups.h"
#include "common/light_record.h"
#include "common/tk_buffers.h"
#include "source/hair/orn_HairTK_math.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orn::hair {

namespace {

using ColorParam = miColor orn_HairTK_params::*;

constexpr ColorParam kSpecialColors[kSpecialCount] = {
    &orn_HairTK_params::special_c1_color, &orn_HairTK_params::special_c2_color,
    &orn_HairTK_params::special_c3_color, &orn_HairTK_params::special_c4_color,
    &orn_HairTK_params::special_c5_color, &orn_HairTK_params::special_c6_color,
    &orn_HairTK_params::special_c7_color, &orn_HairTK_params::special_c8_color,
    &orn_HairTK_params::special_c9_color, &orn_HairTK_params::special_c10_color,
};

struct Rgb {
    float r = 0.f, g = 0.f, b = 0.f;
};
Rgb rgb(const miColor& c) {
    return {c.r, c.g, c.b};
}
Rgb operator*(const Rgb& a, const Rgb& b) {
    return {a.r * b.r, a.g * b.g, a.b * b.b};
}
Rgb operator*(const Rgb& a, float s) {
    return {a.r * s, a.g * s, a.b * s};
}
Rgb operator+(const Rgb& a, const Rgb& b) {
    return {a.r + b.r, a.g + b.g, a.b + b.b};
}
Rgb operator+(const Rgb& a, float s) {
    return {a.r + s, a.g + s, a.b + s};
}
Rgb& operator+=(Rgb& a, const Rgb& b) {
    return a = a + b;
}
miColor color_of(const Rgb& c) {
    return {c.r, c.g, c.b, 0.f};
}

// Each light group's share of the shadowed diffuse and specular light.
struct GroupSums {
    explicit GroupSums(miState* state) : diffuse(state), specular(state) {}
    orn::GroupShares diffuse, specular;
};

// Travels with the transparency rays of one chain of hair layers, under kChainKey.
struct HairChain {
    float remaining;  // transmission left after the layers so far
    miInteger layers; // transparent layers so far
};
static_assert(sizeof(HairChain) == 8, "the chain record is two 32-bit words");
constexpr const char* kChainKey = "orn_hair_stat";

// The component values of one call.
struct Values {
    Rgb color{1.f, 1.f, 1.f}; // hair colour after occlusion
    Rgb shading;              // colour × shadowed diffuse light
    Rgb diff_shd, diff_uns, spec_shd, spec_uns;
    Rgb occlusion, ambient, amb_occl, indirect, incand;
    Rgb special[kSpecialCount];
    float depth = 0.f;
};

struct Lobe {
    float shift = 0.f;
    float sigma = 0.f; // 0: the lobe is off
    Rgb color;
};

// What the light loop needs besides the lights.
struct LightSetup {
    bool diffuse_on = false, specular_on = false;
    float backlight = 0.f;
    miVector V{0, 0, 0};  // towards the viewer
    miVector T{0, 0, 0};  // along the hair
    miVector Tb{0, 0, 0}; // tangent of the lobes, leaning towards the normal
    miVector Nd{0, 0, 0}; // normal of the diffuse term
    Lobe lobes[3];        // primary, secondary, backscatter
    float wR = 1.f, wT = 1.f;
    float q = 0.f; // forward scatter weight
    const float* acos_table = nullptr;
};

struct LightSums {
    Rgb diff_shd, diff_uns, spec_shd, spec_uns;
};

miVector add(const miVector& a, const miVector& b, float sb = 1.f) {
    return {a.x + sb * b.x, a.y + sb * b.y, a.z + sb * b.z};
}

miVector blend(const miVector& a, const miVector& b, float k) {
    miVector v{(1.f - k) * a.x + k * b.x, (1.f - k) * a.y + k * b.y, (1.f - k) * a.z + k * b.z};
    orn::normalize(&v);
    return v;
}

float lobe_value(const LightSetup& s, const Lobe& lobe, const miVector& H) {
    if (lobe.sigma == 0.f) return 0.f;
    miVector h = add(H, s.T, lobe.shift);
    orn::normalize(&h);
    const float d = orn::dot(h, s.Tb);
    const float x = s.acos_table[table_index(1.f - d * d)];
    return std::exp(-x * x / (2.f * lobe.sigma * lobe.sigma));
}

// The specular weight of one light direction, per channel, before the light's colour.
Rgb specular_terms(const LightSetup& s, const miVector& L) {
    miVector Hv = add(L, s.V), Hb = add(L, s.V, -1.f);
    orn::normalize(&Hv);
    orn::normalize(&Hb);
    const float m = 0.7f * orn::dot(L, s.V) + 0.3f;
    const float wf = m * s.q + (1.f - s.q);
    const float wb = (1.f - m) * s.q + (1.f - s.q);
    return s.lobes[0].color * (lobe_value(s, s.lobes[0], Hv) * s.wR * wf) +
           s.lobes[1].color * (lobe_value(s, s.lobes[1], Hv) * wf) +
           s.lobes[2].color * (lobe_value(s, s.lobes[2], Hb) * s.wT * wb);
}

// Lights every side of the hair: the caller has zeroed the state's normal.
LightSums sample_lights(miState* state, const orn::LightSelection& selection, const LightSetup& s,
                        GroupSums& groups) {
    LightSums total;
    // A record left over from elsewhere in the ray tree must not pass a plain light off as a
    // toolkit light.
    orn::drop_light_record(state);
    for (mi::shader::LightIterator it(state, state->normal, 0.f, selection.lights, miUint(selection.count));
         !it.at_end(); ++it) {
        LightSums one;
        while (it->sample()) {
            miColor C;
            it->get_contribution(&C);
            const miVector L = it->get_direction();
            ltk_record rec;
            const bool toolkit = orn::read_light_record(state, &rec);
            const Rgb Cs = toolkit ? rgb(rec.shadowed) : rgb(C);
            const Rgb Cu = toolkit ? rgb(rec.unshadowed) : Rgb{};
            if (s.diffuse_on && (!toolkit || rec.emit_diffuse)) {
                const float d = orn::dot(L, s.Nd);
                const float w = d > 0.f ? 0.7f * d + 0.3f : 0.3f - 0.7f * d * s.backlight;
                one.diff_shd += Cs * w;
                one.diff_uns += Cu * w;
            }
            if (s.specular_on && (!toolkit || rec.emit_specular)) {
                const Rgb k = specular_terms(s, L);
                one.spec_shd += Cs * k;
                one.spec_uns += Cu * k;
            }
        }
        orn::drop_light_record(state);
        const miInteger n = it->get_number_of_samples();
        const float scale = n != 0 ? 1.f / float(n) : 1.f;
        total.diff_shd += one.diff_shd * scale;
        total.diff_uns += one.diff_uns * scale;
        total.spec_shd += one.spec_shd * scale;
        total.spec_uns += one.spec_uns * scale;
        if (groups.diffuse.on()) {
            const int g = mi_lightgroup_of(state, *it);
            groups.diffuse.add(g, color_of(one.diff_shd), {scale, scale, scale, 0.f});
            groups.specular.add(g, color_of(one.spec_shd), {scale, scale, scale, 0.f});
        }
    }
    return total;
}

unsigned short word(long long x) {
    return static_cast<unsigned short>(x & 0xffff);
}

// Per-hair variation of the hair colour, the same for every sample of one hair.
void vary_color(miState* state, orn_HairTK_params* paras, Rgb* c) {
    const double saturation = mi_eval_scalar(&paras->saturation_variation);
    const double spread = mi_eval_scalar(&paras->color_variation);
    const double brightness = mi_eval_scalar(&paras->brightness_variation);
    if (!(saturation > 0.0001 || spread > 0.0001 || brightness > 0.0001)) return;
    miInteger id = 0;
    if (!mi_query(miQ_HAIR_INTEGER, state, miNULLTAG, &id)) return;
    if (saturation > 0.0001) {
        const long long s = seed_base(id, 2);
        unsigned short seed[3] = {word(s + 2), word(s), word(s + 1)};
        const double f = (2.0 * mi_erandom(seed) - 1.0) * saturation + 1.0;
        const double grey = (c->r + c->g + c->b) * 0.333333;
        c->r = float(f * c->r + (1.0 - f) * grey);
        c->g = float(f * c->g + (1.0 - f) * grey);
        c->b = float(f * c->b + (1.0 - f) * grey);
    }
    const long long s = seed_base(id, 11);
    double r[4];
    for (int k = 0; k < 4; ++k) {
        unsigned short seed[3] = {word(s + 3 * k), word(s + 3 * k + 1), word(s + 3 * k + 2)};
        r[k] = mi_erandom(seed);
    }
    c->r = float(c->r + (2.0 * r[0] - 1.0) * spread);
    c->g = float(c->g + (2.0 * r[1] - 1.0) * spread);
    c->b = float(c->b + (2.0 * r[2] - 1.0) * spread);
    if (brightness > 0.0001) *c = *c * float((2.0 * r[3] - 1.0) * brightness + 1.0);
}

float lobe_width(float glossiness) {
    return glossiness != 0.f ? 1.f / (0.125f * glossiness) : 0.f;
}

// Everything but transparency and depth: the light loop and the terms that follow it.
void shade_components(miState* state, orn_HairTK_params* paras, const hairtk_instance& inst, const Tables& t,
                      float v, float facing, Values* out, GroupSums& groups) {
    const bool diffuse_flag = mi_eval_boolean(&paras->diffuse);
    const bool specular_flag = mi_eval_boolean(&paras->specular);
    miTag* array = static_cast<miTag*>(mi_eval(state, paras->lights)) + mi_eval_integer(&paras->i_lights);
    const orn::LightSelection selection = orn::select_lights(state, mi_eval_integer(&paras->light_mode),
                                                             array, mi_eval_integer(&paras->n_lights));

    LightSetup s;
    s.acos_table = t.acos;
    const float diffuse_weight = diffuse_flag ? mi_eval_scalar(&paras->diffuse_weight) : 0.f;
    s.diffuse_on = diffuse_flag && double(diffuse_weight) > 0.0001;
    Rgb c;
    if (s.diffuse_on) {
        const float S = float(smooth(clamp(v, 0.0, 1.0)));
        c = rgb(*mi_eval_color(&paras->root_color)) * (1.f - S) + rgb(*mi_eval_color(&paras->tip_color)) * S;
        vary_color(state, paras, &c);
        s.backlight = mi_eval_scalar(&paras->diffuse_backlight);
    }

    const float specular_weight = specular_flag ? mi_eval_scalar(&paras->specular_weight) : 0.f;
    s.specular_on = specular_flag && double(specular_weight) > 0.0001;
    float tangent_blend = 0.f;
    if (s.specular_on) {
        s.lobes[0] = {mi_eval_scalar(&paras->primary_shift),
                      lobe_width(mi_eval_scalar(&paras->primary_glossiness)),
                      rgb(*mi_eval_color(&paras->primary_color))};
        s.lobes[1] = {mi_eval_scalar(&paras->secondary_shift),
                      lobe_width(mi_eval_scalar(&paras->secondary_glossiness)),
                      rgb(*mi_eval_color(&paras->secondary_color))};
        s.lobes[2] = {mi_eval_scalar(&paras->backscatter_shift),
                      lobe_width(mi_eval_scalar(&paras->backscatter_glossiness)),
                      rgb(*mi_eval_color(&paras->backscatter_color))};
        const float F = float(fresnel(facing, mi_eval_scalar(&paras->fresnel_ior)));
        const float fw = mi_eval_scalar(&paras->fresnel_weight);
        s.wR = F * fw + (1.f - fw);
        s.wT = (1.f - s.wR) * fw + (1.f - fw);
        s.q = mi_eval_scalar(&paras->forward_scatter_weight);
        tangent_blend = mi_eval_scalar(&paras->tangent_normal_blend);
    }

    const miVector N = state->normal;
    s.V = {-state->dir.x, -state->dir.y, -state->dir.z};
    if (state->derivs) { // no surface derivatives: no direction along the hair
        s.T = state->derivs[0];
        orn::normalize(&s.T);
    }
    s.Tb = blend(s.T, N, tangent_blend);
    s.Nd =
        blend(N, state->normal_geom, s.diffuse_on ? mi_eval_scalar(&paras->diffuse_geometric_normal) : 0.f);

    LightSums light;
    if (selection.run && (s.diffuse_on || s.specular_on)) {
        state->normal = {0.f, 0.f, 0.f};
        light = sample_lights(state, selection, s, groups);
        state->normal = N;
    }
    if (s.diffuse_on) {
        out->diff_shd = light.diff_shd * diffuse_weight;
        out->diff_uns = light.diff_uns * diffuse_weight;
        groups.diffuse.scale(diffuse_weight);
    } else {
        groups.diffuse.scale(0.f);
    }
    if (s.specular_on) {
        out->spec_shd = light.spec_shd * specular_weight;
        out->spec_uns = light.spec_uns * specular_weight;
        groups.specular.scale(specular_weight);
    } else {
        groups.specular.scale(0.f);
    }

    const bool occluded = inst.occlusion != 0;
    const Rgb occ = occluded ? rgb(*mi_eval_color(&paras->occlusion_color)) : Rgb{1.f, 1.f, 1.f};
    auto factor = [&](miScalar* amount) {
        if (!occluded) return Rgb{1.f, 1.f, 1.f};
        const float k = mi_eval_scalar(amount);
        return double(k) > 0.0001 ? occ * k + (1.f - k) : Rgb{1.f, 1.f, 1.f};
    };
    if (inst.ambient) {
        const float w = mi_eval_scalar(&paras->ambient_weight);
        if (double(w) > 0.0001) {
            out->ambient = c * rgb(*mi_eval_color(&paras->ambient_color)) * w;
            out->amb_occl = out->ambient * factor(&paras->occlusion_on_ambient);
        }
    }
    if (inst.indirect) {
        miColor irradiance{0.f, 0.f, 0.f, 0.f};
        mi_compute_irradiance(&irradiance, state);
        Rgb I = rgb(irradiance);
        const float saturation = mi_eval_scalar(&paras->indirect_saturation);
        if (saturation < 1.f) {
            const float grey = (I.r + I.g + I.b) * 0.3333f;
            I = I * saturation + (1.f - saturation) * grey;
        }
        out->indirect =
            I * c * rgb(*mi_eval_color(&paras->indirect_color)) * factor(&paras->occlusion_on_indirect);
    }
    const Rgb darker = factor(&paras->occlusion_on_specular);
    out->spec_shd = out->spec_shd * darker;
    groups.specular.scale(color_of(darker));
    out->occlusion = factor(&paras->occlusion_on_color);
    out->color = c * out->occlusion;

    if (inst.incandescence) {
        const float w = mi_eval_scalar(&paras->incandescence_weight);
        if (w != 0.f) {
            // A shader that lights the colour (a translucency glow) says which lights it came from.
            orn::GroupShares glow(state);
            out->incand =
                rgb(glow.take_from(state, [&] { return *mi_eval_color(&paras->incandescence_color); })) * w;
            groups.specular.add(glow, w); // summed into the result as the specular light is
        }
    }
}

// Depth for tk_z: the eye ray's distance within [near, far], or with the transparent mode a
// transparency ray's, over the range unless asked for in scene units.
float depth_value(miState* state, orn_HairTK_params* paras, const hairtk_instance& inst) {
    if (mi_eval_integer(&paras->depth_mode) != 1) return 0.f;
    const bool eye = state->type == miRAY_EYE;
    const bool transparent =
        state->type == miRAY_TRANSPARENT && mi_eval_integer(&paras->depth_transparent_mode) == 1;
    if (!eye && !transparent) return 0.f;
    const float near = mi_eval_scalar(&paras->depth_near);
    const float far = mi_eval_scalar(&paras->depth_far);
    // A zero range would put infinities into the depth pass; it counts as a range of 1.
    const float P = inst.depth_unnormalized || far - near == 0.f ? 1.f : far - near;
    const float d = float(state->dist);
    return eye ? (std::min(far, std::max(near, d)) - near) / P : std::min(far, d) / P;
}

enum Pass { // the hair's pass slots, in the order of its write_tk_ switches
    kShading,
    kColor,
    kDiffuse,
    kShadow,
    kSpecular,
    kSpecShd,
    kDiffOccl,
    kIndirect,
    kAmbient,
    kAmbOcclus,
    kIncand,
    kZ,
    kSpecial1
};

constexpr int kBufferOf[kPassCount] = {
    orn::kTkShading,       orn::kTkColor,         orn::kTkDiffuse,       orn::kTkShadow,
    orn::kTkSpecular,      orn::kTkSpecShd,       orn::kTkDiffOccl,      orn::kTkIndirect,
    orn::kTkAmbient,       orn::kTkAmbOcclus,     orn::kTkIncand,        orn::kTkZ,
    orn::kTkSpecialC1,     orn::kTkSpecialC1 + 1, orn::kTkSpecialC1 + 2, orn::kTkSpecialC1 + 3,
    orn::kTkSpecialC1 + 4, orn::kTkSpecialC1 + 5, orn::kTkSpecialC1 + 6, orn::kTkSpecialC1 + 7,
    orn::kTkSpecialC1 + 8, orn::kTkSpecialC1 + 9,
};

constexpr int kWriteOrder[kPassCount] = {
    kShading,      kColor,
    kDiffuse,      kShadow,
    kSpecular,     kSpecShd,
    kDiffOccl,     kAmbient,
    kAmbOcclus,    kIndirect,
    kIncand,       kSpecial1,
    kSpecial1 + 1, kSpecial1 + 2,
    kSpecial1 + 3, kSpecial1 + 4,
    kSpecial1 + 5, kSpecial1 + 6,
    kSpecial1 + 7, kSpecial1 + 8,
    kSpecial1 + 9, kZ,
};

// Each pass: new = old × l + value, the value already weighted by the opacity o.
void write_passes(miState* state, orn_HairTK_params* paras, const hairtk_instance& inst, const Values& v,
                  float l, float o) {
    // The pass slots are the one part of the shared record that shading updates.
    orn::TkSlot* slots = const_cast<orn::TkSlot*>(inst.passes);
    Rgb value[kPassCount];
    value[kShading] = v.shading;
    value[kColor] = v.color;
    value[kDiffuse] = v.diff_uns;
    value[kShadow] = v.diff_shd;
    value[kSpecular] = v.spec_uns;
    value[kSpecShd] = v.spec_shd;
    value[kDiffOccl] = v.occlusion;
    value[kIndirect] = v.indirect;
    value[kAmbient] = v.ambient;
    value[kAmbOcclus] = v.amb_occl;
    value[kIncand] = v.incand;
    for (int k = 0; k < kSpecialCount; ++k)
        value[kSpecial1 + k] = v.special[k];

    for (const int k : kWriteOrder) {
        const int32_t index = orn::tk_slot_index(state, slots[k], kBufferOf[k]);
        if (index < 0) continue;
        miColor c{0.f, 0.f, 0.f, 0.f};
        mi_fb_get(state, index, &c);
        if (k == kZ) {
            c.r = c.r * l + v.depth;
            if (inst.depth_invert && state->type == miRAY_EYE) {
                const float D = inst.depth_unnormalized
                                    ? mi_eval_scalar(&paras->depth_far) - mi_eval_scalar(&paras->depth_near)
                                    : 1.f;
                c.r = D - c.r;
                c.g = D - c.g;
                c.b = D - c.b;
            }
        } else if (k != kDiffOccl || double(o) > 0.0001) {
            c.r = c.r * l + value[k].r;
            c.g = c.g * l + value[k].g;
            c.b = c.b * l + value[k].b;
        }
        mi_fb_put(state, index, &c);
    }
}

bool any_pass(const hairtk_instance& inst) {
    return std::any_of(inst.passes, inst.passes + kPassCount,
                       [](const orn::TkSlot& s) { return s.enabled.load(std::memory_order_relaxed); });
}

} // namespace

miBoolean shade(miColor* result, miState* state, orn_HairTK_params* paras, const hairtk_instance& inst,
                const Tables& t) {
    bool transparent = mi_eval_boolean(&paras->transparency);
    const float cutoff = mi_eval_scalar(&paras->transparency_cutoff);
    const miInteger max_layers = mi_eval_integer(&paras->max_transparency_layers);
    if (state->type == miRAY_FINALGATHER) {
        if (inst.finalgather_mode == 1) transparent = false;
        if (inst.finalgather_mode == 2) {
            const miBoolean ok = mi_trace_continue(result, state);
            orn::GroupShares::pass_through(state);
            return ok;
        }
    }
    *result = {0.f, 0.f, 0.f, 0.f};
    const bool raster = state->options && state->options->scanline == 'r';

    // The first hair of a chain of transparency rays starts it; the hairs behind continue it.
    HairChain chain{1.f, 0};
    bool first = true;
    if (!raster) {
        int size = 0;
        const void* stored = mi_shaderstate_get(state, kChainKey, &size);
        if (stored && size >= int(sizeof chain)) {
            std::memcpy(&chain, stored, sizeof chain);
            first = false;
        }
    }

    const float u = hair_coordinate(state, 0);
    const float v = hair_coordinate(state, 1);
    const float facing =
        t.edge[table_index(float(edge_fraction(mi_eval_integer(&paras->edge_frequency), u)))];

    double l = 0.0;
    if (transparent) {
        const TransparencyShape shape{
            mi_eval_scalar(&paras->transparency_position), mi_eval_scalar(&paras->transparency_spread),
            mi_eval_scalar(&paras->root_transparency), mi_eval_scalar(&paras->tip_transparency),
            mi_eval_scalar(&paras->edge_transparency)};
        l = hair_transparency(shape, v, facing);
        const miColor lower = *mi_eval_color(&paras->transparency_min_color);
        l = std::max({l, double(lower.r), double(lower.g), double(lower.b)});
        if (l <= 0.001) {
            transparent = false; // too little to trace through, but the opacity keeps 1 - l
        } else if (!raster) {
            chain.layers += 1;
            chain.remaining = float(chain.remaining * l);
            // Little light left, or layers enough: this hair hides what is behind it.
            if (cutoff > chain.remaining || (max_layers != 0 && chain.layers > max_layers)) {
                transparent = false;
                l = 0.0;
            }
        }
    }
    const float lt = float(l);
    const float o = 1.f - lt;
    result->a = o;

    Values values;
    GroupSums light_groups(state);
    if (!transparent || double(o) > 0.001)
        shade_components(state, paras, inst, t, v, facing, &values, light_groups);
    // The light groups' shares of the result, summed as the result is.
    orn::GroupShares groups(state);

    if (transparent && !raster && double(o) <= 0.999) {
        mi_shaderstate_set(state, kChainKey, &chain, int(sizeof chain), 1);
        miColor behind{0.f, 0.f, 0.f, 0.f};
        // Hair layers do not use up the trace depth.
        --state->refraction_level;
        mi_trace_transparent(&behind, state);
        ++state->refraction_level;
        result->r = lt * behind.r;
        result->g = lt * behind.g;
        result->b = lt * behind.b;
        result->a = o + lt * behind.a;
        groups.add_traced(state, {lt, lt, lt, 0.f});
    }
    if (first && !raster && mi_shaderstate_get(state, kChainKey, nullptr))
        mi_shaderstate_set(state, kChainKey, nullptr, 0, 1);

    values.depth = depth_value(state, paras, inst);
    result->a = std::min(std::max(result->a, 0.f), 1.f);
    values.shading = values.color * values.diff_shd;
    if (double(o) > 0.001) {
        const Rgb sum = values.spec_shd + values.shading + values.amb_occl + values.incand + values.indirect;
        result->r += o * sum.r;
        result->g += o * sum.g;
        result->b += o * sum.b;
        if (groups.on()) {
            groups.add(light_groups.diffuse, color_of(values.color * o));
            groups.add(light_groups.specular, o);
        }
        for (int k = 0; k < kSpecialCount; ++k)
            if (inst.special[k]) values.special[k] = rgb(*mi_eval_color(&(paras->*kSpecialColors[k])));
    }
    // The passes are premultiplied by the opacity exactly as the result is, a nearly opaque hair
    // (0.999 < o < 1, nothing traced behind it) included: otherwise its passes would exceed the
    // beauty by up to 0.1% and the layers would not rebuild it.
    if (o < 1.f && !raster) {
        for (Rgb* c : {&values.color, &values.shading, &values.diff_shd, &values.diff_uns, &values.spec_shd,
                       &values.spec_uns, &values.occlusion, &values.ambient, &values.amb_occl,
                       &values.indirect, &values.incand})
            *c = *c * o;
        for (Rgb& c : values.special)
            c = c * o;
    }
    if ((state->type == miRAY_EYE || state->type == miRAY_TRANSPARENT) && any_pass(inst))
        write_passes(state, paras, inst, values, lt, o);

    orn::guard_result("orn_HairTK", result);
    groups.publish(state);
    // The rasteriser layers the surfaces behind by itself and needs the opacity; on eye and
    // transparency rays the renderer's ID mattes take it as this strand's own part of the alpha.
    if (raster || state->type == miRAY_EYE || state->type == miRAY_TRANSPARENT) {
        miColor opacity{o, o, o, o};
        mi_opacity_set(state, &opacity);
    }
    return miTRUE;
}

} // namespace orn::hair
