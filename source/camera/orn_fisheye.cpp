// A lens that bends each eye ray by the squared distance of its pixel from the image centre,
// blended with the plain perspective ray by one amount. That distance stays below 1, so the
// rays turn towards the viewing axis and the view narrows, the centre enlarged most.
#include "source/camera/orn_camera_env.h"

#include "common/conventions.h"
#include "common/light_groups.h"

#include <algorithm>
#include <cmath>

ORN_SHADER_VERSION(orn_fisheye, 2)
ORN_SHADER miBoolean orn_fisheye(miColor* result, miState* state, orn_fisheye_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    const miScalar a = mi_eval_scalar(&paras->fisheye_amount);
    miVector d;
    mi_vector_to_camera(state, &d, &state->dir);
    const miCamera* cam = state->camera;
    // A ray parallel to the image plane has no pixel distance to bend by.
    if (a == 0.f || !cam || d.z == 0.f) {
        const miBoolean ok = mi_trace_eye(result, state, &state->org, &state->dir);
        orn::GroupShares::pass_through(state);
        return ok;
    }

    const float f = cam->focal / d.z / (cam->aperture * 0.5f) * -0.5f;
    const float nx = d.x * f, ny = d.y * f * cam->aspect;
    const float g = nx * nx + ny * ny;
    const float fx = g * d.x, fy = g * d.y;
    // Past the edge of the fisheye circle the z component has no real value; those rays run
    // along the image plane instead of turning into NaN.
    const float fz = -std::sqrt(std::max(0.f, 1.f - fx * fx - fy * fy));
    miVector v{d.x + (fx - d.x) * a, d.y + (fy - d.y) * a, d.z + (fz - d.z) * a};
    mi_vector_from_camera(state, &v, &v);
    const miBoolean ok = mi_trace_eye(result, state, &state->org, &v);
    orn::GroupShares::pass_through(state);
    return ok;
}
