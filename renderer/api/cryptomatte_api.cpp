// ID mattes for output shaders: which mattes the frame writes, their layers and header
// attributes. An addition of this renderer.
#include "api/api_common.h"

using namespace orn;

namespace {
const IdMattes::Matte* matte_of(miState* state, int matte) {
    Frame* f = frame_of(state);
    if (!f || matte < 0 || matte >= f->id_mattes().count()) return nullptr;
    return &f->id_mattes().matte(matte);
}
} // namespace

ORN_API int mi_cryptomatte_count(miState* state) {
    Frame* f = frame_of(state);
    return f ? f->id_mattes().count() : 0;
}

ORN_API const char* mi_cryptomatte_name(miState* state, int matte) {
    const IdMattes::Matte* m = matte_of(state, matte);
    return m ? m->type_name.c_str() : nullptr;
}

ORN_API const char* mi_cryptomatte_layer(miState* state, int matte, int layer, miUint* image) {
    const IdMattes::Matte* m = matte_of(state, matte);
    if (!m || layer < 0 || size_t(layer) >= m->layers.size()) return nullptr;
    if (image) *image = Frame::kMatteImageBase + miUint(matte) * 64 + miUint(layer);
    return m->layers[size_t(layer)].c_str();
}

ORN_API const char* mi_cryptomatte_attribute(miState* state, int matte, int index, const char** value) {
    const IdMattes::Matte* m = matte_of(state, matte);
    if (!m || index < 0 || size_t(index) >= m->attributes.size()) return nullptr;
    if (value) *value = m->attributes[size_t(index)].second.c_str();
    return m->attributes[size_t(index)].first.c_str();
}
