// The frame's side of image textures: lookups for the shaders and environment maps, with
// the footprint of the pixel being shaded.
#include "render/frame.h"

#include "core/math.h"
#include "texture/texture_store.h"

#include <cmath>

namespace orn {

namespace {

int thread_of(miState* state) {
    if (state && state->cache) return ThreadContext::data(state).thread->index;
    const ThreadContext* tc = ThreadContext::current();
    return tc ? tc->index : 0;
}

} // namespace

float Frame::pixel_footprint(double distance) const {
    const miCamera* c = camera_record();
    if (!c || c->x_resolution <= 0) return 0.f;
    const double pixel = double(c->aperture) / double(c->x_resolution);
    return float(c->orthographic ? pixel : distance * pixel / double(c->focal));
}

miBoolean Frame::lookup_texture(miColor* result, miState* state, miTag tag, const miVector& coord) {
    if (!result || !textures_ || !textures_->is_texture(tag)) return miFALSE;
    // The pixel's footprint on the surface, in texture units of the first texture space: the
    // path length from the camera times the pixel's angle, over the surface's derivatives.
    float du = 0.f, dv = 0.f;
    if (state && state->derivs) {
        double path = 0.0;
        for (const miState* s = state; s; s = s->parent)
            if (s->type != miRAY_LIGHT && s->type != miRAY_SHADOW) path += s->dist;
        const float w = pixel_footprint(path);
        const float lu = length(state->derivs[0]), lv = length(state->derivs[1]);
        if (lu > 0.f) du = w / lu;
        if (lv > 0.f) dv = w / lv;
    }
    return textures_->lookup(tag, thread_of(state), coord.x, coord.y, du, dv, result) ? miTRUE : miFALSE;
}

miBoolean Frame::environment_texture(miColor* result, miState* state, miTag texture, const miVector& dir) {
    // An environment ray spreads by the pixel's angle (parallel rays of an orthographic camera
    // do not spread).
    const miCamera* c = camera_record();
    const float angle = c && !c->orthographic ? pixel_footprint(1.0) : 0.f;
    if (!textures_->environment(texture, thread_of(state), dir, angle, result)) {
        *result = {0.f, 0.f, 0.f, 0.f};
        return miFALSE;
    }
    return miTRUE;
}

} // namespace orn
