// orn_MegaTK_pass: prepares a frame for multi-pass output before it renders. It sets two
// renderer options, rebuilds the camera's output list (ratio divisions and the EXR saver)
// and defines the standard and tk pass buffers with their data types, filtering and files.
#include "source/output/orn_MegaTK_pass.h"

#include "common/conventions.h"
#include "common/light_groups.h"
#include "common/tk_buffers.h"

#include <array>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Params = orn_MegaTK_pass_params;

enum OutputMode { kTiffPerPass = 0, kIffPerPass = 1, kSharedExr = 2, kSaverExr = 3 };

// The standard buffer format whose buffer the EXR saver writes instead of the renderer.
constexpr int kSaverFormat = 4;

// Type maps of the ratio entries, matching the tk data type ("rgb_fp" or "rgb_h").
constexpr miUint kTypeMapFloat = 16;
constexpr miUint kTypeMapHalf = 22;

// The path and frame-text limits of the file-name scheme.
constexpr size_t kPathCapacity = 512;
constexpr int kFrameTextMax = 15;

// v + 1 without overflow, for the codes handed on to the saver.
int next_code(int v) {
    return v == INT_MAX ? v : v + 1;
}

// ------------------------------------------------------------------ parameters

struct StandardBuffer {
    const char* name;
    const char* default_filetype; // for format 0 and formats without their own file type
    const char* file_tag;
    const char* datatype;
    bool filtered;          // "Label" holds tags, which must not be blended
    const char* saver_type; // entry of the saver's output type string
    const char* saver_pass; // the saver's parameters for this buffer
    const char* saver_format;
    miBoolean Params::*on;
    miInteger Params::*format;
};

const std::array<StandardBuffer, 5> kStandardBuffers = {{
    {"Z", "zt", ".depth.", "z", true, "+z,", "zPass", "zFormat", &Params::z_pass, &Params::z_format},
    {"Normal", "nt", ".Normal.", "n", true, "+n,", "nPass", "nFormat", &Params::normal_pass,
     &Params::normal_format},
    {"Motion", "mt", ".Motion.", "m", true, "+m,", "mPass", "mFormat", &Params::motion_pass,
     &Params::motion_format},
    {"Label", "tt", ".Label.", "tag", false, "+tag,", "tPass", "tFormat", &Params::label_pass,
     &Params::label_format},
    {"Coverage", "st", ".Coverage.", "coverage", true, "+coverage,", "cPass", "cFormat",
     &Params::coverage_pass, &Params::coverage_format},
}};

// The tk switches in the buffer order k.
const std::array<miBoolean Params::*, orn::kTkBufferCount> kTkSwitches = {
    &Params::shading_pass,           &Params::color_pass,      &Params::diffuse_pass,
    &Params::diffuse_shadow_pass,    &Params::specular_pass,   &Params::specular_shadow_pass,
    &Params::diffuse_occlusion_pass, &Params::indirect_pass,   &Params::ambient_pass,
    &Params::ambient_occlusion_pass, &Params::reflect_pass,    &Params::refract_pass,
    &Params::incandescence_pass,     &Params::depth_pass,      &Params::bent_normal_pass,
    &Params::special_c1_pass,        &Params::special_c2_pass, &Params::special_c3_pass,
    &Params::special_c4_pass,        &Params::special_c5_pass, &Params::special_c6_pass,
    &Params::special_c7_pass,        &Params::special_c8_pass, &Params::special_c9_pass,
    &Params::special_c10_pass,
};

struct StandardSwitch {
    bool on = false;
    int format = 0; // read only when the switch is on
};

// Everything the call needs, evaluated once.
struct Settings {
    std::string file_name, directory, frame_text;
    int output_mode = 0, compression = 0, bit_depth = 0;
    bool filtering = false, contrast_all_buffers = false;
    StandardSwitch rgba;
    std::array<StandardSwitch, kStandardBuffers.size()> standard;
    std::array<bool, orn::kTkBufferCount> tk{};

