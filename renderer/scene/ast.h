// Plain description of a scene as read from the scene language. Nothing here refers to renderer objects:
// the database turns these statements into its own records.
#pragma once

#include "scene/hair.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace orn::scene {

struct SourceLoc {
    std::string file;
    int line = 0;
    int col = 0;
};

struct Diagnostic {
    SourceLoc loc;
    std::string message;
    // "file:line:col: error: message" (line and column are left out when unknown).
    std::string str() const;
};

enum class ParamType {
    Boolean,
    Integer,
    Scalar,
    String,
    Color,
    Vector,
    Transform,
    Shader,
    ColorTexture,
    ScalarTexture,
    VectorTexture,
    Light,
    Material,
    Geometry,
    Data,
    Struct
};

// The type as written in a declaration ("color texture", "struct", ...).
std::string to_string(ParamType type);

struct Value;

struct ParamDecl {
    std::string name;
    ParamType type = ParamType::Scalar;
    bool is_array = false;
    std::vector<ParamDecl> members; // struct members
    // `default v` in the declaration: what an instance gets when the scene does not set the parameter.
    std::shared_ptr<const Value> default_value;
    SourceLoc loc;
};

struct ShaderDecl {
    std::string name;
    ParamDecl result; // unnamed; members are set for struct results
    std::vector<ParamDecl> params;
    int version = 0;
    std::vector<std::string> apply;
    SourceLoc loc;
};

struct Value {
    enum class Kind { Numbers, Boolean, String, Connection, Array, Struct };
    Kind kind = Kind::Numbers;
    std::vector<double> numbers;
    bool boolean = false;
    std::string text;                                   // string value, or the name of the connected shader
    std::vector<Value> elements;                        // array
    std::vector<std::pair<std::string, Value>> members; // struct
    SourceLoc loc;
};

// One entry of a parameter list. Consecutive numbers form one Numbers value ("color" 1 1 1 -> {1, 1, 1});
// on/off/true/false give a Boolean.
struct ParamValue {
    std::string name;
    Value value;
    SourceLoc loc;
};

// `= "name"` names a shader instance. An inline shader (`"decl" (params)`) becomes an anonymous
// ShaderInstanceStmt, emitted just before the statement that uses it and named "<owner>:<slot>:<n>", where n
// counts the anonymous shaders of the whole parse from 1; the reference then holds that name.
struct ShaderRef {
    std::string instance_name;
    SourceLoc loc;
};

struct ShaderInstanceStmt {
    std::string name, decl_name;
    std::vector<ParamValue> params;
    SourceLoc loc;
};

struct MaterialStmt {
    std::string name;
    bool opaque = false;
    ShaderRef surface;
    std::optional<ShaderRef> shadow, photon, volume, environment, displace;
    SourceLoc loc;
};

struct LightStmt {
    std::string name;
    ShaderRef shader;
    std::optional<std::array<float, 3>> origin, direction;
    std::optional<float> spread;
    std::array<float, 3> energy{0, 0, 0}; // photon energy; lights without it emit no photons
    enum class Area { None, Rectangle, Disc, Sphere } area = Area::None;
    // rectangle: edge u (3), edge v (3); disc: normal (3), radius; sphere: radius
    std::array<float, 7> area_params{};
    int samples_u = 1, samples_v = 1; // "samples n" or "samples u v", or the counts after the area shape
    std::optional<ShaderRef> emitter;
    std::optional<std::string> light_group; // "lightgroup NAME": the layer its light goes to
    SourceLoc loc;
};

struct PolygonMesh {
    std::vector<float> P;               // 3 floats per vertex
    std::vector<float> N;               // 3 per vertex, or empty
    std::vector<std::vector<float>> T;  // texture spaces, each 3 floats per vertex
    std::vector<float> dPdu, dPdv;      // bump basis ("u i b j" vertex refs): 3 per vertex, or empty
    std::vector<float> motion;          // "m i" vertex refs: 3 per vertex, or empty
    std::vector<uint32_t> triangles;    // 3 vertex indices per triangle (polygons are fan-triangulated)
    std::vector<int> triangle_material; // per triangle: index into `materials`, -1 for none
    std::vector<std::string> materials; // material names that polygons name, each once
};

struct ObjectStmt {
    std::string name;
    bool visible = true, shadow = true, trace = true;
    int tag_label = 0;
    PolygonMesh mesh;
    std::optional<HairData> hair;
    std::optional<std::array<double, 16>> transform;
    std::vector<std::string> files; // resolved paths of its `file` statements, in order
    SourceLoc loc;
};

