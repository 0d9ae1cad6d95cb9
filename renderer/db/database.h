// The scene database: every scene element has a tag. Tags are indices into one table;
// names map to the newest element defined under them.
#pragma once

#include "db/param_layout.h"
#include "host/shader.h"
#include "scene/ast.h"

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace orn {

using ShaderFn = miBoolean (*)(void* result, miState* state, void* paras);
using VersionFn = int (*)();
using InitFn = miBoolean (*)(miState* state, void* paras, miBoolean* inst_init_req);
using ExitFn = miBoolean (*)(miState* state, void* paras);

// The module functions of one shader.
struct ShaderCode {
    std::string name;
    ShaderFn fn = nullptr;
    VersionFn version = nullptr;
    InitFn init = nullptr;
    ExitFn exit = nullptr;
    bool wants_instance_init = false; // set by the per-frame init call
};

struct Declaration {
    miFunction_decl c_record{}; // what mi_api_decl_lookup hands to shaders
    scene::ShaderDecl decl;
    BlockLayout layout;
    std::vector<uint32_t> defaults; // a parameter block holding the declared defaults, zero elsewhere
    size_t result_bytes = 0;
    std::unique_ptr<ShaderCode> code; // empty until a linked module provides it
};

struct Element {
    explicit Element(miScene_types t, std::string n = {}) : type(t), name(std::move(n)) {}
    virtual ~Element() = default;
    // What mi_db_access hands out for this element.
    virtual void* data() { return this; }
    miScene_types type;
    std::string name;
    miTag tag = miNULLTAG;
};

struct StringElement : Element {
    explicit StringElement(std::string t) : Element(miSCENE_STRING), text(std::move(t)) {}
    void* data() override { return text.data(); }
    std::string text;
};

struct DeclElement : Element {
    explicit DeclElement(std::string n) : Element(miSCENE_FUNCTION_DECL, std::move(n)) {}
    void* data() override { return &declaration; }
    Declaration declaration;
};

} // namespace orn

// The renderer's record of one shader instance: its parameter block, the parameters the
// scene connected to other shaders, and the instance's user-pointer slot.
struct miFunction {
    struct Connection {
        size_t offset;
        size_t size;
        miFunction* target;
    };
    const orn::Declaration* decl = nullptr;
    std::vector<uint32_t> storage; // block followed by array elements, 4-byte aligned
    size_t block_size = 0;
    std::vector<Connection> connections;
    void* user_slot = nullptr;
    bool instance_initialised = false;
    std::string name;
    miTag tag = miNULLTAG;

    void* block() { return storage.data(); }
    const Connection* connection_at(const void* param) const {
        const auto* base = reinterpret_cast<const unsigned char*>(storage.data());
        const auto* p = static_cast<const unsigned char*>(param);
        if (p < base || p >= base + block_size) return nullptr;
        const size_t off = size_t(p - base);
        for (const auto& c : connections)
            if (c.offset == off) return &c;
        return nullptr;
    }
};

namespace orn {

struct FunctionElement : Element {
    explicit FunctionElement(std::string n) : Element(miSCENE_FUNCTION, std::move(n)) {}
    void* data() override { return &function; }
    miFunction function;
};

struct MaterialElement : Element {
    explicit MaterialElement(std::string n) : Element(miSCENE_MATERIAL, std::move(n)) {}
    bool opaque = false;
    miTag surface = 0, shadow = 0, photon = 0, volume = 0, environment = 0, displace = 0;
};

enum class LightType { Point = 0, Directional = 1, Spot = 2 };
enum class AreaShape { None, Rectangle, Disc, Sphere };

// Samples an area light takes at every shaded point; larger grids are scaled down to it.
constexpr int kMaxAreaLightSamples = 4096;

struct LightElement : Element {
    explicit LightElement(std::string n) : Element(miSCENE_LIGHT, std::move(n)) {}
    miTag shader = 0;
    LightType light_type = LightType::Point;
    miVector origin{0, 0, 0};
    miVector direction{0, 0, -1};
    float spread = 0.f; // cosine of the spot's outer cone
    AreaShape area = AreaShape::None;
    std::array<float, 7> area_params{};
    int samples_u = 1, samples_v = 1; // their product is at most kMaxAreaLightSamples
    miColor energy{0, 0, 0, 0};       // photon energy
    // The light group its statement names; without one its category's, unless the options place it.
    std::optional<std::string> light_group;
};

struct ObjectElement : Element {
    explicit ObjectElement(std::string n) : Element(miSCENE_OBJECT, std::move(n)) {}
    void* data() override { return &record; }
    bool visible = true, shadow = true, trace = true;
    int label = 0;
    scene::PolygonMesh mesh;
    std::shared_ptr<const scene::HairCurves> hair; // set for a hair object
    scene::SourceLoc loc;
    // What geometry shaders see and edit; `sync_from_record` takes their flags and label over.
    miObject record{};
    // A placeholder's callback builds the geometry the first time a frame reaches the object.
    miApi_object_callback callback = nullptr;
    void* callback_args = nullptr;
    bool built = true;

