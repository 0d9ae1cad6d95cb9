// The renderer interface as the shaders see it: value types, the shading state and the
// records it points to, the renderer functions, and the interface object.
// Both the shader module and the renderer include this one header.
#pragma once

#include <cstddef>
#include <cstdint>

// ------------------------------------------------------------------ value types

typedef int miBoolean;
typedef unsigned char miCBoolean;
typedef int miInteger;
typedef unsigned int miUint;
typedef unsigned short miUshort;
typedef float miScalar;
typedef unsigned int miTag;
typedef float miMatrix[16];

enum { miFALSE = 0, miTRUE = 1 };
#ifndef miNULLTAG
#define miNULLTAG 0u
#endif

struct miColor {
    miScalar r, g, b, a;
};
struct miVector {
    miScalar x, y, z;
};
struct miRange {
    miScalar min, max;
};

static_assert(sizeof(miColor) == 16, "colour is four 32-bit floats");
static_assert(sizeof(miVector) == 12, "vector is three 32-bit floats");
static_assert(sizeof(miBoolean) == 4 && sizeof(miTag) == 4, "booleans and tags are 32-bit");

// Ray types by the renderer's numbers.
enum miRay_type {
    miRAY_EYE = 0,
    miRAY_TRANSPARENT = 1,
    miRAY_REFLECT = 2,
    miRAY_REFRACT = 3,
    miRAY_LIGHT = 4,
    miRAY_SHADOW = 5,
    miRAY_ENVIRONMENT = 6,
    miRAY_NONE = 7,
    miPHOTON_ABSORB = 8,
    miPHOTON_LIGHT = 9,
    miPHOTON_REFLECT_SPECULAR = 10,
    miPHOTON_REFLECT_GLOSSY = 11,
    miPHOTON_REFLECT_DIFFUSE = 12,
    miPHOTON_TRANSMIT_SPECULAR = 13,
    miPHOTON_TRANSMIT_GLOSSY = 14,
    miPHOTON_TRANSMIT_DIFFUSE = 15,
    miRAY_DISPLACE = 16,
    miRAY_OUTPUT = 17,
    miPHOTON_SCATTER_VOLUME = 18,
    miPHOTON_TRANSPARENT = 19,
    miRAY_FINALGATHER = 20,
    miRAY_LM_VERTEX = 21,
    miRAY_LM_MESH = 22,
    miPHOTON_EMIT_GLOBILLUM = 23,
    miPHOTON_EMIT_CAUSTIC = 24,
    miRAY_PROBE = 25,
    miRAY_HULL = 26,
    miPHOTON_EMIT_SHADOW = 27,
    miRAY_NO_TYPES = 28
};

// Flags of mi_trace_probes.
enum miProbe_flags {
    miPROBE_DISTANCE_ONLY = 1 // only the distance and whether something was hit are read
};

// Database element types answered by mi_db_type.
enum miScene_types {
    miSCENE_NONE = 0,
    miSCENE_FUNCTION = 1,
    miSCENE_FUNCTION_DECL = 2,
    miSCENE_MATERIAL = 3,
    miSCENE_LIGHT = 4,
    miSCENE_OBJECT = 5,
    miSCENE_INSTANCE = 6,
    miSCENE_GROUP = 7,
    miSCENE_CAMERA = 8,
    miSCENE_OPTIONS = 9,
    miSCENE_STRING = 10,
    miSCENE_IMAGE = 11,
    miSCENE_FRAMEBUFFER = 12
};

// mi_query request codes the shaders use.
enum miQ_type {
    miQ_INST_ITEM = 7,
    miQ_LIGHT_TYPE = 23,
    miQ_LIGHT_ORIGIN = 31,
    miQ_LIGHT_DIRECTION = 32,
    miQ_LIGHT_SPREAD = 40,
    miQ_MTL_SHADER = 43,
    miQ_MTL_SHADOW = 45,
    miQ_FUNC_USERPTR = 51,
    miQ_NUM_TEXTURES = 82,
    miQ_INST_MATERIAL = 83,
    miQ_PIXEL_SAMPLE_FAILED = 116,
    miQ_NUM_BUMPS = 137,
    miQ_FINE_SAMPLE = 142,
    miQ_HAIR_INTEGER = 159
};

struct miImg_image; // an output image, opened with mi_output_image_open
struct miFunction;  // the renderer's record of one shader instance
struct miParameter; // a parameter declaration being built with mi_api_parameter_decl

