// Conversions between internal (= world), camera, object and raster space.
#include "api/api_common.h"
#include "core/math.h"

using namespace orn;

namespace {

const Matrix& identity() {
    static const Matrix m;
    return m;
}
const Matrix& w2c(miState* s) {
    Frame* f = frame_of(s);
    return f ? f->world().world_to_camera() : identity();
}
const Matrix& c2w(miState* s) {
    Frame* f = frame_of(s);
    return f ? f->world().camera_to_world() : identity();
}
const Matrix& w2o(miState* s) {
    Frame* f = frame_of(s);
    return f ? f->world_to_object(s) : identity();
}
const Matrix& o2w(miState* s) {
    Frame* f = frame_of(s);
    return f ? f->object_to_world(s) : identity();
}

} // namespace

ORN_API void mi_point_to_world(miState*, miVector* r, miVector* v) {
    *r = *v;
}
ORN_API void mi_point_from_world(miState*, miVector* r, miVector* v) {
    *r = *v;
}
ORN_API void mi_vector_to_world(miState*, miVector* r, miVector* v) {
    *r = *v;
}
ORN_API void mi_vector_from_world(miState*, miVector* r, miVector* v) {
    *r = *v;
}
ORN_API void mi_normal_to_world(miState*, miVector* r, miVector* v) {
    *r = *v;
}
ORN_API void mi_normal_from_world(miState*, miVector* r, miVector* v) {
    *r = *v;
}

ORN_API void mi_point_to_camera(miState* s, miVector* r, miVector* v) {
    *r = w2c(s).point(*v);
}
ORN_API void mi_point_from_camera(miState* s, miVector* r, miVector* v) {
    *r = c2w(s).point(*v);
}
ORN_API void mi_vector_to_camera(miState* s, miVector* r, miVector* v) {
    *r = w2c(s).vector(*v);
}
ORN_API void mi_vector_from_camera(miState* s, miVector* r, miVector* v) {
    *r = c2w(s).vector(*v);
}
// Normals go with the inverse transpose of the point transform.
ORN_API void mi_normal_to_camera(miState* s, miVector* r, miVector* v) {
    *r = c2w(s).normal_with_inverse(*v);
}
ORN_API void mi_normal_from_camera(miState* s, miVector* r, miVector* v) {
    *r = w2c(s).normal_with_inverse(*v);
}

ORN_API void mi_point_to_object(miState* s, miVector* r, miVector* v) {
    *r = w2o(s).point(*v);
}
ORN_API void mi_point_from_object(miState* s, miVector* r, miVector* v) {
    *r = o2w(s).point(*v);
}
ORN_API void mi_vector_to_object(miState* s, miVector* r, miVector* v) {
    *r = w2o(s).vector(*v);
}
ORN_API void mi_vector_from_object(miState* s, miVector* r, miVector* v) {
    *r = o2w(s).vector(*v);
}
ORN_API void mi_normal_to_object(miState* s, miVector* r, miVector* v) {
    *r = o2w(s).normal_with_inverse(*v);
}
ORN_API void mi_normal_from_object(miState* s, miVector* r, miVector* v) {
    *r = w2o(s).normal_with_inverse(*v);
}

// Raster space: pixel units, origin at the bottom-left corner, z the camera-space depth.
ORN_API void mi_point_to_raster(miState* s, miVector* r, miVector* v) {
    Frame* f = frame_of(s);
    *r = f && f->camera_record() ? f->raster_of(*v) : *v;
}
