// Thin-lens depth of field: each eye sample becomes several rays from points over the
// aperture disc that meet again on the plane of sharp focus. The colour and every tk pass
// buffer the camera has are averaged over those rays, so the passes carry the same blur as
// the beauty and still add up to it.
#include "source/camera/orn_physlensdof.h"

#include "common/conventions.h"
#include "common/light_groups.h"
#include "common/tk_buffers.h"

#include <cmath>

namespace {

// Enough rays for any aperture; a negative count would otherwise read as billions.
constexpr miUint kMaxLensRays = 4096;

struct LensBuffer {
    miBoolean found;
    miInteger index;
};

struct LensRecord {
    LensBuffer buffers[orn::kTkBufferCount];
};

} // namespace

ORN_SHADER miBoolean orn_physical_lens_dof_init(miState* state, orn_physical_lens_dof_params* paras,
                                                miBoolean* inst_init_req) {
    if (!paras) {
        if (inst_init_req) *inst_init_req = miTRUE;
        return miTRUE;
    }
    auto* rec = static_cast<LensRecord*>(mi_mem_allocate(int(sizeof(LensRecord))));
    void** slot = orn::instance_slot(state);
    if (!rec || !slot) return miTRUE;
    *slot = rec;
    mi::shader::Interface* iface = mi_get_shader_interface(3);
    const mi::shader::Framebuffer* fb =
        iface && state->camera ? &iface->accessFramebuffer(state->camera->buffertag) : nullptr;
    for (int k = 0; k < orn::kTkBufferCount; ++k) {
        size_t index = size_t(-1);
        const bool found = fb && fb->get_index(orn::kTkBuffers[k].name, index);
        rec->buffers[k].found = found ? miTRUE : miFALSE;
        rec->buffers[k].index = miInteger(uint32_t(index));
    }
    if (fb) iface->releaseFramebuffer(*fb, state->camera->buffertag);
    if (iface) iface->release();

    // Settings that cannot give a sensible lens are reported once, here; the shader itself
    // bounds them on every sample.
    const miScalar focus = mi_eval_scalar(&paras->focus_plane);
    const miScalar radius = mi_eval_scalar(&paras->lens_radius);
    const miInteger samples = mi_eval_integer(&paras->samples);
    if (!(focus > 0.f))
        mi_warning("orn_physical_lens_dof: focus_plane %g is not in front of the camera; rays that cannot "
                   "reach it are traced without the lens",
                   double(focus));
    if (radius < 0.f)
        mi_warning("orn_physical_lens_dof: negative lens_radius %g acts as its size %g", double(radius),
                   double(-radius));
    if (miUint(samples) > kMaxLensRays)
        mi_warning("orn_physical_lens_dof: samples %i is out of range; %u rays are traced", samples,
                   kMaxLensRays);
    return miTRUE;
}

ORN_SHADER miBoolean orn_physical_lens_dof_exit(miState* state, orn_physical_lens_dof_params* paras) {
    if (!paras) return miTRUE;
    void** slot = orn::instance_slot(state);
    if (slot && *slot) {
        mi_mem_release(*slot);
        *slot = nullptr;
    }
    return miTRUE;
}

ORN_SHADER_VERSION(orn_physical_lens_dof, 1)
ORN_SHADER miBoolean orn_physical_lens_dof(miColor* result, miState* state,
                                           orn_physical_lens_dof_params* paras) {
    const miScalar focus_plane = mi_eval_scalar(&paras->focus_plane);
    miScalar lens_radius = mi_eval_scalar(&paras->lens_radius);
    const float F = -focus_plane;
    const LensRecord* rec = orn::instance_record<LensRecord>(state);

    miVector O, D;
    mi_point_to_camera(state, &O, &state->org);
    mi_vector_to_camera(state, &D, &state->dir);
    const float t = (F - O.z) / D.z;
    miVector P{float(double(O.x) + double(D.x) * double(t)), float(double(O.y) + double(D.y) * double(t)), F};
    float Pz = F;
    if (!(t > 0.f) || !std::isfinite(t)) {
        // The primary ray never reaches the focus plane (behind the camera, or parallel to
        // it): trace it as a pinhole would rather than send rays backwards or NaN.
        P = {O.x + D.x, O.y + D.y, O.z + D.z};
        Pz = P.z;
        lens_radius = 0.f;
    }

    miUint n = 1;
    const bool single = state->options && state->options->lens_single_ray;
    miInteger fine = 0;
    if (!single || mi_query(miQ_PIXEL_SAMPLE_FAILED, state, miNULLTAG, &fine)) {
        const miUint requested = miUint(mi_eval_integer(&paras->samples));
        n = requested > 1 ? (requested > kMaxLensRays ? kMaxLensRays : requested) : 1;
    }
    const float w = n == 1 ? 1.f : 1.f / float(n);

    miColor sum{0.f, 0.f, 0.f, 0.f};
    miColor buffers[orn::kTkBufferCount] = {};
    orn::GroupShares groups(state); // the light groups' shares, averaged as the colour is
    double sample[2];
    int counter = 0;
    while (mi_sample(sample, &counter, state, 2, &n)) {
        const double r = std::sqrt(sample[0]) * double(lens_radius);
        const double angle = sample[1] * 6.283185307179586;
        miVector L{float(double(O.x) + std::cos(angle) * r), float(double(O.y) + std::sin(angle) * r), O.z};
        miVector R{P.x - L.x, P.y - L.y, Pz - L.z};
        mi_point_from_camera(state, &L, &L);
        mi_vector_from_camera(state, &R, &R);
        state->pri = nullptr;
        miColor c{0.f, 0.f, 0.f, 0.f};
        mi_trace_eye(&c, state, &L, &R);
        groups.add_traced(state, {1.f, 1.f, 1.f, 0.f});
        sum.r += c.r;
        sum.g += c.g;
        sum.b += c.b;
        sum.a += c.a;
        if (!rec) continue;
        for (int k = 0; k < orn::kTkBufferCount; ++k) {
            if (!rec->buffers[k].found) continue;
            miColor v{0.f, 0.f, 0.f, 0.f};
            if (mi_fb_get(state, rec->buffers[k].index, &v)) {
                buffers[k].r += v.r;
                buffers[k].g += v.g;
                buffers[k].b += v.b;
            }
        }
    }
    result->r = sum.r * w;
    result->g = sum.g * w;
    result->b = sum.b * w;
    result->a = sum.a * w;
    groups.scale(w);
    groups.publish(state);
    if (rec)
        for (int k = 0; k < orn::kTkBufferCount; ++k) {
            if (!rec->buffers[k].found) continue;
            miColor avg{buffers[k].r * w, buffers[k].g * w, buffers[k].b * w, 0.f};
            mi_fb_put(state, rec->buffers[k].index, &avg);
        }
    return miTRUE;
}
