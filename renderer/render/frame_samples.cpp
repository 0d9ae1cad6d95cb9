// One eye sample: its state, its ray, the shading of what the ray met, and its values into the
// film (colour, standard planes, frame buffers, light groups and ID mattes).
#include "render/frame.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <immintrin.h>

namespace orn {

int Frame::shade_sample(ThreadContext& tc, film::Film::Tile& tile, int x, int y, int s,
                        const film::SamplePosition& pos, const EyeRay* ray, const Hit* hit, float* out) {
    const std::vector<float>& clear = film_->clear_sample();
    float* sample = out ? out : tc.sample_storage.data();
    tc.film_sample = sample;
    if (tc.mattes.on()) tc.mattes.begin_sample();
    // A few floats: 16 bytes at a time rather than a library call.
    size_t i = 0;
    for (; i + 4 <= clear.size(); i += 4)
        _mm_storeu_ps(sample + i, _mm_loadu_ps(clear.data() + i));
    for (; i < clear.size(); ++i)
        sample[i] = clear[i];
    miColor color{0.f, 0.f, 0.f, 0.f};
    miBoolean got;
    miState* root;
    if (lens_) {
        // A lens shader decides which rays leave the camera for this sample.
        root = tc.begin_sample(x, y, s);
        root->raster_x = pos.x;
        root->raster_y = pos.y;
        miVector org, dir;
        camera_ray(pos.x, pos.y, org, dir);
        root->org = org;
        root->dir = dir;
        tc.lens_eye_rays = 0;
        tc.lens_moved_origin = false;
        tc.lens_sample_org = org;
        got = call_shader(lens_, &color, root);
        if (tc.lens_eye_rays > 1 || tc.lens_moved_origin) {
            // The standard images of a sample the lens spread over several rays, or over its
            // aperture, come from the ray through the centre of the lens, the sample's own
            // camera ray: taking the last lens ray would dither every edge out of focus. It is
            // only intersected.
            const EyeRay r = eye_ray(pos.x, pos.y);
            if (miState* st = tc.child_of(root, miRAY_EYE)) {
                st->org = r.org;
                st->dir = r.dir;
                Hit hit;
                if (world_.geometry().intersect(r.org, r.dir, r.tnear, r.tfar, kMaskEye, hit))
                    fill_hit(st, hit);
            }
        }
    } else {
        EyeRay own_ray;
        Hit own_hit;
        if (!ray) {
            own_ray = eye_ray(pos.x, pos.y);
            ray = &own_ray;
            hit = world_.geometry().intersect(ray->org, ray->dir, ray->tnear, ray->tfar, kMaskEye, own_hit)
                      ? &own_hit
                      : nullptr;
        }
        miState* st = tc.begin_eye_sample(x, y, s);
        root = st->parent;
        root->raster_x = st->raster_x = pos.x;
        root->raster_y = st->raster_y = pos.y;
        root->org = st->org = ray->org;
        root->dir = ray->camera_dir;
        st->dir = ray->dir;
        got = shade_eye_hit(&color, root, st, hit);
    }
    const miState* seen = root->child;
    float* c = sample + color_offset_;
    c[0] = color.r;
    c[1] = color.g;
    c[2] = color.b;
    c[3] = color.a;
    if (tracked_groups_) write_light_groups(tc, sample, color);
    // The standard images describe the surface the sample shows: behind the ones a material
    // passed over as if they were not there, and none when nothing lies behind them.
    ShownSurface shown;
    if (got && seen && seen->pri) shown = {true, true, seen->point, seen->normal, seen->motion, seen->label};
    if (tc.shown.passed && !(lens_ && (tc.lens_eye_rays > 1 || tc.lens_moved_origin))) shown = tc.shown;
    if (got && shown.hit) {
        sample[depth_offset_] = -(dot3(shown.point - cam_origin_, view_z_));
        float* n = sample + normal_offset_;
        n[0] = shown.normal.x;
        n[1] = shown.normal.y;
        n[2] = shown.normal.z;
        film::store_label(sample + label_offset_, shown.label);
        if (shown.motion.x != 0.f || shown.motion.y != 0.f || shown.motion.z != 0.f) {
            // The motion image holds where the hit point moves on screen, in pixels, and
            // the change of its camera-space depth.
            const miVector p0 = raster_of(shown.point), p1 = raster_of(shown.point + shown.motion);
            float* m = sample + motion_offset_;
            m[0] = p1.x - p0.x;
            m[1] = p1.y - p0.y;
            m[2] = p1.z - p0.z;
        }
        sample[coverage_offset_] = 1.f;
    }
    const int hits = tc.mattes.on() ? matte_hits(tc, color.a) : 0;
    if (!out)
        film_->add_sample(tile, x, y, pos, sample, tc.matte_hits.data(), hits);
    else if (tc.mattes.on() && writes_samples_)
        film_->write_sample_mattes(x, y, tc.matte_hits.data(), hits, tc.matte_scratch);
    return hits;
}

int Frame::matte_hits(ThreadContext& tc, float alpha) {
    tc.mattes.coverages(alpha, lens_ ? tc.lens_eye_rays : 1, tc.matte_coverage);
    return mattes_.hits(tc.mattes, tc.matte_coverage, tc.matte_hits);
}

} // namespace orn