struct InstanceStmt {
    std::string name, item;            // no item when a geometry shader makes it
    std::optional<ShaderRef> geometry; // `geometry "decl" (params)` or `geometry = "shader"`
    std::optional<std::array<double, 16>> transform, motion_transform; // world to object, as read
    std::vector<std::string> materials; // `material "m"` or `material ["a", "b"]`
    int label = 0;
    bool has_label = false;
    enum class LightLink { None, Inclusive, Exclusive } light_link = LightLink::None;
    std::vector<std::string> light_link_names;
    std::optional<bool> visible, shadow, trace;
    SourceLoc loc;
};

struct InstgroupStmt {
    std::string name;
    std::vector<std::string> items;
    SourceLoc loc;
};

struct OutputStmt {
    enum class Kind { File, Shader } kind = Kind::File;
    std::string types; // "rgba", "+z", "rgb,z" ... as written
    std::string format;
    std::string filename;
    ShaderRef shader;
    SourceLoc loc;
};

// A frame buffer of the camera: `framebuffer "name" ("property" value, ...)`.
struct FramebufferStmt {
    std::string name;
    std::vector<ParamValue> properties;
    SourceLoc loc;
};

struct CameraStmt {
    std::string name;
    std::vector<OutputStmt> outputs;
    std::vector<FramebufferStmt> framebuffers;
    double focal = 1, aperture = 1, aspect = 1;
    int xres = 256, yres = 256;
    double clip_near = 0.001, clip_far = 1e6;
    int frame = 1;
    double frame_time = 0;
    std::optional<std::array<double, 2>> offset;
    std::optional<std::array<int, 4>> window; // xl yl xh yh
    std::optional<ShaderRef> lens, environment, volume;
    bool orthographic = false;
    bool has_focal = false, has_aperture = false, has_aspect = false, has_resolution = false;
    bool has_clip = false, has_frame = false;
    SourceLoc loc;
};

// `lightgroup "name" "light"` or `lightgroup "name" ["a", "b"]` in options: lights (or light
// instances) whose share of the colour gets a layer of its own.
struct LightGroupStmt {
    std::string name;
    std::vector<std::string> lights;
    SourceLoc loc;
};

// The most ranks an ID matte keeps per pixel.
constexpr int kMaxMatteDepth = 32;

struct OptionsStmt {
    std::string name;
    int samples_min = -2, samples_max = 0;
    bool samples_given = false; // the scene has a `samples` statement
    std::string filter = "box";
    double filter_w = 1, filter_h = 1;
    bool trace = true;
    int reflection_depth = 2, refraction_depth = 2, trace_depth = 4;
    std::string shadow = "on";   // off on sort segments
    std::string scanline = "on"; // on off rasterizer rapid
    std::array<double, 4> contrast{0.1, 0.1, 0.1, 0.1};
    std::vector<std::pair<std::string, Value>> string_options; // `"name" value` generic options
    std::vector<LightGroupStmt> light_groups;
    bool light_groups_on = true;     // `lightgroups off`: no light-group layers at all
    std::vector<std::string> mattes; // `cryptomatte`: "object", "material", "asset", in that order given
    int matte_depth = 6;             // ranks per pixel and matte
    SourceLoc loc;
};

struct LinkStmt {
    std::string module;
    SourceLoc loc;
};

struct VerboseStmt {
    bool on = false;
    int level = 0;
    SourceLoc loc;
};

// `call "shader"`: a scene-editing shader run before each frame.
struct CallStmt {
    std::string shader;
    SourceLoc loc;
};

// `color texture "name" "file"` (or `scalar texture`): an image file the scene's shaders look
// up by the texture's name.
struct TextureStmt {
    bool scalar = false;
    std::string name;
    std::string file; // as written
    std::string path; // resolved against the directory of the scene file that names it
    SourceLoc loc;
};

struct RenderStmt {
    std::string root, camera_instance, options;
    SourceLoc loc;
};

using Statement =
    std::variant<LinkStmt, ShaderDecl, ShaderInstanceStmt, MaterialStmt, LightStmt, ObjectStmt, InstanceStmt,
                 InstgroupStmt, CameraStmt, OptionsStmt, VerboseStmt, CallStmt, TextureStmt, RenderStmt>;

} // namespace orn::scene