    const char* mode_extension() const {
        switch (output_mode) {
        case kIffPerPass:
            return "iff";
        case kSharedExr:
        case kSaverExr:
            return "exr";
        default:
            return "tif";
        }
    }
    const char* tk_datatype() const { return output_mode == kSharedExr ? "rgb_h" : "rgb_fp"; }
    miUint type_map() const { return output_mode == kSharedExr ? kTypeMapHalf : kTypeMapFloat; }
    // The renderer's own EXR writer knows fewer methods than the saver; close ones stand in.
    const char* compression_name() const {
        switch (compression) {
        case 0:
            return "none";
        case 1:
        case 2:
        case 3:
            return "zip";
        case 4:
            return "piz";
        case 5:
            return "pxr24";
        default:
            return "rle";
        }
    }
    int saver_format() const { return next_code(bit_depth); }
};

// The frame number with leading zeros up to `digits`; a negative number keeps its sign in
// front of the padded digits. Never longer than kFrameTextMax characters.
std::string frame_text(int frame, int digits) {
    const bool negative = frame < 0;
    const long long magnitude = negative ? -static_cast<long long>(frame) : frame;
    const int width =
        digits < 0 ? 0 : (digits > kFrameTextMax - negative ? kFrameTextMax - negative : digits);
    char text[2 * kFrameTextMax];
    std::snprintf(text, sizeof text, "%s%0*lld", negative ? "-" : "", width, magnitude);
    return std::string(text).substr(0, kFrameTextMax);
}

// The string a string parameter names. Null tag: false without a message.
bool eval_string(miState* state, miTag* param, const char* what, std::string& out) {
    const miTag tag = mi_eval_tag(param);
    if (tag == miNULLTAG) return false;
    const char* text =
        mi_db_type(tag) == miSCENE_STRING ? static_cast<const char*>(mi_db_access(tag)) : nullptr;
    if (text) out = text;
    mi_db_unpin(tag);
    if (!text) mi_warning("orn_MegaTK_pass: %s is not a string", what);
    return text != nullptr;
}

bool read_settings(miState* state, Params* paras, Settings& s) {
    if (!eval_string(state, &paras->file_name, "file_name", s.file_name)) return false;
    if (!eval_string(state, &paras->directory, "directory", s.directory)) return false;
    const int digits = mi_eval_integer(&paras->frame_digits);
    s.frame_text = frame_text(state->camera->frame, digits);
    s.filtering = mi_eval_integer(&paras->filtering) == 1;
    s.contrast_all_buffers = mi_eval_boolean(&paras->contrast_all_buffers) != 0;
    s.bit_depth = mi_eval_integer(&paras->bit_depth);
    s.output_mode = mi_eval_integer(&paras->output_mode);
    s.compression = mi_eval_integer(&paras->compression);
    if ((s.rgba.on = mi_eval_boolean(&paras->rgba_pass) != 0))
        s.rgba.format = mi_eval_integer(&paras->rgba_format);
    for (size_t i = 0; i < kStandardBuffers.size(); ++i) {
        StandardSwitch& sw = s.standard[i];
        if ((sw.on = mi_eval_boolean(&(paras->*kStandardBuffers[i].on)) != 0))
            sw.format = mi_eval_integer(&(paras->*kStandardBuffers[i].format));
    }
    for (int k = 0; k < orn::kTkBufferCount; ++k)
        s.tk[k] = mi_eval_boolean(&(paras->*kTkSwitches[k])) != 0;
    return true;
}

// directory/file_name + tag + frame + "." + extension, cut to the path capacity.
std::string output_path(const Settings& s, const char* tag, const char* extension) {
    char path[kPathCapacity];
    const int n = std::snprintf(path, sizeof path, "%s/%s%s%s.%s", s.directory.c_str(), s.file_name.c_str(),
                                tag, s.frame_text.c_str(), extension);
    if (n < 0 || size_t(n) >= sizeof path)
        mi_warning("orn_MegaTK_pass: output path longer than %zu characters, cut to %s", sizeof path - 1,
                   path);
    return path;
}

std::string shared_exr_path(const Settings& s) {
    return output_path(s, ".single.", s.mode_extension());
}

// ------------------------------------------------------------------ renderer objects

class ShaderInterface {
  public:
    ShaderInterface() : iface_(mi_get_shader_interface(3)) {}
    ~ShaderInterface() {
        if (iface_) iface_->release();
    }
    ShaderInterface(const ShaderInterface&) = delete;
    ShaderInterface& operator=(const ShaderInterface&) = delete;
    mi::shader::Interface* get() const { return iface_; }

  private:
    mi::shader::Interface* iface_;
};