// A shader declaration; callers of mi_api_funcdecl_begin set its version before
// mi_api_funcdecl_end.
struct miFunction_decl {
    int version;
};

// Parameter types of mi_api_parameter_decl and mi_api_parameter_value.
enum miParam_type {
    miTYPE_BOOLEAN = 0,
    miTYPE_INTEGER,
    miTYPE_SCALAR,
    miTYPE_STRING,
    miTYPE_COLOR,
    miTYPE_VECTOR,
    miTYPE_TRANSFORM,
    miTYPE_SHADER,
    miTYPE_SCALAR_TEX,
    miTYPE_COLOR_TEX,
    miTYPE_VECTOR_TEX,
    miTYPE_LIGHT,
    miTYPE_STRUCT,
    miTYPE_ARRAY,
    miTYPE_MATERIAL,
    miTYPE_GEOMETRY,
    miTYPE_DATA
};

// Standard output images: numbers of mi_output_image_open; a named frame buffer with index
// i is image i + miRC_IMAGE_USER.
enum miImage_number {
    miRC_IMAGE_RGBA = 0,
    miRC_IMAGE_Z = 1,
    miRC_IMAGE_N = 2,
    miRC_IMAGE_M = 3,
    miRC_IMAGE_TAG = 4,
    miRC_IMAGE_COVERAGE = 5,
    miRC_IMAGE_USER = 12
};

// ------------------------------------------------------------------ records

// Renderer options. `shadow`: 0 off, 'l' on, 's' segments, 'e' sorted. `scanline`: 0 off,
// 1 on, 'r' rasteriser.
struct miOptions {
    miBoolean trace;
    int min_samples;
    int max_samples;
    int reflection_depth;
    int refraction_depth;
    int trace_depth;
    char shadow;
    char scanline;
    char filter;
    char pad0;
    miScalar filter_size_x;
    miScalar filter_size_y;
    miColor contrast;
    int photon_reflection_depth;
    int photon_refraction_depth;
    int photon_trace_depth;
    miBoolean finalgather;
    miBoolean caustic;
    miBoolean globillum;
    miTag string_options; // the options' named (string) options, for Interface::getOptions
    char reserved[584];
    // Set: lenses trace one ray per eye sample except where mi_query(miQ_PIXEL_SAMPLE_FAILED)
    // answers true. Lens shaders read this word at its fixed place in the record.
    miUint lens_single_ray;
};
static_assert(offsetof(miOptions, lens_single_ray) == 664, "the lens options word sits at byte 664");

struct miCamera {
    miBoolean orthographic;
    miScalar focal;
    miScalar aperture;
    miScalar aspect;
    miRange clip;
    int x_resolution;
    int y_resolution;
    int window_xl, window_yl, window_xh, window_yh;
    miScalar x_offset, y_offset;
    int frame;
    miScalar frame_time;
    miTag output; // the output list
    miTag lens;
    miTag environment;
    miTag volume;
    miTag buffertag; // the camera's frame-buffer set
};

struct miInstance {
    miMatrix tf_global_to_local;
    miMatrix tf_local_to_global;
    miTag item;
    miTag material;
    miUint label;
    miBoolean visible;
    miBoolean shadow;
    miBoolean trace;
    miTag parent;       // the scene instance this record was made from
    int mtl_array_size; // 0: `material` is one material, not a list
    char reserved[105];
    // The instance's material replaces the materials its object's polygons name.
    miCBoolean material_override;
    // World to local space at the end of the shutter interval for an instance with a motion
    // transform; the identity for one without.
    miMatrix motion_transform;
};
// Scene editors set the override flag by its place in the record.
static_assert(offsetof(miInstance, material_override) == 265, "instance override flag moved");

// An object record, as geometry shaders fill it between mi_api_object_begin and _end or
// between mi_scene_edit and _end. Geometry code sets its flags by their place in the record.
struct miObject {
    miUint kind;            // what the object holds: 0 nothing yet, 1 polygons, 2 hair
    miTag userdata;
    miUint reserved0[2];
    miCBoolean shadow;      // byte 16: casts shadows
    miCBoolean visible;     // byte 17: seen by eye rays
    miCBoolean trace;       // byte 18: seen by reflection, refraction and transparency rays
    miCBoolean finalgather; // byte 19: seen by final-gather rays
    miVector bbox_min;      // object space; a placeholder's box until its callback builds it
    miVector bbox_max;
    char reserved1[71];
    miCBoolean photons; // byte 115: takes part in photon tracing
    char reserved2[36];
    miUint label; // byte 152: the label hits on this object report
};
static_assert(offsetof(miObject, visible) == 17 && offsetof(miObject, photons) == 115 &&
                  offsetof(miObject, label) == 152,
              "geometry shaders set object fields by their byte offsets");

