// Frame buffers for the current sample, and output images after the frame.
#include "api/api_common.h"

#include <algorithm>
#include <cstring>

using namespace orn;

namespace {

bool inside(const miImg_image* img, int x, int y) {
    return img && x >= 0 && y >= 0 && x < img->width && y < img->height;
}

float* at(const miImg_image* img, int x, int y) {
    return img->data + (size_t(y) * size_t(img->width) + size_t(x)) * size_t(img->components);
}

} // namespace

ORN_API miBoolean mi_fb_put(miState* state, int buffer, void* data) {
    Frame* f = frame_of(state);
    return f ? f->fb_put(state, buffer, data) : miFALSE;
}

ORN_API miBoolean mi_fb_get(miState* state, int buffer, void* data) {
    Frame* f = frame_of(state);
    return f ? f->fb_get(state, buffer, data) : miFALSE;
}

ORN_API miImg_image* mi_output_image_open(miState* state, miUint index) {
    Frame* f = frame_of(state);
    return f ? f->open_image(index) : nullptr;
}

// Images stay valid for the whole frame, so closing has nothing to release.
ORN_API void mi_output_image_close(miState*, miUint) {}

// Colours of images with fewer channels are completed with 1 (alpha) or the one value.
ORN_API void mi_img_get_color(miImg_image* img, miColor* color, int x, int y) {
    if (!color) return;
    if (!inside(img, x, y)) {
        *color = {0.f, 0.f, 0.f, 0.f};
        return;
    }
    const float* p = at(img, x, y);
    const int comps = img->components;
    if (comps >= 3) {
        *color = {p[0], p[1], p[2], comps >= 4 ? p[3] : 1.f};
    } else {
        *color = {p[0], p[0], p[0], 1.f};
    }
}

ORN_API void mi_img_put_color(miImg_image* img, miColor* color, int x, int y) {
    if (!color || !inside(img, x, y) || img->label) return;
    float* p = at(img, x, y);
    const float v[4] = {color->r, color->g, color->b, color->a};
    const int comps = img->components;
    std::memcpy(p, v, size_t(comps < 4 ? comps : 4) * sizeof(float));
}

ORN_API void mi_img_get_depth(miImg_image* img, float* depth, int x, int y) {
    if (!depth) return;
    *depth = inside(img, x, y) && !img->label ? at(img, x, y)[0] : 0.f;
}

ORN_API void mi_img_get_normal(miImg_image* img, miVector* normal, int x, int y) {
    if (!normal) return;
    *normal = {0.f, 0.f, 0.f};
    if (!inside(img, x, y) || img->label) return;
    const float* p = at(img, x, y);
    const int comps = img->components;
    normal->x = p[0];
    if (comps > 1) normal->y = p[1];
    if (comps > 2) normal->z = p[2];
}

ORN_API void mi_img_get_label(miImg_image* img, miUint* label, int x, int y) {
    if (!label) return;
    *label = inside(img, x, y) ? film::load_label(at(img, x, y)) : 0u;
}

// ------------------------------------------------------------------ rows

namespace {

// The part [lo, hi) of a row span's offsets that lies inside the image; empty when none does.
struct Span {
    int lo = 0, hi = 0;
};

Span inside_span(const miImg_image* img, int y, int x, int count) {
    if (y < 0 || y >= img->height) return {};
    const long long lo = std::max(0LL, -static_cast<long long>(x));
    const long long hi = std::min(static_cast<long long>(count), static_cast<long long>(img->width) - x);
    return lo < hi ? Span{int(lo), int(hi)} : Span{};
}

// One channel of a span: component `comp` of each pixel inside, `value` when the pixel has no
// such component (comp < 0), zeros outside.
void fill_channel(float* out, const miImg_image* img, int y, int x, int count, Span s, int comp,
                  float value) {
    if (!out) return;
    std::fill(out, out + s.lo, 0.f);
    if (comp < 0) {
        std::fill(out + s.lo, out + s.hi, value);
    } else if (s.hi > s.lo) {
        const int comps = img->components;
        const float* p = at(img, x + s.lo, y) + comp;
        for (int i = s.lo; i < s.hi; ++i, p += comps)
            out[i] = *p;
    }
    std::fill(out + s.hi, out + count, 0.f);
}

} // namespace

ORN_API miBoolean mi_img_get_color_row(miImg_image* img, int y, int x, int count, float* r, float* g,
                                       float* b, float* a) {
    if (!img || count < 0) return miFALSE;
    const Span s = inside_span(img, y, x, count);
    const int comps = img->components;
    fill_channel(r, img, y, x, count, s, 0, 0.f);
    fill_channel(g, img, y, x, count, s, comps >= 3 ? 1 : 0, 0.f);
    fill_channel(b, img, y, x, count, s, comps >= 3 ? 2 : 0, 0.f);
    fill_channel(a, img, y, x, count, s, comps >= 4 ? 3 : -1, 1.f);
    return miTRUE;
}

ORN_API miBoolean mi_img_get_depth_row(miImg_image* img, int y, int x, int count, float* depth) {
    if (!img || count < 0) return miFALSE;
    fill_channel(depth, img, y, x, count, img->label ? Span{} : inside_span(img, y, x, count), 0, 0.f);
    return miTRUE;
}

ORN_API miBoolean mi_img_get_normal_row(miImg_image* img, int y, int x, int count, float* nx, float* ny,
                                        float* nz) {
    if (!img || count < 0) return miFALSE;
    const Span s = img->label ? Span{} : inside_span(img, y, x, count);
    const int comps = img->components;
    fill_channel(nx, img, y, x, count, s, 0, 0.f);
    fill_channel(ny, img, y, x, count, s, comps > 1 ? 1 : -1, 0.f);
    fill_channel(nz, img, y, x, count, s, comps > 2 ? 2 : -1, 0.f);
    return miTRUE;
}

ORN_API miBoolean mi_img_get_label_row(miImg_image* img, int y, int x, int count, miUint* label) {
    if (!img || count < 0) return miFALSE;
    if (!label) return miTRUE;
    const Span s = inside_span(img, y, x, count);
    std::fill(label, label + s.lo, 0u);
    for (int i = s.lo; i < s.hi; ++i)
        label[i] = film::load_label(at(img, x + i, y));
    std::fill(label + s.hi, label + count, 0u);
    return miTRUE;
}

ORN_API const float* mi_img_get_samples(miImg_image* img, int* width, int* height, int* components) {
    if (!img || img->label) return nullptr;
    if (width) *width = img->width;
    if (height) *height = img->height;
    if (components) *components = img->components;
    return img->data;
}