void set_renderer_option(miState* state, const char* name, bool value) {
    ShaderInterface iface;
    mi::shader::Options* options =
        iface.get() ? iface.get()->getOptions(state->options->string_options) : nullptr;
    if (!options) {
        mi_warning("orn_MegaTK_pass: renderer options not available, \"%s\" not set", name);
        return;
    }
    options->set(name, value);
    options->release();
}

// The camera's frame-buffer set, open for editing while this object lives.
class FramebufferEditor {
  public:
    FramebufferEditor(miTag tag, bool filtering)
        : tag_(tag), fb_(iface_.get() ? &iface_.get()->editFramebuffer(tag) : nullptr),
          filtering_(filtering) {}
    ~FramebufferEditor() {
        if (fb_) iface_.get()->releaseFramebuffer(*fb_, tag_);
    }
    FramebufferEditor(const FramebufferEditor&) = delete;
    FramebufferEditor& operator=(const FramebufferEditor&) = delete;

    bool ok() const { return fb_ != nullptr; }
    void reset() { fb_->reset(); }
    void set(const char* buffer, const char* property, const char* value) {
        fb_->set(buffer, property, value);
    }
    void set(const char* buffer, const char* property, const std::string& value) {
        fb_->set(buffer, property, value.c_str());
    }
    void set(const char* buffer, const char* property, bool value) { fb_->set(buffer, property, value); }
    void set_filtering(const char* buffer) { set(buffer, "filtering", filtering_); }

  private:
    ShaderInterface iface_;
    miTag tag_;
    mi::shader::Framebuffer* fb_;
    bool filtering_;
};

// ------------------------------------------------------------------ scene construction

char* copy(const char* text) {
    return mi_mem_strdup(text);
}

struct ParamDecl {
    int type;
    std::string name;
};

// Declares `shader` unless the scene has; the renderer owns every string handed over.
void declare_shader(const char* shader, const std::vector<ParamDecl>& params, int version) {
    miParameter* list = nullptr;
    for (const ParamDecl& p : params) {
        miParameter* decl = mi_api_parameter_decl(p.type, copy(p.name.c_str()), 0);
        list = list ? mi_api_parameter_append(list, decl) : decl;
    }
    miParameter* result = mi_api_parameter_decl(miTYPE_BOOLEAN, copy("result"), 0);
    miFunction_decl* decl = mi_api_funcdecl_begin(result, copy(shader), list);
    if (!decl) {
        mi_warning("orn_MegaTK_pass: declaration of %s refused", shader);
        return;
    }
    decl->version = version;
    mi_api_funcdecl_end();
}

// One shader call being built for the output list. After the first refusal nothing more
// is sent and the call yields no function.
class ShaderCall {
  public:
    // `quote` puts a refused parameter name in single quotes in its message.
    ShaderCall(const char* shader, const char* not_found, bool quote) : shader_(shader), quote_(quote) {
        begun_ = mi_api_function_call(copy(shader)) != miFALSE;
        if (!begun_) mi_warning("orn_MegaTK_pass: %s", not_found);
        refused_ = !begun_;
    }
    ShaderCall(const ShaderCall&) = delete;
    ShaderCall& operator=(const ShaderCall&) = delete;

    void add_string(const char* name, const std::string& value) {
        if (!accept(name)) return;
        // A string parameter takes the string itself, which the renderer then owns.
        char* text = copy(value.c_str());
        send_value(name, miTYPE_STRING, text, int(sizeof text));
    }
    void add_integer(const char* name, int value) {
        if (accept(name)) send_value(name, miTYPE_INTEGER, &value, int(sizeof value));
    }
    void add_boolean(const char* name, bool value) {
        int flag = value ? 1 : 0;
        if (accept(name)) send_value(name, miTYPE_BOOLEAN, &flag, int(sizeof flag));
    }

    // The function tag, or null when the renderer refused the call or one of its parameters.
    miTag finish() {
        if (!begun_) return miNULLTAG;
        // A refused call is still closed, so the next one starts clean; its function is unused.
        const miTag tag = mi_api_function_call_end(miNULLTAG);
        return refused_ ? miNULLTAG : tag;
    }

