// Reflectance models, noise and per-triangle data for shaders.
#include "api/api_common.h"
#include "core/math.h"
#include "light/light_sampling.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

using namespace orn;

namespace {

constexpr float kPi = 3.14159265358979f;

// Perlin's permutation, doubled so indices need no wrap.
struct Permutation {
    int p[512];
    Permutation() {
        static const int base[256] = {
            151, 160, 137, 91,  90,  15,  131, 13,  201, 95,  96,  53,  194, 233, 7,   225, 140, 36,  103,
            30,  69,  142, 8,   99,  37,  240, 21,  10,  23,  190, 6,   148, 247, 120, 234, 75,  0,   26,
            197, 62,  94,  252, 219, 203, 117, 35,  11,  32,  57,  177, 33,  88,  237, 149, 56,  87,  174,
            20,  125, 136, 171, 168, 68,  175, 74,  165, 71,  134, 139, 48,  27,  166, 77,  146, 158, 231,
            83,  111, 229, 122, 60,  211, 133, 230, 220, 105, 92,  41,  55,  46,  245, 40,  244, 102, 143,
            54,  65,  25,  63,  161, 1,   216, 80,  73,  209, 76,  132, 187, 208, 89,  18,  169, 200, 196,
            135, 130, 116, 188, 159, 86,  164, 100, 109, 198, 173, 186, 3,   64,  52,  217, 226, 250, 124,
            123, 5,   202, 38,  147, 118, 126, 255, 82,  85,  212, 207, 206, 59,  227, 47,  16,  58,  17,
            182, 189, 28,  42,  223, 183, 170, 213, 119, 248, 152, 2,   44,  154, 163, 70,  221, 153, 101,
            155, 167, 43,  172, 9,   129, 22,  39,  253, 19,  98,  108, 110, 79,  113, 224, 232, 178, 185,
            112, 104, 218, 246, 97,  228, 251, 34,  242, 193, 238, 210, 144, 12,  191, 179, 162, 241, 81,
            51,  145, 235, 249, 14,  239, 107, 49,  192, 214, 31,  181, 199, 106, 157, 184, 84,  204, 176,
            115, 121, 50,  45,  127, 4,   150, 254, 138, 236, 205, 93,  222, 114, 67,  29,  24,  72,  243,
            141, 128, 195, 78,  66,  215, 61,  156, 180};
        for (int i = 0; i < 256; ++i)
            p[i] = p[i + 256] = base[i];
    }
};
const Permutation perm;

float fade(float t) {
    return t * t * t * (t * (t * 6.f - 15.f) + 10.f);
}
float lerp(float t, float a, float b) {
    return a + t * (b - a);
}
float grad(int h, float x, float y, float z) {
    h &= 15;
    const float u = h < 8 ? x : y, v = h < 4 ? y : (h == 12 || h == 14 ? x : z);
    return ((h & 1) ? -u : u) + ((h & 2) ? -v : v);
}

// Improved gradient noise in [-1, 1].
float perlin(float x, float y, float z) {
    const float fx = std::floor(x), fy = std::floor(y), fz = std::floor(z);
    const int X = int(fx) & 255, Y = int(fy) & 255, Z = int(fz) & 255;
    x -= fx;
    y -= fy;
    z -= fz;
    const float u = fade(x), v = fade(y), w = fade(z);
    const int* p = perm.p;
    const int A = p[X] + Y, AA = p[A] + Z, AB = p[A + 1] + Z, B = p[X + 1] + Y, BA = p[B] + Z,
              BB = p[B + 1] + Z;
    return lerp(w,
                lerp(v, lerp(u, grad(p[AA], x, y, z), grad(p[BA], x - 1, y, z)),
                     lerp(u, grad(p[AB], x, y - 1, z), grad(p[BB], x - 1, y - 1, z))),
                lerp(v, lerp(u, grad(p[AA + 1], x, y, z - 1), grad(p[BA + 1], x - 1, y, z - 1)),
                     lerp(u, grad(p[AB + 1], x, y - 1, z - 1), grad(p[BB + 1], x - 1, y - 1, z - 1))));
}

float unit_noise(float x, float y, float z) {
    return std::clamp(0.5f + 0.5f * perlin(x, y, z), 0.f, 1.f);
}

// The light of the nearest light ray up the state chain.
const WorldLight* light_of(miState* s) {
    for (miState* p = s; p && p->cache; p = p->parent)
        if (const WorldLight* l = ThreadContext::data(p).light) return l;
    return nullptr;
}
const Matrix& world_to_light(miState* s) {
    static const Matrix identity;
    const WorldLight* l = light_of(s);
    return l ? l->world_to_light : identity;
}
const Matrix& light_to_world(miState* s) {
    static const Matrix identity;
    const WorldLight* l = light_of(s);
    return l ? l->light_to_world : identity;
}

} // namespace

// Noise in [0, 1], smooth and the same on every call and thread.
// The 48-bit linear congruential sequence of erand48: a shader that seeds it from a number of
// its own (a hair's, say) gets the same value on every thread and every run.
ORN_API double mi_erandom(unsigned short* seed) {
    return seed ? erand48(seed) : 0.0;
}

ORN_API miScalar mi_noise_1d(miScalar x) {
    return unit_noise(x, 0.5f, 0.25f);
}
ORN_API miScalar mi_noise_2d(miScalar x, miScalar y) {
    return unit_noise(x, y, 0.25f);
}
ORN_API miScalar mi_noise_3d(miVector* p) {
    return p ? unit_noise(p->x, p->y, p->z) : 0.5f;
}

