// Photon shader: stores photons on diffuse surfaces and sends each on by Russian roulette
// between diffuse reflection, specular reflection and specular transmission.
#include "source/utility/orn_utility.h"

#include "common/conventions.h"

namespace {

miColor scaled(const miColor& ratio, const miColor& energy) {
    return {ratio.r * energy.r, ratio.g * energy.g, ratio.b * energy.b, energy.a};
}

} // namespace

ORN_SHADER_VERSION(orn_photon_basic, 1)
ORN_SHADER miBoolean orn_photon_basic(miColor* energy, miState* state, orn_photon_basic_params* paras) {
    miColor d = *mi_eval_color(&paras->diffuse);
    const miColor s = *mi_eval_color(&paras->specular);
    const miColor t = *mi_eval_color(&paras->transmission);
    // What the specular part transmits and what it reflects.
    miColor T{t.r * s.r, t.g * s.g, t.b * s.b, 0.f};
    miColor S{float((1.0 - double(t.r)) * s.r), float((1.0 - double(t.g)) * s.g),
              float((1.0 - double(t.b)) * s.b), 0.f};

    if (d.r > 0.f || d.g > 0.f || d.b > 0.f) mi_store_photon(energy, state);

    miVector dir;
    miColor next;
    switch (mi_choose_simple_scatter_type(state, &d, &S, nullptr, &T)) {
    case miPHOTON_REFLECT_SPECULAR:
        next = scaled(S, *energy);
        mi_reflection_dir_specular(&dir, state);
        return mi_photon_reflection_specular(&next, state, &dir);
    case miPHOTON_REFLECT_DIFFUSE:
        next = scaled(d, *energy);
        mi_reflection_dir_diffuse(&dir, state);
        return mi_photon_reflection_diffuse(&next, state, &dir);
    case miPHOTON_TRANSMIT_SPECULAR: {
        next = scaled(T, *energy);
        const miScalar ior = mi_eval_scalar(&paras->ior);
        if (ior == 1.f) return mi_photon_transparent(&next, state);
        if (!mi_transmission_dir_specular(&dir, state, 1.f, ior)) return miFALSE;
        return mi_photon_transmission_specular(&next, state, &dir);
    }
    default:
        return miTRUE; // absorbed
    }
}