  private:
    bool accept(const char* name) {
        if (refused_) return false;
        if (mi_api_parameter_name(copy(name))) return true;
        refuse(name);
        return false;
    }
    void send_value(const char* name, int type, void* value, int size) {
        int null_index = 0;
        if (!mi_api_parameter_value(type, value, &null_index, &size)) refuse(name);
    }
    void refuse(const char* name) {
        refused_ = true;
        if (quote_)
            mi_warning("orn_MegaTK_pass: '%s' parameter not created in function %s", name, shader_);
        else
            mi_warning("orn_MegaTK_pass: %s parameter not created in function %s", name, shader_);
    }

    const char* shader_;
    bool quote_;
    bool begun_ = false;
    bool refused_ = false;
};

// Appends an output entry to the camera's output list. A refused call gives no entry:
// an entry without a function could only fail later, after the frame.
void append_output(miCamera* camera, miUint type_map, miUint interp_map, miTag function) {
    if (function == miNULLTAG) return;
    const miTag entry = mi_api_output_function_def(type_map, interp_map, function);
    camera->output = mi_api_function_append(camera->output, entry);
}

// ------------------------------------------------------------------ ratio entries

struct RatioPair {
    int numerator, denominator; // tk buffer positions
};

void declare_math_output_if_absent() {
    if (mi_api_name_lookup(copy("orn_math_output")) != miNULLTAG) return;
    declare_shader("orn_math_output",
                   {{miTYPE_STRING, "buffer_a"}, {miTYPE_STRING, "buffer_b"}, {miTYPE_INTEGER, "operation"}},
                   2);
}

// The ratio pairs the switches call for, in the order they must run.
std::vector<RatioPair> ratio_pairs(const Settings& s) {
    using namespace orn;
    std::vector<RatioPair> pairs;
    if (s.tk[kTkColor] || s.tk[kTkDiffOccl]) pairs.push_back({kTkColor, kTkDiffOccl});
    if (s.tk[kTkDiffuse] || s.tk[kTkShadow]) pairs.push_back({kTkShadow, kTkDiffuse});
    if (s.tk[kTkSpecShd]) pairs.push_back({kTkSpecShd, kTkSpecular});
    if (s.tk[kTkAmbient] || s.tk[kTkAmbOcclus]) pairs.push_back({kTkAmbOcclus, kTkAmbient});
    return pairs;
}

void append_ratio_entries(miCamera* camera, const Settings& s) {
    constexpr int kDivide = 1;
    for (const RatioPair& pair : ratio_pairs(s)) {
        declare_math_output_if_absent();
        ShaderCall call("orn_math_output", "function orn_math_output not found", false);
        call.add_string("buffer_a", orn::kTkBuffers[pair.numerator].name);
        call.add_string("buffer_b", orn::kTkBuffers[pair.denominator].name);
        call.add_integer("operation", kDivide);
        append_output(camera, s.type_map(), s.type_map(), call.finish());
    }
}

// ------------------------------------------------------------------ saver entry

bool saver_writes_standard(const StandardSwitch& sw) {
    return sw.on && sw.format == kSaverFormat;
}
bool saver_writes_rgba(const Settings& s) {
    return s.rgba.on && s.rgba.format == 2;
}

bool needs_saver(const Settings& s) {
    if (s.output_mode == kSaverExr || saver_writes_rgba(s)) return true;
    for (const StandardSwitch& sw : s.standard)
        if (saver_writes_standard(sw)) return true;
    return false;
}

// The saver's parameters in declaration order.
std::vector<ParamDecl> saver_parameters() {
    std::vector<ParamDecl> p = {{miTYPE_STRING, "fileName"},
                                {miTYPE_INTEGER, "compression"},
                                {miTYPE_BOOLEAN, "rgbaPass"},
                                {miTYPE_INTEGER, "rgbaFormat"}};
    for (const StandardBuffer& b : kStandardBuffers) {
        p.push_back({miTYPE_BOOLEAN, b.saver_pass});
        p.push_back({miTYPE_INTEGER, b.saver_format});
    }
    for (const orn::TkBuffer& b : orn::kTkBuffers) {
        const std::string group = b.saver_group;
        p.push_back({miTYPE_BOOLEAN, group + "Pass"});
        p.push_back({miTYPE_STRING, group + "Buffer"});
        p.push_back({miTYPE_INTEGER, group + "Format"});
    }
    return p;
}

