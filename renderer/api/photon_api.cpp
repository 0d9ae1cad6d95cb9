// Photons for photon shaders, and irradiance for materials.
#include "api/api_common.h"

using namespace orn;

namespace {
miBoolean photon(miColor* energy, miState* state, int type, const miVector& dir) {
    Frame* f = frame_of(state);
    if (!f || !energy || !state->cache) return miFALSE;
    return f->trace_photon(energy, state, type, dir);
}
bool usable(const miVector* d) {
    return d && (d->x != 0.f || d->y != 0.f || d->z != 0.f);
}
} // namespace

ORN_API miBoolean mi_photon_reflection_specular(miColor* energy, miState* state, miVector* dir) {
    return usable(dir) ? photon(energy, state, miPHOTON_REFLECT_SPECULAR, *dir) : miFALSE;
}
ORN_API miBoolean mi_photon_reflection_glossy(miColor* energy, miState* state, miVector* dir) {
    return usable(dir) ? photon(energy, state, miPHOTON_REFLECT_GLOSSY, *dir) : miFALSE;
}
ORN_API miBoolean mi_photon_reflection_diffuse(miColor* energy, miState* state, miVector* dir) {
    return usable(dir) ? photon(energy, state, miPHOTON_REFLECT_DIFFUSE, *dir) : miFALSE;
}
ORN_API miBoolean mi_photon_transmission_specular(miColor* energy, miState* state, miVector* dir) {
    return usable(dir) ? photon(energy, state, miPHOTON_TRANSMIT_SPECULAR, *dir) : miFALSE;
}
ORN_API miBoolean mi_photon_transmission_diffuse(miColor* energy, miState* state, miVector* dir) {
    return usable(dir) ? photon(energy, state, miPHOTON_TRANSMIT_DIFFUSE, *dir) : miFALSE;
}
// Straight on through the surface.
ORN_API miBoolean mi_photon_transparent(miColor* energy, miState* state) {
    return state ? photon(energy, state, miPHOTON_TRANSPARENT, state->dir) : miFALSE;
}

ORN_API void mi_store_photon(miColor* energy, miState* state) {
    Frame* f = frame_of(state);
    if (f && energy && state) f->store_photon(*energy, state);
}

ORN_API miBoolean mi_compute_irradiance(miColor* result, miState* state) {
    Frame* f = frame_of(state);
    if (!f || !result || !state->cache) return miFALSE;
    return f->compute_irradiance(result, state);
}

// Picks how a photon scatters, by the average strength of each kind against a random
// number; the chosen colour is divided by its probability so the photon keeps its expected
// power. Absorbs when the number falls beyond the total.
ORN_API int mi_choose_simple_scatter_type(miState* state, miColor* rdiff, miColor* rspec, miColor* tdiff,
                                          miColor* tspec) {
    miColor* colours[4] = {rdiff, rspec, tdiff, tspec};
    const int types[4] = {miPHOTON_REFLECT_DIFFUSE, miPHOTON_REFLECT_SPECULAR, miPHOTON_TRANSMIT_DIFFUSE,
                          miPHOTON_TRANSMIT_SPECULAR};
    float p[4], total = 0.f;
    for (int i = 0; i < 4; ++i) {
        p[i] = colours[i] ? (colours[i]->r + colours[i]->g + colours[i]->b) / 3.f : 0.f;
        if (!(p[i] > 0.f)) p[i] = 0.f;
        total += p[i];
    }
    if (total <= 0.f) return miPHOTON_ABSORB;
    double f = 0.5;
    mi_sample(&f, nullptr, state, 1, nullptr);
    float acc = 0.f;
    for (int i = 0; i < 4; ++i) {
        if (p[i] <= 0.f) continue;
        acc += p[i];
        if (f < acc) {
            const float scale = 1.f / p[i];
            colours[i]->r *= scale;
            colours[i]->g *= scale;
            colours[i]->b *= scale;
            return types[i];
        }
    }
    return miPHOTON_ABSORB;
}