// Builds a placeholder object's geometry when the renderer first needs it; `tag` is the
// placeholder, `args` what its geometry shader registered.
typedef miBoolean (*miApi_object_callback)(miTag tag, void* args);

typedef miUint miGeoIndex;

// The hair record of the object being defined, between mi_api_hair_begin and _end.
struct miHair_list {
    miInteger degree; // 1 linear, 2 quadratic, 3 cubic segments
    miScalar radius;  // radius of hairs that carry no 'r' data
};

// The shading state: one per ray, chained to the state of the ray that spawned it.
struct miState {
    int version;
    miTag camera_inst;       // instance of the camera
    miCamera* camera;        // camera record of the frame
    miOptions* options;      // options in effect for this ray; shaders may swap in a private copy
    int thread;              // render thread number
    miState* parent;         // state of the ray that cast this one; null for eye rays
    miState* child;          // state of the last ray traced from this one
    int type;                // miRay_type of this ray
    int qmc_instance;        // sample sequence offset for this ray-tree position
    int reflection_level;    // reflections on the way to this ray
    int refraction_level;    // refractions and transparency on the way to this ray
    miVector org;            // ray origin, internal (world) space
    miVector dir;            // ray direction, unit length
    double dist;             // hit distance; for light rays the distance to the light sample
    double time;             // shutter time of the ray
    miScalar ior;            // index of refraction on the far side of the hit
    miScalar ior_in;         // index of refraction the ray travels in
    miTag material;          // material of the hit
    miTag volume;            // volume shader the ray travels through
    miTag environment;       // environment shader for rays that miss
    miTag refraction_volume; // volume shader behind a refracting surface
    miUint label;            // label of the hit instance
    miTag instance;          // hit instance (for light rays: the light instance is below)
    miTag light_instance;    // light instance during light and shadow rays
    void* pri;               // hit primitive, null for a miss
    int pri_idx;             // triangle number within the primitive
    miScalar bary[4];        // barycentric coordinates of the hit
    miVector point;          // hit point
    miVector normal;         // shading normal, faces the ray
    miVector normal_geom;    // geometric normal, faces the ray
    miCBoolean inv_normal;   // true when the normals were flipped towards the ray (a back face)
    miCBoolean pad0[3];
    double dot_nd;         // -dot(normal, dir) before flipping, so 0..1 on the front side
    double shadow_tol;     // offset that keeps secondary rays off their own surface
    miVector* tex_list;    // texture coordinates, one per texture space
    miVector* bump_x_list; // bump basis u vectors, one per bump space
    miVector* bump_y_list; // bump basis v vectors
    miVector tex;          // first texture coordinate
    miVector motion;       // motion vector of the hit point
    miVector* derivs;      // surface derivatives dP/du, dP/dv
    miFunction* shader;    // shader instance being called
    miScalar raster_x;     // raster position of the eye sample
    miScalar raster_y;
    void* user; // shader's per-ray user pointer
    int user_size;
    void* cache; // renderer-private data of this state
};

// ------------------------------------------------------------------ interface object

namespace mi {
namespace shader {

// A set of lights around one point, for LightIterator.
class LightList {
  public:
    virtual ~LightList() = default;
    virtual size_t get_number_of_lights() const = 0;
    virtual miTag get_light_tag(size_t i) const = 0;
    // Draw the next sample of light i; false when the light has no samples left.
    virtual miBoolean sample(size_t i) = 0;
    virtual void get_contribution(miColor* c) const = 0;
    virtual void get_contribution(miScalar* c) const = 0;
    virtual const miVector& get_direction() const = 0;
    virtual miScalar get_dot_nl() const = 0;
    virtual miInteger get_number_of_samples() const = 0;
    virtual void release() = 0;
};

// Renderer options accessed by name.
class Options {
  public:
    virtual ~Options() = default;
    virtual bool set(const char* name, bool value) = 0;
    virtual bool set(const char* name, int value) = 0;
    virtual bool set(const char* name, float value) = 0;
    virtual bool set(const char* name, const char* value) = 0;
    virtual bool get(const char* name, bool* value) const = 0;
    virtual bool get(const char* name, int* value) const = 0;
    virtual void release() = 0;
};

// A camera's frame-buffer set.
class Framebuffer {
  public:
    virtual ~Framebuffer() = default;
    // Index of the named buffer, or -1 in `index` and false when absent.
    virtual bool get_index(const char* name, size_t& index) const = 0;
    virtual bool reset() = 0;
    virtual bool set(const char* buffer, const char* property, const char* value) = 0;
    virtual bool set(const char* buffer, const char* property, bool value) = 0;
    virtual bool set(const char* buffer, const char* property, int value) = 0;
    virtual bool set(const char* buffer, const char* property, float value) = 0;
    virtual bool get_buffercount(size_t& count) const = 0;
    virtual bool get_buffername(size_t index, const char*& name) const = 0;
};

class Interface {
  public:
    virtual Options* getOptions(miTag options_tag) = 0;
    virtual LightList* createLightList(miState* state, const miVector* axis = nullptr,
                                       miScalar spread_cos = 0.f, const miTag* lights = nullptr,
                                       miUint n_lights = 0) = 0;
    virtual const Framebuffer& accessFramebuffer(miTag buffertag) = 0;
    virtual void releaseFramebuffer(const Framebuffer& fb, miTag buffertag) = 0;
    virtual Framebuffer& editFramebuffer(miTag buffertag) = 0;
    virtual void release() = 0;