// What the renderer hands the saver besides its own images, as an output type string.
std::string saver_type_string(const Settings& s) {
    std::string types;
    for (size_t i = 0; i < kStandardBuffers.size(); ++i)
        if (saver_writes_standard(s.standard[i])) types += kStandardBuffers[i].saver_type;
    if (saver_writes_rgba(s)) types += "+rgba_fp";
    return types;
}

// The buffer the saver reads for group k. Without the specular shadow pass only
// tk_spec_shd exists, and it then holds the plain specular light.
const char* saver_buffer(const Settings& s, int k) {
    if (k == orn::kTkSpecular) return s.tk[orn::kTkSpecShd] ? "tk_specular" : "tk_spec_shd";
    return orn::kTkBuffers[k].name;
}

void append_saver_entry(miCamera* camera, const Settings& s) {
    const std::string path = output_path(s, ".singleTK.", "exr");
    const std::string types = saver_type_string(s);
    if (!mi_api_decl_lookup(copy("orn_OpenEXR_saver")))
        declare_shader("orn_OpenEXR_saver", saver_parameters(), 3);
    miUint type_map = s.type_map(), interp_map = s.type_map();
    mi_api_output_type_identify(&type_map, &interp_map, copy(types.c_str()));

    const int format = s.saver_format();
    ShaderCall call("orn_OpenEXR_saver", "function orn_OpenEXR_saver was not found", true);
    call.add_string("fileName", path);
    call.add_integer("compression", next_code(s.compression));
    call.add_boolean("rgbaPass", saver_writes_rgba(s));
    call.add_integer("rgbaFormat", format);
    for (size_t i = 0; i < kStandardBuffers.size(); ++i) {
        call.add_boolean(kStandardBuffers[i].saver_pass, saver_writes_standard(s.standard[i]));
        call.add_integer(kStandardBuffers[i].saver_format, format);
    }
    for (int k = 0; k < orn::kTkBufferCount; ++k) {
        const std::string group = orn::kTkBuffers[k].saver_group;
        call.add_boolean((group + "Pass").c_str(), s.output_mode == kSaverExr && s.tk[k]);
        call.add_string((group + "Buffer").c_str(), saver_buffer(s, k));
        call.add_integer((group + "Format").c_str(), format);
    }
    append_output(camera, type_map, interp_map, call.finish());
}

// ------------------------------------------------------------------ frame buffers

void define_primary(FramebufferEditor& fb, const Settings& s) {
    if (!s.rgba.on || (s.rgba.format != 1 && s.rgba.format != 2)) return;
    fb.reset();
    if (s.rgba.format == 2) {
        fb.set("color", "datatype", "rgba_fp");
    } else {
        fb.set("color", "filename", shared_exr_path(s));
        fb.set("color", "filetype", "exr");
        fb.set("color", "datatype", s.bit_depth == 1 ? "rgba_fp" : "rgba_h");
        fb.set("color", "compression", s.compression_name());
    }
    fb.set("color", "user", false);
    fb.set("color", "primary", true);
    fb.set_filtering("color");
}

const char* standard_filetype(const StandardBuffer& b, int format) {
    switch (format) {
    case 1:
        return "map";
    case 2:
        return "tif";
    case 3:
        return "exr";
    case 5:
        if (std::string(b.name) == "Coverage") return "null";
        return b.default_filetype;
    default:
        return b.default_filetype;
    }
}

void define_standard(FramebufferEditor& fb, const Settings& s) {
    for (size_t i = 0; i < kStandardBuffers.size(); ++i) {
        const StandardBuffer& b = kStandardBuffers[i];
        const StandardSwitch& sw = s.standard[i];
        if (!sw.on) continue;
        if (sw.format != kSaverFormat) {
            const char* filetype = standard_filetype(b, sw.format);
            if (sw.format == 3) {
                fb.set(b.name, "compression", s.compression_name());
                fb.set(b.name, "filename", shared_exr_path(s));
            } else {
                fb.set(b.name, "filename", output_path(s, b.file_tag, filetype));
            }
            fb.set(b.name, "filetype", filetype);
        }
        fb.set(b.name, "datatype", b.datatype);
        fb.set(b.name, "user", false);
        if (b.filtered) fb.set_filtering(b.name);
    }
}

