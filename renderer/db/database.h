// The scene database: every scene element has a tag. Tags are indices into one table;
// names map to the newest element defined under them.
#pragma once

#include "db/param_layout.h"
#include "host/shader.h"
#include "scene/ast.h"

#include <memory>
#include <atomic>
#include <mutex>
#include <optional>
#include <array>
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
    scene::ShaderDecl decl;
    BlockLayout layout;
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

struct LightElement : Element {
    explicit LightElement(std::string n) : Element(miSCENE_LIGHT, std::move(n)) {}
    miTag shader = 0;
    LightType light_type = LightType::Point;
    miVector origin{0, 0, 0};
    miVector direction{0, 0, -1};
    float spread = 0.f; // cosine of the spot's outer cone
    AreaShape area = AreaShape::None;
    std::array<float, 7> area_params{};
    int samples_u = 1, samples_v = 1;
};

struct ObjectElement : Element {
    explicit ObjectElement(std::string n) : Element(miSCENE_OBJECT, std::move(n)) {}
    bool visible = true, shadow = true, trace = true;
    int label = 0;
    scene::PolygonMesh mesh;
    scene::SourceLoc loc;
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
    std::optional<std::array<double, 16>> transform;
    scene::SourceLoc loc;
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
    miCamera record{};
    std::vector<OutputEntry> outputs;
};

struct OptionsElement : Element {
    explicit OptionsElement(std::string n) : Element(miSCENE_OPTIONS, std::move(n)) {}
    void* data() override { return &record; }
    miOptions record{};
    std::string filter = "box";
    std::vector<std::pair<std::string, scene::Value>> string_options;
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

    // The database the renderer functions work on (one scene at a time).
    static Database* current();
    static void set_current(Database* db);

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

} // namespace orn