  protected:
    virtual ~Interface() = default;
};

} // namespace shader
} // namespace mi

// ------------------------------------------------------------------ functions

extern "C" {

#define ORN_FN(ret, name, params, args) ret name params;
#include "host/functions.def"
#undef ORN_FN

// Messages: printf-style. The n-variants take a message number first.
void mi_fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void mi_nfatal(int number, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void mi_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void mi_nerror(int number, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void mi_warning(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void mi_nwarning(int number, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void mi_info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void mi_progress(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void mi_debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void mi_vdebug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Given to the module by the renderer right after loading it.
void miSetModuleHandle(void* handle);
}

#define mi_eval_boolean(p) (*(miBoolean*)mi_eval(state, (void*)(p)))
#define mi_eval_integer(p) (*(miInteger*)mi_eval(state, (void*)(p)))
#define mi_eval_scalar(p) (*(miScalar*)mi_eval(state, (void*)(p)))
#define mi_eval_vector(p) ((miVector*)mi_eval(state, (void*)(p)))
#define mi_eval_color(p) ((miColor*)mi_eval(state, (void*)(p)))
#define mi_eval_tag(p) (*(miTag*)mi_eval(state, (void*)(p)))

// ------------------------------------------------------------------ light iteration

namespace mi {
namespace shader {

// Walks the lights of a list around the current point; each light is sampled with
// `(*it)->sample()` until it answers false.
class LightIterator {
  public:
    LightIterator(miState* state, const miTag* lights = nullptr, miUint n_lights = 0, miUint version = 3)
        : iface_(mi_get_shader_interface(int(version))),
          list_(iface_ ? iface_->createLightList(state, &state->normal, 0.f, lights, n_lights) : nullptr) {}
    LightIterator(miState* state, const miVector& axis, miScalar spread_cos, const miTag* lights = nullptr,
                  miUint n_lights = 0, miUint version = 3)
        : iface_(mi_get_shader_interface(int(version))),
          list_(iface_ ? iface_->createLightList(state, &axis, spread_cos, lights, n_lights) : nullptr) {}
    ~LightIterator() {
        if (list_) list_->release();
        if (iface_) iface_->release();
    }
    LightIterator(const LightIterator&) = delete;
    LightIterator& operator=(const LightIterator&) = delete;

    bool at_end() const { return !list_ || current_ >= list_->get_number_of_lights(); }
    LightIterator& operator++() {
        ++current_;
        return *this;
    }
    miTag operator*() const { return list_->get_light_tag(current_); }
    size_t count() const { return list_ ? list_->get_number_of_lights() : 0; }

    // Per-light calls, for the current light.
    miBoolean sample() { return list_->sample(current_); }
    void get_contribution(miColor* c) const { list_->get_contribution(c); }
    void get_contribution(miScalar* c) const { list_->get_contribution(c); }
    const miVector& get_direction() const { return list_->get_direction(); }
    miScalar get_dot_nl() const { return list_->get_dot_nl(); }
    miInteger get_number_of_samples() const { return list_->get_number_of_samples(); }

    // Supports `iter->sample()` as well as `iter.sample()`.
    LightIterator* operator->() { return this; }

  private:
    Interface* iface_;
    LightList* list_;
    size_t current_ = 0;
};

} // namespace shader
} // namespace mi