// The tk buffers to define, in the order they are defined. The specular pair is defined
// ratio first; with only the plain specular switch, tk_spec_shd alone carries it.
std::vector<int> tk_definitions(const Settings& s) {
    using namespace orn;
    const auto& on = s.tk;
    std::vector<int> order;
    if (on[kTkShading]) order.push_back(kTkShading);
    if (on[kTkColor] || on[kTkDiffOccl]) order.push_back(kTkColor);
    if (on[kTkDiffuse] || on[kTkShadow]) order.insert(order.end(), {kTkDiffuse, kTkShadow});
    if (on[kTkSpecShd])
        order.insert(order.end(), {kTkSpecShd, kTkSpecular});
    else if (on[kTkSpecular])
        order.push_back(kTkSpecShd);
    if (on[kTkDiffOccl] || on[kTkColor]) order.push_back(kTkDiffOccl);
    if (on[kTkIndirect]) order.push_back(kTkIndirect);
    if (on[kTkAmbient] || on[kTkAmbOcclus]) order.insert(order.end(), {kTkAmbient, kTkAmbOcclus});
    for (int k = kTkReflect; k < kTkBufferCount; ++k)
        if (on[k]) order.push_back(k);
    return order;
}

void define_tk(FramebufferEditor& fb, const Settings& s) {
    const bool renderer_writes = s.output_mode != kSaverExr;
    for (int k : tk_definitions(s)) {
        const orn::TkBuffer& b = orn::kTkBuffers[k];
        if (renderer_writes) {
            const std::string path = s.output_mode == kSharedExr
                                         ? shared_exr_path(s)
                                         : output_path(s, b.file_tag, s.mode_extension());
            fb.set(b.name, "filename", path);
            fb.set(b.name, "filetype", s.mode_extension());
            if (s.output_mode == kSharedExr && k == orn::kTkShading)
                fb.set(b.name, "compression", s.compression_name());
        }
        fb.set(b.name, "datatype", s.tk_datatype());
        fb.set(b.name, "user", true);
        if (k != orn::kTkRefract || renderer_writes) fb.set(b.name, "useopacity", true);
        fb.set_filtering(b.name);
    }
}

// One buffer per light group of the frame and one for the rest, each group's share of the
// colour, going where the tk buffers go. In the shared EXR file they take the colour's precision,
// so that they add up to it.
void define_light_groups(FramebufferEditor& fb, const Settings& s, miState* state) {
    const bool renderer_writes = s.output_mode != kSaverExr;
    for (const std::string& group : orn::light_group_layer_names(state)) {
        const std::string name = orn::kLightGroupBuffer + group;
        if (renderer_writes) {
            const std::string tag = ".lightgroup_" + group + ".";
            fb.set(name.c_str(), "filename",
                   s.output_mode == kSharedExr ? shared_exr_path(s)
                                               : output_path(s, tag.c_str(), s.mode_extension()));
            fb.set(name.c_str(), "filetype", s.mode_extension());
        }
        const bool half = s.output_mode == kSharedExr && s.bit_depth != 1;
        fb.set(name.c_str(), "datatype", half ? "rgb_h" : "rgb_fp");
        fb.set(name.c_str(), "user", true);
        fb.set_filtering(name.c_str());
    }
}

} // namespace

ORN_SHADER_VERSION(orn_MegaTK_pass, 1)
ORN_SHADER miBoolean orn_MegaTK_pass(void*, miState* state, orn_MegaTK_pass_params* paras) {
    if (!state->camera || !state->options) {
        mi_warning("orn_MegaTK_pass: called without a camera or options; nothing prepared");
        return miFALSE;
    }
    Settings s;
    if (!read_settings(state, paras, s)) return miFALSE;

    set_renderer_option(state, "contrast all buffers", s.contrast_all_buffers);
    set_renderer_option(state, "rast useopacity", true);

    mi_api_function_delete(&state->camera->output);
    append_ratio_entries(state->camera, s);
    if (needs_saver(s)) append_saver_entry(state->camera, s);

    FramebufferEditor fb(state->camera->buffertag, s.filtering);
    if (!fb.ok()) {
        mi_warning("orn_MegaTK_pass: the camera's frame buffers cannot be edited");
        return miFALSE;
    }
    define_primary(fb, s);
    define_standard(fb, s);
    define_tk(fb, s);
    define_light_groups(fb, s, state);
    return miTRUE;
}
