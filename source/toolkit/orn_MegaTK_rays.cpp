// orn_MegaTK as the shadow and photon shader of its material: how much light passes the
// surface, and where a photon is stored and how it scatters on.
#include "source/toolkit/orn_MegaTK_call.h"

#include "common/conventions.h"
#include "common/passages.h"

#include <cmath>

namespace orn::megatk {

namespace {

miColor absorbed(const miColor& energy, const miColor& per_unit, double d) {
    return {energy.r * medium_transmission(per_unit.r, d), energy.g * medium_transmission(per_unit.g, d),
            energy.b * medium_transmission(per_unit.b, d), energy.a};
}

// How much a refracting surface lets through at this angle: less towards grazing, and less
// the denser the material is than its surroundings.
float fresnel_like_falloff(const miState* state, const megatk_instance& inst) {
    miVector Nn = state->normal;
    orn::normalize(&Nn);
    miVector V{-state->dir.x, -state->dir.y, -state->dir.z};
    orn::normalize(&V);
    const double c = std::fabs(double(orn::dot(Nn, V)));
    const double f = std::pow(std::pow(c, 0.4), double(inst.ior) / double(inst.outside_ior));
    return f > 0.0 ? (f < 1.0 ? float(f) : 1.f) : 0.f;
}

// A photon that came straight from a light, possibly through transparent surfaces, is
// direct light: the light loop accounts for it.
bool is_direct_from_light(const miState* state) {
    const miState* s = state;
    while (s->type == miPHOTON_TRANSPARENT && s->parent)
        s = s->parent;
    return s->type == miPHOTON_LIGHT;
}

bool any_channel_above(const miColor& c, float threshold) {
    return c.r > threshold || c.g > threshold || c.b > threshold;
}

} // namespace

miBoolean shadow_transmission(miColor* result, miState* state, orn_MegaTK_params* paras,
                              const megatk_instance& inst, float g, float T) {
    if (inst.refract_on && g > kShadowOpacity) {
        float u = mi_eval_scalar(&paras->refract_amount);
        if (u > kNegligible) {
            const float ft = mi_eval_scalar(&paras->refract_fresnel);
            if (ft > kNegligible) u *= ft * fresnel_like_falloff(state, inst) + 1.f - ft;
            if (u > kShadowOpacity) T = 1.f - (1.f - u) * g;
        }
    }
    if (state->options && state->options->shadow == 's' && T > kShadowOpacity) {
        orn::set_segment_volume(state, true);
        mi_trace_shadow_seg(result, state);
    }
    result->r *= T;
    result->g *= T;
    result->b *= T;
    const bool blocked = result->r == 0.f && result->g == 0.f && result->b == 0.f;
    return blocked ? miFALSE : miTRUE;
}

miBoolean scatter_photon(miColor* energy, miState* state, orn_MegaTK_params* paras,
                         const megatk_instance& inst, const PhotonSurface& surface) {
    const float g = surface.g;
    const RayStrengths& k = surface.k;
    miColor diffuse = grey(0.f);
    if (inst.diffuse_on && g > kNegligible && surface.kd > kNegligible)
        diffuse = surface.Cd * (surface.kd * g);
    if (any_channel_above(diffuse, kNegligible) && !is_direct_from_light(state))
        mi_store_photon(energy, state);

    miColor reflect = grey(0.f), transmit = grey(0.f);
    if (inst.reflect_on && k.kr > kNegligible && g > kNegligible)
        reflect = *mi_eval_color(&paras->reflect_color) * (k.kr * g);
    if (inst.refract_on && k.kt > kNegligible && g > kNegligible)
        transmit = *mi_eval_color(&paras->refract_color) * (k.kt * g);

    float transparency = surface.T;
    const ScatterType type = choose_scatter(state, &transparency, &diffuse, &reflect, &transmit);

    // Specular paths lose what the medium behind the photon absorbed on its way here.
    auto arriving = [&]() {
        if (!k.entering) return absorbed(*energy, *mi_eval_color(&paras->absorb_inside), state->dist);
        if (inst.outside_ior_set)
            return absorbed(*energy, *mi_eval_color(&paras->absorb_outside), state->dist);
        return *energy;
    };
    miVector dir;
    switch (type) {
    case kAbsorb:
        return miTRUE;
    case kSpecularReflection: {
        miColor E = arriving();
        E = {E.r * reflect.r, E.g * reflect.g, E.b * reflect.b, E.a};
        mi_reflection_dir_specular(&dir, state);
        return mi_photon_reflection_specular(&E, state, &dir);
    }
    case kSpecularTransmission: {
        miColor E = arriving();
        E = {E.r * transmit.r, E.g * transmit.g, E.b * transmit.b, E.a};
        if (mi_transmission_dir_specular(&dir, state, state->ior_in, state->ior))
            return mi_photon_transmission_specular(&E, state, &dir);
        mi_reflection_dir_specular(&dir, state); // total internal reflection
        return mi_photon_reflection_specular(&E, state, &dir);
    }
    case kDiffuseReflection: {
        miColor E{surface.Cd.r * energy->r, surface.Cd.g * energy->g, surface.Cd.b * energy->b, energy->a};
        mi_reflection_dir_diffuse(&dir, state);
        return mi_photon_reflection_diffuse(&E, state, &dir);
    }
    case kTransparency: {
        miColor E{transparency * energy->r, transparency * energy->g, transparency * energy->b, energy->a};
        return mi_photon_transparent(&E, state);
    }
    }
    mi_error("orn_MegaTK: Unknown scatter type in photon shader!");
    return miFALSE;
}

} // namespace orn::megatk
