// Distance of the hit as a colour, normalised between a near and a far distance, optionally
// seen through the surface, in its reflection and through its refraction. Secondary rays
// that reach another depth surface get its plain distance over the range, which the
// surface that sent them weights in.
#include "source/utility/orn_z.h"

#include "common/conventions.h"

#include <algorithm>

ORN_SHADER_VERSION(orn_z, 2)
ORN_SHADER miBoolean orn_z(miColor* result, miState* state, orn_z_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    const miScalar near = mi_eval_scalar(&paras->near_distance);
    const miScalar far = mi_eval_scalar(&paras->far_distance);
    const miBoolean raw = mi_eval_boolean(&paras->raw_distance);
    const miInteger channel_mode = mi_eval_integer(&paras->channel_mode);
    const bool split = channel_mode == 1;
    const bool eye = state->type == miRAY_EYE;
    const float range = raw ? 1.f : far - near;
    const float d = float(state->dist);

    float direct = 0.f;
    if (range != 0.f)
        direct = eye ? (std::min(std::max(d, near), far) - near) / range : std::min(d, far) / range;
    else
        // A zero range would make every depth infinite or NaN in the image.
        mi_warning("orn_z: far_distance equals near_distance %g; the depth is written as 0", double(near));
    float green = 0.f, blue = 0.f, alpha;
    const miScalar o = mi_eval_scalar(&paras->opacity);
    miColor c{0.f, 0.f, 0.f, 0.f};
    if (o < 1.f) {
        mi_trace_transparent(&c, state);
        direct += (1.f - o) * c.r;
        if (split) {
            green = (1.f - o) * c.g;
            blue = (1.f - o) * c.b;
        }
        alpha = c.a + o;
    } else {
        alpha = 1.f;
    }

    if (double(o) > 0.0001) {
        const miScalar t = mi_eval_scalar(&paras->reflectivity);
        if (t > 0.0001f) {
            const miScalar gloss = mi_eval_scalar(&paras->reflect_glossiness);
            miVector dir;
            if (gloss > 0.f)
                mi_reflection_dir_glossy(&dir, state, gloss);
            else
                mi_reflection_dir(&dir, state);
            if (mi_trace_reflection(&c, state, &dir))
                green = split ? (c.r + c.g + c.b) * t * o : green + c.r * t * o;
        }
        const miScalar w = mi_eval_scalar(&paras->transparency);
        if (w > 0.0001f) {
            const miScalar gloss = mi_eval_scalar(&paras->refract_glossiness);
            const miScalar ior = mi_eval_scalar(&paras->ior);
            miVector dir;
            if (gloss > 0.f)
                mi_transmission_dir_glossy(&dir, state, 1.f, ior, gloss);
            else
                mi_refraction_dir(&dir, state, 1.f, ior);
            if (mi_trace_refraction(&c, state, &dir)) blue = split ? (c.r + c.g + c.b) * w * o : c.r * w * o;
        }
    }

    if (split) {
        result->r = direct;
        result->g = green;
        result->b = blue;
    } else {
        result->r = result->g = result->b = direct + green + blue;
    }
    result->a = alpha;
    if (!eye) return miTRUE;

    if (mi_eval_integer(&paras->invert) == 1) {
        const float top = raw ? far - near : 1.f;
        result->r = top - result->r;
        result->g = top - result->g;
        result->b = top - result->b;
    }
    if (alpha < 1.f && mi_eval_boolean(&paras->premultiply)) {
        result->r *= alpha;
        result->g *= alpha;
        result->b *= alpha;
    }
    return miTRUE;
}