    void sync_to_record() {
        record.kind = hair ? 2 : 1;
        record.visible = visible;
        record.shadow = shadow;
        record.trace = trace;
        record.finalgather = 1;
        record.photons = 1;
        record.label = miUint(label);
    }
    void sync_from_record() {
        visible = record.visible != 0;
        shadow = record.shadow != 0;
        trace = record.trace != 0;
        label = int(record.label);
    }
};

struct InstanceElement : Element {
    explicit InstanceElement(std::string n) : Element(miSCENE_INSTANCE, std::move(n)) {}
    void* data() override { return &record; }
    miInstance record{};
    std::vector<miTag> materials;
    enum class LightLink { None, Inclusive, Exclusive } light_link = LightLink::None;
    bool has_label = false;
    // Names are resolved when the frame is set up, so elements may be defined in any order.
    std::string item_name;
    std::vector<std::string> material_names;
    std::vector<std::string> light_link_names;
    std::vector<miTag> light_link_tags; // the names resolved when the frame is set up
    std::optional<std::array<double, 16>> transform, motion_transform;
    miTag geometry = miNULLTAG;        // a geometry shader that makes the item
    std::vector<miTag> geometry_items; // what it made, once it has run
    bool geometry_failed = false;
    scene::SourceLoc loc;
};

// What a geometry shader made when it handed over more than one item.
struct GeometryListElement : Element {
    GeometryListElement() : Element(miSCENE_NONE) {}
    std::vector<miTag> items;
};

struct GroupElement : Element {
    explicit GroupElement(std::string n) : Element(miSCENE_GROUP, std::move(n)) {}
    std::vector<std::string> items;
    scene::SourceLoc loc;
};

struct OutputEntry {
    bool is_file = true;
    std::string types, format, filename;
    miTag shader = 0;
    scene::SourceLoc loc;
};

struct CameraElement : Element {
    explicit CameraElement(std::string n) : Element(miSCENE_CAMERA, std::move(n)) {}
    void* data() override { return &record; }
    miCamera record{}; // record.output names an OutputListElement, record.buffertag a FramebufferElement
};

// A camera's output list: files and output shaders, run in order after the frame.
struct OutputListElement : Element {
    OutputListElement() : Element(miSCENE_NONE) {}
    std::vector<OutputEntry> entries;
};

// One output-list entry made by a shader before it is appended to a list.
struct OutputEntryElement : Element {
    OutputEntryElement() : Element(miSCENE_NONE) {}
    OutputEntry entry;
};

// A property value of a frame buffer.
struct FbValue {
    enum class Kind { String, Boolean, Integer, Scalar } kind = Kind::String;
    std::string text;
    bool boolean = false;
    int integer = 0;
    float scalar = 0.f;
};

// A camera's frame-buffer set: named buffers in definition order (their index), each with
// its properties ("datatype", "filtering", "filename", ...).
struct FramebufferElement : Element, mi::shader::Framebuffer {
    FramebufferElement() : Element(miSCENE_FRAMEBUFFER) {}

    // The set as shaders see it through the interface object.
    bool get_index(const char* name, size_t& index) const override {
        const int i = name ? index_of(name) : -1;
        index = i < 0 ? size_t(-1) : size_t(i);
        return i >= 0;
    }
    bool reset() override {
        buffers.clear();
        return true;
    }
    bool set(const char* b, const char* p, const char* v) override {
        if (!b || !p || !v) return false;
        FbValue fv;
        fv.text = v;
        set(b, p, std::move(fv));
        return true;
    }
    bool set(const char* b, const char* p, bool v) override {
        if (!b || !p) return false;
        FbValue fv;
        fv.kind = FbValue::Kind::Boolean;
        fv.boolean = v;
        set(b, p, std::move(fv));
        return true;
    }
    bool set(const char* b, const char* p, int v) override {
        if (!b || !p) return false;
        FbValue fv;
        fv.kind = FbValue::Kind::Integer;
        fv.integer = v;
        set(b, p, std::move(fv));
        return true;
    }
    bool set(const char* b, const char* p, float v) override {
        if (!b || !p) return false;
        FbValue fv;
        fv.kind = FbValue::Kind::Scalar;
        fv.scalar = v;
        set(b, p, std::move(fv));
        return true;
    }
    bool get_buffercount(size_t& count) const override {
        count = buffers.size();
        return true;
    }
    bool get_buffername(size_t i, const char*& name) const override {
        if (i >= buffers.size()) return false;
        name = buffers[i].name.c_str();
        return true;
    }

