// A procedural eyeball seen from the front, in polar form on the first texture coordinate:
// pupil (round or slit), iris in two noise-modulated colours, limbus ring and sclera.
#include "source/camera/orn_camera_env.h"

#include "common/conventions.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kHalfPi = 1.5707963267948966;

float smooth(float a, float b, float x) {
    if (a == b) return 0.f;
    const float t = (std::clamp(x, std::min(a, b), std::max(a, b)) - a) / (b - a);
    return 3.f * t * t - 2.f * t * t * t;
}

miColor mix(const miColor& a, const miColor& b, float t) {
    return {a.r * (1.f - t) + b.r * t, a.g * (1.f - t) + b.g * t, a.b * (1.f - t) + b.b * t, 0.f};
}

// Distance from the pupil centre, along the direction of angular coordinate l, to a circle
// of radius g whose centre lies g - b away: radius r at l = 0, 0.5 and 1, narrowing to
// b = (1 - slit) r at 0.25 and 0.75. Where the circle is undefined (a slit of 1 or more, or
// the rim m = 1, which makes the direction zero) the pupil stays round.
double slit_radius(double r, double s, double l, double m) {
    const double e = std::cos((1.0 - m) * kHalfPi);
    double a = 2.0 * l;
    if (a > 1.0) a -= 1.0;
    const double theta = (1.0 - 2.0 * a) * kHalfPi;
    const double st = std::sin(theta), ct = std::cos(theta);
    const double b = (1.0 - s) * r;
    if (!(b > 0.0)) return r;
    const double g = (r * r + b * b) / (2.0 * b);
    const double h = (g - b) * (st * e);
    const double px = ct * e, py = -(st * e);
    const double L = px * px + py * py;
    if (!(L > 0.0)) return r;
    const double k = std::sqrt((g * g - h * h / L) / L);
    const double x = -(h * px / L) - k * py;
    const double y = -(h * py / L) + k * px + b - g;
    const double d = std::sqrt(x * x + y * y);
    return std::isfinite(d) ? d : r;
}

} // namespace

ORN_SHADER_VERSION(orn_eye, 2)
ORN_SHADER miBoolean orn_eye(miColor* result, miState* state, orn_eye_params* paras) {
    const miColor pupil_color = *mi_eval_color(&paras->pupil_color);
    const float pupil_radius = mi_eval_scalar(&paras->pupil_radius);
    const float pupil_slit = mi_eval_scalar(&paras->pupil_slit);
    const float pupil_blur = mi_eval_scalar(&paras->pupil_blur);
    const miColor iris1 = *mi_eval_color(&paras->iris_color1);
    const float n1_angle = mi_eval_scalar(&paras->noise1_scale_angle);
    const float n1_radius = mi_eval_scalar(&paras->noise1_scale_radius);
    const float iris_blend = mi_eval_scalar(&paras->iris_blend);
    const float edge_noise = mi_eval_scalar(&paras->iris_edge_noise);
    const float edge_noise_scale = mi_eval_scalar(&paras->iris_edge_noise_scale);
    const float blend_width = mi_eval_scalar(&paras->iris_blend_width);
    const miColor iris2 = *mi_eval_color(&paras->iris_color2);
    const float n2_angle = mi_eval_scalar(&paras->noise2_scale_angle);
    const float n2_radius = mi_eval_scalar(&paras->noise2_scale_radius);
    const float iris_radius = mi_eval_scalar(&paras->iris_radius);
    const float limbus_fade = mi_eval_scalar(&paras->limbus_fade);
    const miColor limbus_color = *mi_eval_color(&paras->limbus_color);
    const float limbus_width = mi_eval_scalar(&paras->limbus_width);
    const float limbus_blur = mi_eval_scalar(&paras->limbus_blur);
    const miColor sclera = *mi_eval_color(&paras->sclera_color);
    const miColor sclera_edge = *mi_eval_color(&paras->sclera_edge_color);
    const miBoolean u_is_radial = mi_eval_boolean(&paras->u_is_radial);
    const float radial_scale = mi_eval_scalar(&paras->radial_scale);

    if (state->tex_list) state->tex = state->tex_list[0];
    const float k = u_is_radial ? state->tex.x : state->tex.y;
    float l = u_is_radial ? state->tex.y : state->tex.x;
    float m = (1.f - k) * 2.f;
    if (radial_scale != 0.f) m /= radial_scale;
    m = std::clamp(m, 0.f, 1.f);
    l = std::clamp(l, 0.f, 1.f);

    float p = pupil_radius;
    if (pupil_slit > 0.001f) p = float(slit_radius(pupil_radius, pupil_slit, l, m));

    float n = (1.f - iris_blend) * p + iris_radius * iris_blend;
    if (edge_noise > 0.001f) n += (mi_noise_1d(l * edge_noise_scale) * 2.f - 1.f) * edge_noise;
    n = std::max(n, 0.f);
    const float o1 = std::max(0.f, mi_noise_2d(l * n1_angle, (m - p) * n1_radius));
    const float o2 = std::max(0.f, mi_noise_2d(l * n2_angle, (m - p) * n2_radius));

    miColor c;
    if (m <= p) {
        c = pupil_color;
    } else if (m <= iris_radius) {
        const float u = smooth(n, n + blend_width, m);
        c = {iris2.r * o2 * u + iris1.r * o1 * (1.f - u), iris2.g * o2 * u + iris1.g * o1 * (1.f - u),
             iris2.b * o2 * u + iris1.b * o1 * (1.f - u), 0.f};
        if (pupil_blur != 0.f && m <= p + pupil_blur) c = mix(pupil_color, c, smooth(p, p + pupil_blur, m));
        if (limbus_fade != 0.f && m >= iris_radius - limbus_fade)
            c = mix(c, limbus_color, smooth(iris_radius - limbus_fade, iris_radius, m));
    } else {
        const float q = iris_radius + limbus_width;
        if (limbus_width != 0.f && m <= q)
            c = limbus_color;
        else if (limbus_blur != 0.f && m <= q + limbus_blur)
            c = mix(limbus_color, sclera, smooth(q, q + limbus_blur, m));
        else
            c = mix(sclera, sclera_edge, smooth(q + limbus_blur, 1.f, m));
    }
    result->r = c.r;
    result->g = c.g;
    result->b = c.b;
    result->a = l;
    return miTRUE;
}
