// The lighting models of orn_MegaTK. Everything a model needs that does not depend on the
// light sample is computed in the constructor, once per call.
#include "source/toolkit/orn_MegaTK_lighting.h"

#include "common/conventions.h"
#include "common/light_record.h"

#include <algorithm>
#include <cmath>

namespace orn::megatk {

namespace {

miVector operator+(const miVector& a, const miVector& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
miVector operator-(const miVector& a, const miVector& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
miVector operator*(const miVector& a, float s) {
    return {a.x * s, a.y * s, a.z * s};
}
miVector operator-(const miVector& a) {
    return {-a.x, -a.y, -a.z};
}

miVector cross(const miVector& a, const miVector& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

float length(const miVector& v) {
    return std::sqrt(orn::dot(v, v));
}

miVector normalized(miVector v) {
    orn::normalize(&v);
    return v;
}

// u0 from the first texture space: the direction in which s grows across the triangle.
miVector texture_u_direction(miState* state) {
    miVector *a = nullptr, *b = nullptr, *c = nullptr;
    if (!mi_tri_vectors(state, 't', 0, &a, &b, &c) || !a || !b || !c) return {0.f, 0.f, 0.f};
    // Copied at once: the next mi_tri_vectors call may reuse the same storage.
    const float ds1 = b->x - a->x, dt1 = b->y - a->y;
    const float ds2 = c->x - a->x, dt2 = c->y - a->y;
    const float d = ds1 * dt2 - dt1 * ds2;
    if (d == 0.f) return {1.f, 0.f, 0.f};
    if (!mi_tri_vectors(state, 'p', 0, &a, &b, &c) || !a || !b || !c) return {0.f, 0.f, 0.f};
    miVector p0, p1, p2;
    mi_point_from_object(state, &p0, a);
    mi_point_from_object(state, &p1, b);
    mi_point_from_object(state, &p2, c);
    const miVector e1 = p1 - p0, e2 = p2 - p0;
    return (e1 * dt2 - e2 * dt1) * (1.f / d);
}

float smoothstep_ramp(float x, float start, float end) {
    if (x <= start) return 0.f;
    if (x >= end) return 1.f;
    const float t = (x - start) / (end - start);
    return (3.f - 2.f * t) * t * t;
}

} // namespace

TangentFrame surface_tangent_frame(miState* state, const miVector& N) {
    miVector u{0.f, 0.f, 0.f};
    int bump_pairs = 0;
    if (mi_query(miQ_NUM_BUMPS, state, miNULLTAG, &bump_pairs) && bump_pairs > 0 && state->bump_x_list) {
        u = state->bump_x_list[0];
    } else {
        int spaces = 0;
        mi_query(miQ_NUM_TEXTURES, state, miNULLTAG, &spaces);
        if (spaces > 0)
            u = texture_u_direction(state);
        else
            mi_warning("Object does not have ST coordinates!");
    }
    u = normalized(u);
    u = normalized(u - N * orn::dot(u, N));
    return {u, cross(N, u)};
}

miVector rotate_in_tangent_plane(const miVector& u, const miVector& v, float degrees) {
    const float t = degrees / 90.f;
    if (degrees > 90.f && degrees <= 180.f) return v * (1.f - (t - 1.f)) + (-u) * (t - 1.f);
    if (degrees > 180.f && degrees <= 270.f) return (-u) * (1.f - (t - 2.f)) + (-v) * (t - 2.f);
    if (degrees > 270.f && degrees <= 360.f) return u * (t - 3.f) + (-v) * (1.f - (t - 3.f));
    return u * (1.f - t) + v * t;
}

// ------------------------------------------------------------------ per-call set-up

LightingModels::LightingModels(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst,
                               const CallGeometry& geo)
    : geo_(geo), category_{inst.diffuse_category, inst.fur_category,    inst.phong_category,
                           inst.blinn_category,   inst.velvet_category, inst.toon_category,
                           inst.ward_category,    inst.strand_category} {
    if (inst.diffuse_on && geo.kd > 0.0001f) active_ |= kDiffuse;

    TangentFrame frame{{0.f, 0.f, 0.f}, {0.f, 0.f, 0.f}};
    if (inst.fur_on || inst.strand_on) frame = surface_tangent_frame(state, geo.N);
    if (inst.fur_on) prepare_fur(state, paras, frame);

    // Phong, Blinn and velvet read their parameters whether or not they are on.
    phong_.weight = mi_eval_scalar(&paras->phong_weight);
    phong_.color = *mi_eval_color(&paras->phong_color);
    phong_.exponent = mi_eval_scalar(&paras->phong_exponent);
    if (inst.phong_on && phong_.weight > 0.f) active_ |= kPhong;

    blinn_.weight = mi_eval_scalar(&paras->blinn_weight);
    blinn_.color = *mi_eval_color(&paras->blinn_color);
    const float e = mi_eval_scalar(&paras->blinn_eccentricity);
    // At an eccentricity of 1 the distribution degenerates; a large negative q keeps D near 1.
    blinn_.q = e * e == 1.f ? -100000.f : 1.f / (e * e - 1.f);
    blinn_.reflectivity = mi_eval_scalar(&paras->blinn_reflectivity);
    blinn_.nv = orn::dot(geo.V, geo.N);
    if (inst.blinn_on && blinn_.weight > 0.f) active_ |= kBlinn;

    velvet_.weight = mi_eval_scalar(&paras->velvet_weight);
    velvet_.color = *mi_eval_color(&paras->velvet_color);
    velvet_.backscatter = mi_eval_scalar(&paras->velvet_backscatter);
    const float edginess = mi_eval_scalar(&paras->velvet_edginess);
    velvet_.inv_roughness = 1.f / mi_eval_scalar(&paras->velvet_roughness);
    if (inst.velvet_on && velvet_.weight > 0.f) {
        const double sin_nd = std::sqrt(std::max(0.0, 1.0 - state->dot_nd * state->dot_nd));
        velvet_.edge = float(std::pow(sin_nd, double(edginess))) * velvet_.weight;
        active_ |= kVelvet;
    }

    if (inst.toon_on) prepare_toon(state, paras);
    if (inst.ward_on) prepare_ward(state, paras, inst.ward_derivs_frame != 0);
    const float noise_frequency = mi_eval_scalar(&paras->strand_noise_frequency);
    if (inst.strand_on) prepare_strand(state, paras, frame, noise_frequency);
}

void LightingModels::prepare_fur(miState* state, orn_MegaTK_params* paras, const TangentFrame& frame) {
    fur_.weight = mi_eval_scalar(&paras->fur_weight);
    if (!(fur_.weight > 0.f)) return;
    fur_.dir = normalized(rotate_in_tangent_plane(frame.u, frame.v, mi_eval_scalar(&paras->fur_angle)));
    fur_.skin = *mi_eval_color(&paras->fur_skin_color);
    const float density = mi_eval_scalar(&paras->fur_density);
    fur_.scatter = mi_eval_scalar(&paras->fur_reflect) + mi_eval_scalar(&paras->fur_transmit);
    fur_.self_shadow = mi_eval_scalar(&paras->fur_self_shadow);
    fur_.terminator = mi_eval_scalar(&paras->fur_terminator);
    fur_.ramp_start = mi_eval_scalar(&paras->fur_terminator_start);
    fur_.ramp_end = mi_eval_scalar(&paras->fur_terminator_end);
    const float length = mi_eval_scalar(&paras->fur_length);
    const float base = mi_eval_scalar(&paras->fur_base_width);
    const float tip = mi_eval_scalar(&paras->fur_tip_width);
    fur_.density_area = density * (tip + base) * length * 0.5f; // density times the area of one hair
    fur_.view_cover = fur_cover(geo_.V);
    active_ |= kFur;
}

void LightingModels::prepare_toon(miState* state, orn_MegaTK_params* paras) {
    toon_.weight = mi_eval_scalar(&paras->toon_weight);
    if (!(toon_.weight > 0.f)) return;
    toon_.color = *mi_eval_color(&paras->toon_color);
    toon_.threshold = std::pow(1.f - mi_eval_scalar(&paras->toon_size) * 0.5f, 0.3f);
    toon_.width = (1.f - mi_eval_scalar(&paras->toon_sharpness)) * 0.25f;
    active_ |= kToon;
}

void LightingModels::prepare_ward(miState* state, orn_MegaTK_params* paras, bool derivs_frame) {
    ward_.weight = mi_eval_scalar(&paras->ward_weight);
    if (!(ward_.weight > 0.f)) return;
    ward_.color = *mi_eval_color(&paras->ward_color);
    ward_.shiny_u = mi_eval_scalar(&paras->ward_shiny_u);
    ward_.shiny_v = mi_eval_scalar(&paras->ward_shiny_v);
    ward_.isotropic = ward_.shiny_u == ward_.shiny_v;
    if (!ward_.isotropic) {
        if (derivs_frame) {
            const miVector D = state->derivs ? state->derivs[0] : miVector{0.f, 0.f, 0.f};
            ward_.u = normalized(D - geo_.N * orn::dot(D, geo_.N));
            ward_.v = cross(geo_.N, ward_.u);
        } else {
            ward_.u = *mi_eval_vector(&paras->ward_u);
            ward_.v = *mi_eval_vector(&paras->ward_v);
        }
    }
    active_ |= kWard;
}

void LightingModels::prepare_strand(miState* state, orn_MegaTK_params* paras, const TangentFrame& frame,
                                    float noise_frequency) {
    strand_.weight = mi_eval_scalar(&paras->strand_weight);
    if (!(strand_.weight > 0.f)) return;
    const miVector along = rotate_in_tangent_plane(frame.u, frame.v, mi_eval_scalar(&paras->strand_angle));
    const float noise = mi_noise_1d(state->bary[1] * noise_frequency);
    const float shift = noise * mi_eval_scalar(&paras->strand_noise_amount);
    strand_.dir = normalized(along + geo_.Nn * shift);
    strand_.primary = *mi_eval_color(&paras->strand_primary_color);
    strand_.primary_exponent = mi_eval_scalar(&paras->strand_primary_exponent);
    strand_.secondary = *mi_eval_color(&paras->strand_secondary_color);
    strand_.secondary_exponent = mi_eval_scalar(&paras->strand_secondary_exponent);
    active_ |= kStrand;
}

unsigned LightingModels::accepting(unsigned candidates, const char* light_category) const {
    unsigned out = 0;
    for (int k = 0; k < kModelCount; ++k) {
        const unsigned bit = 1u << k;
        if ((candidates & bit) && orn::category_matches(category_[k], light_category)) out |= bit;
    }
    return out;
}

// ------------------------------------------------------------------ one light sample

SampleTerms LightingModels::evaluate(miState* state, const miVector& L, float c, unsigned mask) const {
    SampleTerms t{{0.f, 0.f, 0.f, 0.f}, {0.f, 0.f, 0.f, 0.f}};
    if (mask & kDiffuse) add_diffuse(c, &t.diffuse);
    if (mask & kFur) add_fur(L, c, &t.diffuse);
    if (mask & kPhong) add_phong(state, L, &t.specular);
    if (mask & kBlinn) add_blinn(L, &t.specular);
    if (mask & kVelvet) add_velvet(L, c, &t.specular);
    if (mask & kToon) add_toon(L, c, &t.specular);
    if (mask & kWard) add_ward(state, L, c, &t.specular);
    if (mask & kStrand) add_strand(L, c, &t.specular);
    return t;
}

void LightingModels::add_diffuse(float c, miColor* acc) const {
    float f = 0.f;
    if (c != 0.f) f = geo_.p == 1.f ? c : std::pow(c, geo_.p);
    accumulate_grey(acc, geo_.kd * f);
}

// How much of the skin the hairs cover, seen along X.
float LightingModels::fur_cover(const miVector& X) const {
    float x = fur_.density_area * length(cross(fur_.dir, X));
    const float xn = orn::dot(X, geo_.Nn);
    if (xn > 0.00001f) x /= xn; // grazing directions see through more hair
    const float e = std::exp(x);
    return e <= 0.00001f ? 0.f : 1.f - 1.f / e;
}

void LightingModels::add_fur(const miVector& L, float c, miColor* acc) const {
    const float light_cover = fur_cover(L);
    const float nl = orn::dot(geo_.Nn, L);
    const float ramp = smoothstep_ramp(nl, fur_.ramp_start, fur_.ramp_end);
    const float scatter = ((ramp - 1.f) * fur_.terminator + 1.f) * fur_.scatter;
    const float skin = fur_.weight * (1.f - fur_.view_cover) * c * (1.f - light_cover);
    const float hair = fur_.weight * fur_.view_cover * scatter * nl * (1.f - light_cover * fur_.self_shadow);
    accumulate(acc, fur_.skin, skin);
    accumulate_grey(acc, hair);
}

void LightingModels::add_phong(miState* state, const miVector& L, miColor* acc) const {
    miVector dir = L;
    const float s = mi_phong_specular(phong_.exponent, state, &dir);
    if (s > 0.f) accumulate(acc, phong_.color, s * phong_.weight);
}

void LightingModels::add_blinn(const miVector& L, miColor* acc) const {
    const miVector& N = geo_.N;
    const miVector& V = geo_.V;
    const miVector Ln = normalized(L);
    const miVector H = normalized(Ln + V);
    const float nh = orn::dot(H, N), vh = orn::dot(V, H), nl = orn::dot(Ln, N), nv = blinn_.nv;

    const float q = blinn_.q;
    const float d_root = (q + 1.f) / (nh * nh + q);
    const float D = d_root * d_root;

    // Masking and shadowing, divided by N.V.
    float G;
    if (nl <= nv) {
        const float t = 2.f * nh * nl;
        G = vh <= t ? 1.f / nv : t / (nv * vh);
    } else {
        G = vh <= 2.f * nh * nv ? 1.f / nv : 2.f * nh / vh;
    }

    const float m = (1.f - vh) * (1.f - vh) * (1.f - vh);
    const float F = m + (1.f - m) * blinn_.reflectivity;
    const float s = F * G * D;
    if (s > 0.f) accumulate(acc, blinn_.color, s * blinn_.weight);
}

void LightingModels::add_velvet(const miVector& L, float c, miColor* acc) const {
    const float b = std::max(orn::dot(geo_.V, L), 0.f);
    const float sheen = std::pow(b, velvet_.inv_roughness) * velvet_.weight;
    accumulate(acc, velvet_.color, sheen * velvet_.backscatter + velvet_.edge * c);
}

void LightingModels::add_toon(const miVector& L, float c, miColor* acc) const {
    const miVector H = normalized(geo_.V + normalized(L));
    float h = orn::dot(H, geo_.N);
    const float x = 1.2f * c;
    if (x < 0.f) return;
    if (x < 1.f) h -= 1.f - std::pow(x, 0.05f); // shrink the highlight towards the terminator
    if (h <= 0.f) return;
    const float r = toon_.threshold, w = toon_.width;
    float f;
    if (h > r)
        f = 1.f;
    else if (h > r - w)
        f = (h - (r - w)) / w;
    else
        return;
    accumulate(acc, toon_.color, f * toon_.weight);
}

void LightingModels::add_ward(miState* state, const miVector& L, float c, miColor* acc) const {
    miVector in = state->dir, out = L, n = geo_.N;
    float s;
    if (ward_.isotropic) {
        s = mi_ward_glossy(&in, &out, &n, ward_.shiny_u);
    } else {
        miVector u = ward_.u, v = ward_.v;
        s = mi_ward_anisglossy(&in, &out, &n, &u, &v, ward_.shiny_u, ward_.shiny_v);
    }
    s *= ward_.weight * c;
    if (s > 0.f) accumulate(acc, ward_.color, s);
}

void LightingModels::add_strand(const miVector& L, float c, miColor* acc) const {
    const miVector H = normalized(geo_.V + L);
    const float t = orn::dot(H, strand_.dir);
    const float w = std::sqrt(std::max(0.f, 1.f - t * t));
    float m;
    if (t <= -1.f)
        m = 0.f;
    else if (t >= 0.f)
        m = 1.f;
    else
        m = (3.f - 2.f * (t + 1.f)) * (t + 1.f) * (t + 1.f);
    const float f = strand_.weight * c * m;
    accumulate(acc, strand_.primary, f * std::pow(w, strand_.primary_exponent));
    accumulate(acc, strand_.secondary, f * std::pow(w, strand_.secondary_exponent));
}

} // namespace orn::megatk