    struct Buffer {
        std::string name;
        std::vector<std::pair<std::string, FbValue>> properties;
        const FbValue* find(const std::string& property) const {
            for (const auto& p : properties)
                if (p.first == property) return &p.second;
            return nullptr;
        }
        std::string text(const std::string& property, const std::string& fallback = {}) const {
            const FbValue* v = find(property);
            return v && v->kind == FbValue::Kind::String ? v->text : fallback;
        }
        bool flag(const std::string& property, bool fallback) const {
            const FbValue* v = find(property);
            if (!v) return fallback;
            if (v->kind == FbValue::Kind::Boolean) return v->boolean;
            if (v->kind == FbValue::Kind::Integer) return v->integer != 0;
            return fallback;
        }
    };
    std::vector<Buffer> buffers;
    int index_of(const std::string& name) const {
        for (size_t i = 0; i < buffers.size(); ++i)
            if (buffers[i].name == name) return int(i);
        return -1;
    }
    Buffer& buffer(const std::string& name) {
        const int i = index_of(name);
        if (i >= 0) return buffers[size_t(i)];
        buffers.push_back({name, {}});
        return buffers.back();
    }
    void set(const std::string& name, const std::string& property, FbValue value) {
        Buffer& b = buffer(name);
        for (auto& p : b.properties)
            if (p.first == property) {
                p.second = std::move(value);
                return;
            }
        b.properties.emplace_back(property, std::move(value));
    }
};

struct OptionsElement : Element, mi::shader::Options {
    explicit OptionsElement(std::string n) : Element(miSCENE_OPTIONS, std::move(n)) {}
    void* data() override { return &record; }
    miOptions record{}; // record.string_options is this element's own tag
    std::string filter = "box";
    std::vector<std::pair<std::string, scene::Value>> string_options;
    std::vector<scene::LightGroupStmt> light_groups;
    bool light_groups_on = true;
    std::vector<std::string> mattes; // ID mattes: "object", "material", "asset"
    int matte_depth = 6;

    // Named options as shaders set them through the interface object.
    bool set(const char* name, bool value) override { return put(name, value ? 1.0 : 0.0, true); }
    bool set(const char* name, int value) override { return put(name, value, false); }
    bool set(const char* name, float value) override { return put(name, value, false); }
    bool set(const char* name, const char* value) override {
        if (!name || !value) return false;
        scene::Value v;
        v.kind = scene::Value::Kind::String;
        v.text = value;
        slot(name) = v;
        return true;
    }
    bool get(const char* name, bool* value) const override {
        const scene::Value* v = find(name);
        if (!v || !value) return false;
        *value =
            v->kind == scene::Value::Kind::Boolean ? v->boolean : (!v->numbers.empty() && v->numbers[0] != 0);
        return true;
    }
    bool get(const char* name, int* value) const override {
        const scene::Value* v = find(name);
        if (!v || !value || v->numbers.empty()) return false;
        *value = int(v->numbers[0]);
        return true;
    }
    void release() override {}

  private:
    scene::Value& slot(const std::string& name) {
        for (auto& o : string_options)
            if (o.first == name) return o.second;
        string_options.emplace_back(name, scene::Value{});
        return string_options.back().second;
    }
    const scene::Value* find(const char* name) const {
        if (!name) return nullptr;
        for (const auto& o : string_options)
            if (o.first == name) return &o.second;
        return nullptr;
    }
    bool put(const char* name, double value, bool boolean) {
        if (!name) return false;
        scene::Value v;
        if (boolean) {
            v.kind = scene::Value::Kind::Boolean;
            v.boolean = value != 0.0;
        } else {
            v.numbers = {value};
        }
        slot(name) = v;
        return true;
    }
};

class Database {
  public:
    Database();
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    miTag add(std::unique_ptr<Element> element);
    Element* get(miTag tag) const;
    template <typename T> T* get_as(miTag tag, miScene_types type) const {
        Element* e = get(tag);
        return e && e->type == type ? static_cast<T*>(e) : nullptr;
    }
    miTag lookup(const std::string& name) const;
    miTag add_string(const std::string& text);
    size_t size() const;
    // Every element of a type, in definition order.
    std::vector<Element*> all(miScene_types type) const;
    // The names of every element of these types: the known names a mistyped one is matched to.
    std::vector<std::string> names_of(const std::vector<miScene_types>& types) const;

    // The database the renderer functions work on (one scene at a time).
    static Database* current();
    static void set_current(Database* db);

    // Binds a declaration made by a shader (mi_api_funcdecl_end) to the linked modules.
    std::function<bool(Declaration&)> code_binder;
    // Scene-editing shaders of `call` statements, run before each frame.
    std::vector<miTag> calls;
    // Set by mi_api_incremental: existing elements may be redefined.
    bool incremental = false;
    // The placeholder object whose callback is running: redefining an object of its name
    // redefines this one.
    ObjectElement* expanding = nullptr;

  private:
    // Tags index fixed-size chunks whose addresses never move, so render threads read
    // elements without a lock while a shader may still add one.
    static constexpr size_t kChunkBits = 12;
    static constexpr size_t kChunkSize = size_t(1) << kChunkBits;
    static constexpr size_t kMaxChunks = 16384;
    struct Chunk {
        std::unique_ptr<Element> slots[kChunkSize];
    };
    std::unique_ptr<std::atomic<Chunk*>[]> chunks_;
    std::atomic<size_t> count_{0};
    mutable std::mutex write_mutex_;
    mutable std::shared_mutex names_mutex_;
    std::unordered_map<std::string, miTag> names_;
};

// The text a string parameter of `f` holds as the scene set it ("" when unset); nullopt when a
// shader is connected to it, whose value is known only while rendering.
std::optional<std::string> scene_string(const Database& db, const miFunction& f, const FieldLayout& field);

} // namespace orn
