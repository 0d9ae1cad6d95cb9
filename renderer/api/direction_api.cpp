// Glossy, anisotropic and diffuse reflection and transmission directions.
#include "api/api_common.h"
#include "core/math.h"

#include <cmath>

using namespace orn;

namespace {

constexpr double kTwoPi = 6.283185307179586;

// An orthonormal frame around unit vector w.
void frame(const miVector& w, miVector& u, miVector& v) {
    u = normalized(std::fabs(w.x) > 0.5f ? cross({0, 1, 0}, w) : cross({1, 0, 0}, w));
    v = cross(w, u);
}

// A direction around `axis` with density proportional to cos^exponent.
miVector lobe(const miVector& axis, double exponent, const double* s) {
    miVector u, v;
    frame(axis, u, v);
    const double ct = std::pow(s[0] > 0.0 ? s[0] : 1e-12, 1.0 / (std::max(exponent, 0.0) + 1.0));
    const double st = std::sqrt(std::max(0.0, 1.0 - ct * ct));
    const double phi = kTwoPi * s[1];
    return normalized(u * float(st * std::cos(phi)) + v * float(st * std::sin(phi)) + axis * float(ct));
}

// Cosine-weighted direction around `axis`.
miVector cosine(const miVector& axis, const double* s) {
    return lobe(axis, 1.0, s);
}

// The state's own two numbers when the caller gives none.
void draw(miState* state, double* s) {
    s[0] = s[1] = 0.5;
    mi_sample(s, nullptr, state, 2, nullptr);
}

miVector mirror(const miState* state) {
    return normalized(state->dir - state->normal * (2.f * dot3(state->dir, state->normal)));
}

// A lobe direction that fell below the surface is folded back above it.
miVector keep_side(miVector d, const miVector& n, bool above) {
    const float side = dot3(d, n);
    if ((above && side < 0.f) || (!above && side > 0.f)) d = d - n * (2.f * side);
    return normalized(d);
}

// Ward's anisotropic half vector around normal n with roughness 1/shiny along u and v.
miVector ward_half(const miVector& n, const miVector& u_in, const miVector& v_in, double shiny_u,
                   double shiny_v, const double* s) {
    const double au = 1.0 / std::max(shiny_u, 1e-6), av = 1.0 / std::max(shiny_v, 1e-6);
    // u is the given direction projected into the tangent plane; v completes the frame.
    miVector u = normalized(u_in - n * dot3(u_in, n));
    if (length(u) == 0.f) u = normalized(v_in - n * dot3(v_in, n));
    if (length(u) == 0.f) {
        miVector unused;
        frame(n, u, unused);
    }
    const miVector v = cross(n, u);
    double phi = std::atan(av / au * std::tan(kTwoPi * s[1]));
    if (s[1] > 0.25 && s[1] <= 0.75)
        phi += M_PI;
    else if (s[1] > 0.75)
        phi += kTwoPi;
    const double cp = std::cos(phi), sp = std::sin(phi);
    const double tan2 = -std::log(std::max(s[0], 1e-12)) / (cp * cp / (au * au) + sp * sp / (av * av));
    const double ct = 1.0 / std::sqrt(1.0 + tan2), st = std::sqrt(std::max(0.0, 1.0 - ct * ct));
    return normalized(u * float(st * cp) + v * float(st * sp) + n * float(ct));
}

} // namespace

ORN_API void mi_reflection_dir_glossy_x(miVector* dir, miState* state, miScalar shiny, double* sample) {
    *dir = keep_side(lobe(mirror(state), shiny, sample), state->normal, true);
}

ORN_API void mi_reflection_dir_glossy(miVector* dir, miState* state, miScalar shiny) {
    double s[2];
    draw(state, s);
    mi_reflection_dir_glossy_x(dir, state, shiny, s);
}

ORN_API void mi_reflection_dir_anisglossy_x(miVector* dir, miState* state, miVector* u, miVector* v,
                                            miScalar shiny_u, miScalar shiny_v, double* sample) {
    const miVector h = ward_half(state->normal, *u, *v, shiny_u, shiny_v, sample);
    const miVector d = state->dir - h * (2.f * dot3(state->dir, h));
    *dir = keep_side(d, state->normal, true);
}

ORN_API void mi_reflection_dir_anisglossy(miVector* dir, miState* state, miVector* u, miVector* v,
                                          miScalar shiny_u, miScalar shiny_v) {
    double s[2];
    draw(state, s);
    mi_reflection_dir_anisglossy_x(dir, state, u, v, shiny_u, shiny_v, s);
}

ORN_API void mi_reflection_dir_diffuse_x(miVector* dir, miState* state, double* sample) {
    *dir = cosine(state->normal, sample);
}

ORN_API void mi_reflection_dir_diffuse(miVector* dir, miState* state) {
    double s[2];
    draw(state, s);
    mi_reflection_dir_diffuse_x(dir, state, s);
}

ORN_API miBoolean mi_transmission_dir_glossy_x(miVector* dir, miState* state, miScalar ior_in,
                                               miScalar ior_out, miScalar shiny, double* sample) {
    miVector t;
    if (!mi_refraction_dir(&t, state, ior_in, ior_out)) return miFALSE;
    *dir = keep_side(lobe(t, shiny, sample), state->normal, false);
    return miTRUE;
}

ORN_API miBoolean mi_transmission_dir_glossy(miVector* dir, miState* state, miScalar ior_in, miScalar ior_out,
                                             miScalar shiny) {
    double s[2];
    draw(state, s);
    return mi_transmission_dir_glossy_x(dir, state, ior_in, ior_out, shiny, s);
}

ORN_API miBoolean mi_transmission_dir_anisglossy_x(miVector* dir, miState* state, miScalar ior_in,
                                                   miScalar ior_out, miVector* u, miVector* v,
                                                   miScalar shiny_u, miScalar shiny_v, double* sample) {
    // Refract about a Ward-distributed microfacet normal.
    const miVector h = ward_half(state->normal, *u, *v, shiny_u, shiny_v, sample);
    const miVector saved = state->normal;
    state->normal = h;
    const miBoolean ok = mi_refraction_dir(dir, state, ior_in, ior_out);
    state->normal = saved;
    if (!ok) return miFALSE;
    *dir = keep_side(*dir, state->normal, false);
    return miTRUE;
}

ORN_API miBoolean mi_transmission_dir_anisglossy(miVector* dir, miState* state, miScalar ior_in,
                                                 miScalar ior_out, miVector* u, miVector* v, miScalar shiny_u,
                                                 miScalar shiny_v) {
    double s[2];
    draw(state, s);
    return mi_transmission_dir_anisglossy_x(dir, state, ior_in, ior_out, u, v, shiny_u, shiny_v, s);
}

ORN_API void mi_transmission_dir_diffuse(miVector* dir, miState* state) {
    double s[2];
    draw(state, s);
    *dir = cosine(-state->normal, s);
}