// (R . L)^exponent with R the mirror direction of the ray about the normal.
ORN_API miScalar mi_phong_specular(miScalar exponent, miState* state, miVector* dir) {
    const float d = 2.f * dot3(state->dir, state->normal);
    const miVector r = state->dir - state->normal * d;
    const float s = dot3(r, *dir);
    return s > 0.f ? std::pow(s, exponent) : 0.f;
}

// Ward's isotropic glossy model; di points at the surface, dr away from it, shiny is
// 1 / roughness.
ORN_API miScalar mi_ward_glossy(miVector* di, miVector* dr, miVector* n, miScalar shiny) {
    const float ci = -dot3(*di, *n), cr = dot3(*dr, *n);
    if (ci <= 0.f || cr <= 0.f || shiny <= 0.f) return 0.f;
    const miVector h = normalized(*dr - *di);
    const float hn = dot3(h, *n);
    if (hn <= 0.f) return 0.f;
    const float a2 = 1.f / (shiny * shiny);
    const float tan2 = (1.f - hn * hn) / (hn * hn);
    return std::exp(-tan2 / a2) / (4.f * kPi * a2 * std::sqrt(ci * cr));
}

ORN_API miScalar mi_ward_anisglossy(miVector* di, miVector* dr, miVector* n, miVector* u, miVector* v,
                                    miScalar shiny_u, miScalar shiny_v) {
    const float ci = -dot3(*di, *n), cr = dot3(*dr, *n);
    if (ci <= 0.f || cr <= 0.f || shiny_u <= 0.f || shiny_v <= 0.f) return 0.f;
    const miVector h = normalized(*dr - *di);
    const float hn = dot3(h, *n);
    if (hn <= 0.f) return 0.f;
    const miVector un = normalized(*u), vn = normalized(*v);
    const float hu = dot3(h, un) * shiny_u, hv = dot3(h, vn) * shiny_v;
    return std::exp(-(hu * hu + hv * hv) / (hn * hn)) * shiny_u * shiny_v / (4.f * kPi * std::sqrt(ci * cr));
}

// Unpolarised Fresnel reflectance for the ray meeting the surface, from medium ior_in
// into ior_out; 1 under total internal reflection.
ORN_API miScalar mi_fresnel_reflection(miState* state, miScalar ior_in, miScalar ior_out) {
    if (!(ior_in > 0.f) || !(ior_out > 0.f)) return 0.f;
    const float ci = std::min(1.f, std::fabs(dot3(state->dir, state->normal)));
    const float eta = ior_in / ior_out;
    const float st2 = eta * eta * (1.f - ci * ci);
    if (st2 >= 1.f) return 1.f;
    const float ct = std::sqrt(1.f - st2);
    const float rs = (ior_in * ci - ior_out * ct) / (ior_in * ci + ior_out * ct);
    const float rp = (ior_out * ci - ior_in * ct) / (ior_out * ci + ior_in * ct);
    return 0.5f * (rs * rs + rp * rp);
}

// The three vertex vectors of the hit triangle: 'p' positions, 'n' normals, 't' texture
// space ntex, 'm' motion, 'u'/'v' bump basis; object space.
ORN_API miBoolean mi_tri_vectors(miState* state, int which, int ntex, miVector** a, miVector** b,
                                 miVector** c) {
    if (!state || !state->cache) return miFALSE;
    RayData& rd = ThreadContext::data(state);
    if (!rd.hit || !state->pri) return miFALSE;
    const auto& mesh = rd.hit->object->mesh;
    const std::vector<float>* src = nullptr;
    switch (which) {
    case 'p':
        src = &mesh.P;
        break;
    case 'n':
        src = &mesh.N;
        break;
    case 't':
        if (ntex >= 0 && size_t(ntex) < mesh.T.size()) src = &mesh.T[size_t(ntex)];
        break;
    case 'm':
        src = &mesh.motion;
        break;
    case 'u':
        src = &mesh.dPdu;
        break;
    case 'v':
        src = &mesh.dPdv;
        break;
    default:
        break;
    }
    const size_t tri = size_t(state->pri_idx);
    if (!src || src->empty() || 3 * tri + 2 >= mesh.triangles.size()) return miFALSE;
    for (int k = 0; k < 3; ++k) {
        const uint32_t i = mesh.triangles[3 * tri + size_t(k)];
        rd.tri[k] = {(*src)[3 * i], (*src)[3 * i + 1], (*src)[3 * i + 2]};
    }
    if (a) *a = &rd.tri[0];
    if (b) *b = &rd.tri[1];
    if (c) *c = &rd.tri[2];
    return miTRUE;
}

// Light space is the space of the light instance of the current light ray.
ORN_API void mi_point_to_light(miState* s, miVector* r, miVector* v) {
    *r = world_to_light(s).point(*v);
}
ORN_API void mi_point_from_light(miState* s, miVector* r, miVector* v) {
    *r = light_to_world(s).point(*v);
}
ORN_API void mi_vector_to_light(miState* s, miVector* r, miVector* v) {
    *r = world_to_light(s).vector(*v);
}
ORN_API void mi_vector_from_light(miState* s, miVector* r, miVector* v) {
    *r = light_to_world(s).vector(*v);
}
