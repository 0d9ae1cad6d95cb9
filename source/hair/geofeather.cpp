// geofeather: one procedural feather as a hair object, a straight shaft with pairs of barbs,
// in the plane z = 0 with the shaft along +y from 0 to 1. The object is placed at once with
// its bounding box; its hairs are built by geofeather_cb when the renderer first needs them.
#include "source/hair/geofeather.h"

#include "common/conventions.h"

#include <climits>

namespace {

constexpr int kVertices = 4;                                   // each hair is one cubic segment
constexpr int kScalarsPerVertex = 3 + 1 + 4 + 3;               // position, radius, texture, motion
constexpr int kScalarsPerHair = kVertices * kScalarsPerVertex; // 44
// More barb pairs than this would overflow the scalar count.
constexpr int kMaxBarbs = (INT_MAX - kScalarsPerHair) / (2 * kScalarsPerHair);

struct Vertex {
    float x, y;
    float radius;
    float texture[4];
};

constexpr Vertex kShaft[kVertices] = {
    {0.f, 0.f, 0.01f, {1.f, 1.f, 1.f, 1.0f}},
    {0.f, 0.33f, 0.02f, {1.f, 1.f, 1.f, 0.9f}},
    {0.f, 0.67f, 0.01f, {1.f, 1.f, 1.f, 0.8f}},
    {0.f, 1.f, 0.005f, {1.f, 1.f, 1.f, 0.7f}},
};

// The right barb of the lowest pair; pair i is e = 0.025·i higher, the left barb mirrors it in x.
constexpr Vertex kBarb[kVertices] = {
    {0.01f, 0.2f, 0.003f, {0.f, 0.6f, 0.8f, 0.4f}},
    {0.11f, 0.3f, 0.01f, {0.f, 0.6f, 0.8f, 0.34f}},
    {0.21f, 0.38f, 0.006f, {0.f, 0.6f, 0.8f, 0.26f}},
    {0.31f, 0.46f, 0.001f, {0.f, 0.4f, 0.8f, 0.f}},
};
constexpr float kLeftTipAlpha = 0.2f;

// Writes one hair: 11 scalars per vertex, the motion repeating the position.
miScalar* put_hair(miScalar* out, const Vertex* vertices, float x_sign, float lift, float left_tip_alpha) {
    for (int k = 0; k < kVertices; ++k) {
        const Vertex& v = vertices[k];
        const float x = x_sign * v.x, y = v.y + lift;
        const float alpha = k == kVertices - 1 && left_tip_alpha >= 0.f ? left_tip_alpha : v.texture[3];
        const miScalar values[kScalarsPerVertex] = {
            x, y, 0.f, v.radius, v.texture[0], v.texture[1], v.texture[2], alpha, x, y, 0.f};
        for (const miScalar s : values)
            *out++ = s;
    }
    return out;
}

void set_flags(miObject* object) {
    object->shadow = 1;
    object->visible = 1;
    object->trace = 1;
    object->finalgather = 1;
}

} // namespace

ORN_SHADER_VERSION(geofeather, 1)

ORN_SHADER miBoolean geofeather_cb(miTag tag, void* args) {
    if (!args) {
        mi_error("geofeather: the feather callback got no parameters; the feather has no hairs");
        return miFALSE;
    }
    const miInteger n = static_cast<const geofeather_params*>(args)->barb_count;
    if (n < 0) {
        mi_warning("geofeather: barb_count %d is negative; the feather gets no hairs", n);
        return miTRUE;
    }
    if (n > kMaxBarbs) {
        mi_error("geofeather: barb_count %d is more than %d barb pairs; the feather gets no hairs", n,
                 kMaxBarbs);
        return miFALSE;
    }
    const char* name = mi_api_tag_lookup(tag);
    if (!name) {
        mi_error("geofeather: the feather's placeholder object has no name; the feather has no hairs");
        return miFALSE;
    }
    mi_api_incremental(miTRUE); // redefine the placeholder in place
    miObject* object = mi_api_object_begin(mi_mem_strdup(name));
    if (!object) {
        mi_error("geofeather: cannot redefine object \"%s\"; the feather has no hairs", name);
        return miFALSE;
    }
    set_flags(object);

    if (miHair_list* hairs = mi_api_hair_begin()) hairs->degree = 3;
    mi_api_hair_info(1, 'r', 1);
    mi_api_hair_info(1, 't', 4);
    mi_api_hair_info(1, 'm', 3);

    const int hair_count = 2 * n + 1;
    const int scalar_count = hair_count * kScalarsPerHair;
    bool built = false;
    if (miScalar* out = mi_api_hair_scalars_begin(scalar_count)) {
        out = put_hair(out, kShaft, 1.f, 0.f, -1.f);
        for (int i = 0; i < n; ++i) {
            const float e = 0.025f * float(i);
            out = put_hair(out, kBarb, 1.f, e, -1.f);
            out = put_hair(out, kBarb, -1.f, e, kLeftTipAlpha);
        }
        mi_api_hair_scalars_end(scalar_count);
        if (miGeoIndex* index = mi_api_hair_hairs_begin(hair_count + 1)) {
            for (int k = 0; k <= hair_count; ++k)
                index[k] = miGeoIndex(k * kScalarsPerHair);
            mi_api_hair_hairs_end();
            built = true;
        }
    }
    mi_api_hair_end();
    mi_api_object_end();
    if (!built) mi_error("geofeather: no room for the %d hairs of object \"%s\"", hair_count, name);
    return built ? miTRUE : miFALSE;
}

ORN_SHADER miBoolean geofeather(miTag* result, miState* state, geofeather_params* paras) {
    miObject* object = mi_api_object_begin(mi_mem_strdup("geofeather"));
    if (!object) {
        mi_error("geofeather: cannot begin the feather object");
        return miFALSE;
    }
    mi_api_object_callback(geofeather_cb, paras);
    object->shadow = 1;
    object->visible = static_cast<miCBoolean>(mi_eval_boolean(&paras->visibility_flag) & 0xff);
    object->trace = 1;
    object->finalgather = 1;
    object->photons = 1;
    object->bbox_min = {-0.5f, 0.f, -0.1f};
    object->bbox_max = {0.5f, 2.f, 0.1f};
    const miTag tag = mi_api_object_end();
    mi_geoshader_add_result(result, tag);
    if (auto* edited = static_cast<miObject*>(mi_scene_edit(tag))) {
        edited->label = 7;
        mi_scene_edit_end(tag);
    }
    return miTRUE;
}
