// Frame buffers for the current sample, and output images after the frame.
#include "api/api_common.h"

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
