#include "scene/parser.h"

#include "scene/hair.h"
#include "scene/lexer.h"
#include "scene/obj_loader.h"
#include "scene/params.h"
#include "scene/placement.h"
#include "scene/polygon_group.h"
#include "scene/token_stream.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <new>
#include <sstream>
#include <utility>

namespace orn::scene {

namespace {

namespace fs = std::filesystem;

constexpr int kMaxIncludeDepth = 32;
// Files read for one scene, counting every $include again: a few files that each include the
// next several times would otherwise multiply into billions of reads.
constexpr int kMaxIncludedFiles = 10000;

bool read_file(const fs::path& path, std::string& text) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream buffer;
    buffer << file.rdbuf();
    text = buffer.str();
    return static_cast<bool>(file) || file.eof();
}

std::string in_quotes(const std::string& s) {
    return '"' + s + '"';
}

// State shared by a scene file and the files it includes.
struct ParseSession {
    const ParseOptions& options;
    std::vector<Statement>& out;
    int anonymous_shaders = 0;
    int included_files = 0;
};

class FileParser {
  public:
    FileParser(ParseSession& session, std::string text, const std::string& file, int depth)
        : session_(session), in_(Lexer(std::move(text), file)), dir_(fs::path(file).parent_path()),
          depth_(depth) {}

    void run() {
        while (!in_.at(Token::Kind::End))
            statement();
    }

  private:
    using StatementFn = void (FileParser::*)(const SourceLoc&);

    void statement();
    void include(const SourceLoc& loc);
    void link(const SourceLoc& loc);
    void verbose(const SourceLoc& loc);
    void declare(const SourceLoc& loc);
    void shader(const SourceLoc& loc);
    void material(const SourceLoc& loc);
    void light(const SourceLoc& loc);
    void object(const SourceLoc& loc);
    void instance(const SourceLoc& loc);
    void instgroup(const SourceLoc& loc);
    void camera(const SourceLoc& loc);
    void options(const SourceLoc& loc);
    void render(const SourceLoc& loc);
    void call(const SourceLoc& loc);
    void color_tex(const SourceLoc& loc) { texture(loc, false); }
    void scalar_tex(const SourceLoc& loc) { texture(loc, true); }
    void texture(const SourceLoc& loc, bool scalar);

    void camera_output(CameraStmt& cam, const SourceLoc& loc);
    void light_area(LightStmt& light, LightStmt::Area area, int count, const std::string& keyword);
    void object_file(ObjectStmt& obj, const SourceLoc& loc);
    void object_hair(ObjectStmt& obj, const SourceLoc& loc);
    std::vector<HairInfo> hair_infos(bool per_vertex, const std::string& object);
    void options_trace(OptionsStmt& opt);

    // `= "name"` or an inline `"decl" (params)`, which becomes an anonymous shader instance.
    ShaderRef shader_ref(const std::string& owner, const char* slot, const std::string& context);
    std::array<double, 16> matrix(const std::string& context);
    std::vector<std::string> name_list(const std::string& context);
    void options_mattes(OptionsStmt& opt);
    std::string one_of(std::initializer_list<const char*> words, const std::string& context);
    [[noreturn]] void unknown_keyword(const char* block);

    template <typename Stmt> void emit(Stmt&& stmt) { session_.out.emplace_back(std::forward<Stmt>(stmt)); }

    ParseSession& session_;
    TokenStream in_;
    fs::path dir_;
    int depth_;
};

void FileParser::statement() {
    static constexpr std::pair<const char*, StatementFn> kStatements[] = {
        {"$include", &FileParser::include},  {"link", &FileParser::link},
        {"verbose", &FileParser::verbose},   {"declare", &FileParser::declare},
        {"shader", &FileParser::shader},     {"material", &FileParser::material},
        {"light", &FileParser::light},       {"object", &FileParser::object},
        {"instance", &FileParser::instance}, {"instgroup", &FileParser::instgroup},
        {"camera", &FileParser::camera},     {"options", &FileParser::options},
        {"render", &FileParser::render},     {"call", &FileParser::call},
        {"color", &FileParser::color_tex},   {"scalar", &FileParser::scalar_tex},
    };
    const Token t = in_.peek();
    if (session_.options.cancel && session_.options.cancel->load(std::memory_order_relaxed))
        TokenStream::fail(t.loc, "interrupted while reading the scene");
    if (t.kind != Token::Kind::Word) in_.fail_expected("a statement", "");
    for (const auto& [keyword, fn] : kStatements) {
        if (t.text == keyword) {
            in_.next();
            (this->*fn)(t.loc);
            return;
        }
    }
    if (t.text == "end") TokenStream::fail(t.loc, "\"end\" outside of any block");
    TokenStream::fail(t.loc, "unknown statement " + in_quotes(t.text));
}

void FileParser::unknown_keyword(const char* block) {
    const Token& t = in_.peek();
    if (t.kind == Token::Kind::Word)
        TokenStream::fail(t.loc,
                          "unknown keyword " + in_quotes(t.text) + " in " + in_quotes(block) + " block");
    in_.fail_expected(std::string("a keyword or \"end ") + block + "\"", "in " + in_quotes(block) + " block");
}

void FileParser::include(const SourceLoc& loc) {
    const std::string name = in_.expect_string(after("$include"));
    if (depth_ >= kMaxIncludeDepth)
        TokenStream::fail(loc, "include files nested more than " + std::to_string(kMaxIncludeDepth) +
                                   " deep (does " + in_quotes(name) + " include itself?)");
    if (++session_.included_files > kMaxIncludedFiles)
        TokenStream::fail(loc, "more than " + std::to_string(kMaxIncludedFiles) +
                                   " include files read for one scene (do files include each other "
                                   "over and over?)");
    std::vector<fs::path> dirs;
    if (fs::path(name).is_absolute()) {
        dirs.emplace_back();
    } else {
        dirs.push_back(dir_.empty() ? fs::path(".") : dir_);
        for (const std::string& p : session_.options.include_paths)
            dirs.emplace_back(p);
    }
    std::string text, searched;
    for (const fs::path& dir : dirs) {
        const fs::path candidate = dir.empty() ? fs::path(name) : dir / name;
        if (read_file(candidate, text)) {
            FileParser(session_, std::move(text), candidate.lexically_normal().string(), depth_ + 1).run();
            return;
        }
        if (!dir.empty()) searched += (searched.empty() ? "" : ", ") + dir.string();
    }
    std::string message = "cannot open include file " + in_quotes(name);
    if (!searched.empty()) message += " (searched: " + searched + ")";
    TokenStream::fail(loc, message);
}

void FileParser::link(const SourceLoc& loc) {
    emit(LinkStmt{in_.expect_string(after("link")), loc});
}

void FileParser::verbose(const SourceLoc& loc) {
    VerboseStmt v;
    v.loc = loc;
    if (in_.at(Token::Kind::Number)) {
        v.level = in_.expect_integer(after("verbose"));
        v.on = v.level > 0;
    } else {
        v.on = in_.expect_switch(after("verbose"), false);
        v.level = v.on ? 5 : 0;
    }
    emit(std::move(v));
}

void FileParser::declare(const SourceLoc& loc) {
    emit(parse_shader_declaration(in_, loc));
}

void FileParser::shader(const SourceLoc& loc) {
    ShaderInstanceStmt s;
    s.loc = loc;
    s.name = in_.expect_string(after("shader"));
    s.decl_name = in_.expect_string("as the declaration of shader " + in_quotes(s.name));
    s.params = parse_param_list(in_, "after shader " + in_quotes(s.name) + ' ' + in_quotes(s.decl_name));
    emit(std::move(s));
}

ShaderRef FileParser::shader_ref(const std::string& owner, const char* slot, const std::string& context) {
    ShaderRef ref;
    ref.loc = in_.peek().loc;
    if (in_.accept_punct('=')) {
        ref.instance_name = in_.expect_string("naming a shader after \"=\"");
        return ref;
    }
    if (!in_.at(Token::Kind::String)) in_.fail_expected("\"=\" or a shader declaration name", context);
    ShaderInstanceStmt inline_shader;
    inline_shader.loc = ref.loc;
    inline_shader.decl_name = in_.next().text;
    inline_shader.params =
        parse_param_list(in_, "after the shader name " + in_quotes(inline_shader.decl_name));
    inline_shader.name = owner + ':' + slot + ':' + std::to_string(++session_.anonymous_shaders);
    ref.instance_name = inline_shader.name;
    emit(std::move(inline_shader));
    return ref;
}

void FileParser::material(const SourceLoc& loc) {
    MaterialStmt m;
    m.loc = loc;
    m.name = in_.expect_string(after("material"));
    TokenStream::Block block(in_, "material", loc.line);
    m.opaque = in_.accept_word("opaque");
    m.surface = shader_ref(m.name, "surface", "after material " + in_quotes(m.name));
    struct Slot {
        const char* keyword;
        std::optional<ShaderRef> MaterialStmt::*member;
    };
    static constexpr Slot kSlots[] = {{"shadow", &MaterialStmt::shadow},
                                      {"photon", &MaterialStmt::photon},
                                      {"volume", &MaterialStmt::volume},
                                      {"environment", &MaterialStmt::environment},
                                      {"displace", &MaterialStmt::displace}};
    while (!in_.at_word("end")) {
        if (in_.accept_word("opaque")) {
            m.opaque = true;
            continue;
        }
        const Slot* slot = nullptr;
        for (const Slot& s : kSlots)
            if (in_.at_word(s.keyword)) slot = &s;
        if (!slot) unknown_keyword("material");
        in_.next();
        m.*(slot->member) = shader_ref(m.name, slot->keyword, after(slot->keyword));
    }
    in_.expect_end("material");
    emit(std::move(m));
}

void FileParser::light_area(LightStmt& light, LightStmt::Area area, int count, const std::string& keyword) {
    light.area = area;
    light.area_params = {};
    for (int i = 0; i < count; ++i)
        light.area_params[static_cast<size_t>(i)] = in_.expect_float(after(keyword));
    if (in_.at(Token::Kind::Number)) {
        light.samples_u = in_.expect_integer("as the u sample count " + after(keyword));
        light.samples_v = in_.expect_integer("as the v sample count " + after(keyword));
    }
}

void FileParser::light(const SourceLoc& loc) {
    LightStmt l;
    l.loc = loc;
    l.name = in_.expect_string(after("light"));
    TokenStream::Block block(in_, "light", loc.line);
    l.shader = shader_ref(l.name, "light", "after light " + in_quotes(l.name));
    auto vec3 = [this](const char* keyword) {
        std::array<float, 3> v{};
        for (float& x : v)
            x = in_.expect_float(after(keyword));
        return v;
    };
    while (!in_.at_word("end")) {
        if (in_.accept_word("origin")) {
            l.origin = vec3("origin");
        } else if (in_.accept_word("direction")) {
            l.direction = vec3("direction");
        } else if (in_.accept_word("energy")) {
            l.energy = vec3("energy");
        } else if (in_.accept_word("spread")) {
            l.spread = in_.expect_float(after("spread"));
        } else if (in_.accept_word("rectangle")) {
            light_area(l, LightStmt::Area::Rectangle, 6, "rectangle");
        } else if (in_.accept_word("disc")) {
            light_area(l, LightStmt::Area::Disc, 4, "disc");
        } else if (in_.accept_word("sphere")) {
            light_area(l, LightStmt::Area::Sphere, 1, "sphere");
        } else if (in_.accept_word("samples")) {
            l.samples_u = in_.expect_integer(after("samples"));
            l.samples_v = in_.at(Token::Kind::Number) ? in_.expect_integer(after("samples")) : l.samples_u;
        } else if (in_.accept_word("emitter")) {
            l.emitter = shader_ref(l.name, "emitter", after("emitter"));
        } else if (in_.accept_word("lightgroup")) {
            l.light_group = in_.expect_string(after("lightgroup"));
        } else {
            unknown_keyword("light");
        }
    }
    in_.expect_end("light");
    emit(std::move(l));
}

void FileParser::object_file(ObjectStmt& obj, const SourceLoc& loc) {
    const std::string name = in_.expect_string(after("file"));
    fs::path path(name);
    if (path.is_relative() && !dir_.empty()) path = dir_ / path;
    PolygonMesh mesh;
    std::string error;
    // Its messages name the file as resolved, so a wrong working directory shows at once.
    std::error_code ec;
    const fs::path resolved = fs::absolute(path, ec).lexically_normal();
    if (!load_obj(ec ? path.string() : resolved.string(), mesh, error, session_.options.cancel))
        TokenStream::fail(loc, "cannot load mesh " + in_quotes(name) + ": " + error);
    obj.files.push_back(path.lexically_normal().string());
    append_mesh(obj.mesh, mesh);
}

std::vector<HairInfo> FileParser::hair_infos(bool per_vertex, const std::string& object) {
    std::vector<HairInfo> infos;
    const char* keyword = per_vertex ? "vertex_data" : "hair_data";
    while (in_.at(Token::Kind::Word) && in_.peek().text.size() == 1) {
        const Token kind = in_.next();
        HairInfo i{kind.text[0], in_.expect_integer("after " + in_quotes(kind.text) + " in " + keyword)};
        if (auto e = check_hair_info(per_vertex, i.kind, i.count))
            TokenStream::fail(kind.loc, "object " + in_quotes(object) + ": " + *e);
        infos.push_back(i);
    }
    return infos;
}

// `hair degree d radius r hair_data <kind count>... vertex_data <kind count>... scalars n <n numbers>
// hairs m <m starts> end hair`
void FileParser::object_hair(ObjectStmt& obj, const SourceLoc& loc) {
    if (obj.hair) TokenStream::fail(loc, "object " + in_quotes(obj.name) + " has a second hair block");
    const std::string object = "object " + in_quotes(obj.name) + ": ";
    HairData h;
    bool have_scalars = false, have_hairs = false;
    TokenStream::Block block(in_, "hair", loc.line);
    while (!in_.at_word("end")) {
        const SourceLoc at = in_.peek().loc;
        if (in_.accept_word("degree")) {
            h.degree = in_.expect_integer(after("degree"));
            if (h.degree < 1 || h.degree > 3)
                TokenStream::fail(at,
                                  object + "hair degree " + std::to_string(h.degree) + " is not 1, 2 or 3");
        } else if (in_.accept_word("radius")) {
            h.radius = in_.expect_float(after("radius"));
        } else if (in_.accept_word("hair_data")) {
            h.hair_info = hair_infos(false, obj.name);
        } else if (in_.accept_word("vertex_data")) {
            h.vertex_info = hair_infos(true, obj.name);
        } else if (in_.accept_word("scalars")) {
            const int n = in_.expect_integer(after("scalars"));
            if (n < 0) TokenStream::fail(at, object + "a negative scalar count " + std::to_string(n));
            h.scalars.clear();
            while (in_.at(Token::Kind::Number))
                h.scalars.push_back(in_.expect_float("in the hair scalars"));
            if (h.scalars.size() != size_t(n))
                TokenStream::fail(at, object + "\"scalars " + std::to_string(n) + "\" is followed by " +
                                          std::to_string(h.scalars.size()) + " numbers");
            have_scalars = true;
        } else if (in_.accept_word("hairs")) {
            const int n = in_.expect_integer(after("hairs"));
            if (n < 0) TokenStream::fail(at, object + "a negative hair list length " + std::to_string(n));
            h.hairs.clear();
            while (in_.at(Token::Kind::Number)) {
                const int k = in_.expect_integer("in the hair list");
                if (k < 0)
                    TokenStream::fail(at, object + "the hair list has a negative start " + std::to_string(k));
                h.hairs.push_back(uint32_t(k));
            }
            if (h.hairs.size() != size_t(n))
                TokenStream::fail(at, object + "\"hairs " + std::to_string(n) + "\" is followed by " +
                                          std::to_string(h.hairs.size()) + " numbers");
            have_hairs = true;
        } else {
            unknown_keyword("hair");
        }
    }
    in_.expect_end("hair");
    if (!have_scalars || !have_hairs)
        TokenStream::fail(loc, object + "a hair block needs \"scalars\" and \"hairs\"");
    if (auto e = check_hair(h)) TokenStream::fail(loc, object + *e);
    obj.hair = std::move(h);
}

void FileParser::object(const SourceLoc& loc) {
    ObjectStmt o;
    o.loc = loc;
    o.name = in_.expect_string(after("object"));
    TokenStream::Block block(in_, "object", loc.line);
    while (!in_.at_word("end")) {
        const SourceLoc at = in_.peek().loc;
        if (in_.accept_word("visible")) {
            o.visible = in_.expect_switch(after("visible"), true);
        } else if (in_.accept_word("shadow")) {
            o.shadow = in_.expect_switch(after("shadow"), true);
        } else if (in_.accept_word("trace")) {
            o.trace = in_.expect_switch(after("trace"), true);
        } else if (in_.accept_word("tag")) {
            o.tag_label = in_.expect_integer(after("tag"));
        } else if (in_.accept_word("transform")) {
            o.transform = matrix(after("transform"));
        } else if (in_.accept_word("group")) {
            parse_polygon_group(in_, at, o.mesh);
        } else if (in_.accept_word("file")) {
            object_file(o, at);
        } else if (in_.accept_word("hair")) {
            object_hair(o, at);
        } else {
            unknown_keyword("object");
        }
    }
    if (o.hair && !o.mesh.triangles.empty())
        TokenStream::fail(loc, "object " + in_quotes(o.name) +
                                   " has both polygons and hair; put them into two objects");
    in_.expect_end("object");
    emit(std::move(o));
}

void FileParser::instance(const SourceLoc& loc) {
    InstanceStmt inst;
    inst.loc = loc;
    inst.name = in_.expect_string(after("instance"));
    // A geometry shader makes the item before the first frame that reaches the instance.
    if (in_.accept_word("geometry"))
        inst.geometry =
            shader_ref(inst.name, "geometry", "after \"geometry\" in instance " + in_quotes(inst.name));
    else
        inst.item = in_.expect_string("as the item of instance " + in_quotes(inst.name));
    TokenStream::Block block(in_, "instance", loc.line);
    std::optional<Placement> steps;
    auto placement = [&steps]() -> Placement& { return steps ? *steps : steps.emplace(); };
    auto three = [this](const std::string& context) {
        std::array<double, 3> v{};
        for (double& x : v)
            x = in_.expect_number(context);
        return v;
    };
    while (!in_.at_word("end")) {
        const SourceLoc at = in_.peek().loc;
        if (in_.accept_word("transform")) {
            inst.transform = matrix(after("transform"));
        } else if (in_.accept_word("translate")) {
            const auto v = three(after("translate"));
            placement().translate(v[0], v[1], v[2]);
        } else if (in_.accept_word("scale")) {
            const auto v = three(after("scale"));
            placement().scale(v[0], v[1], v[2]);
        } else if (in_.accept_word("rotate")) {
            const double degrees = in_.expect_number(after("rotate"));
            const auto axis = three("as the axis after the angle of rotate");
            if (auto e = placement().rotate(degrees, axis)) TokenStream::fail(at, *e);
        } else if (in_.accept_word("look")) {
            in_.expect_word("at", after("look"));
            const auto target = three(after("look at"));
            std::array<double, 3> up = {0, 1, 0};
            if (in_.accept_word("up")) up = three(after("up"));
            if (auto e = placement().look_at(target, up)) TokenStream::fail(at, *e);
        } else if (in_.accept_word("motion")) {
            in_.expect_word("transform", after("motion"));
            inst.motion_transform = matrix(after("motion transform"));
        } else if (in_.accept_word("material")) {
            inst.materials = name_list(after("material"));
        } else if (in_.accept_word("label")) {
            inst.label = in_.expect_integer(after("label"));
            inst.has_label = true;
        } else if (in_.accept_word("light")) {
            const Token t = in_.peek();
            const bool named = t.kind == Token::Kind::String || t.kind == Token::Kind::Word;
            if (named && t.text == "inclusive")
                inst.light_link = InstanceStmt::LightLink::Inclusive;
            else if (named && t.text == "exclusive")
                inst.light_link = InstanceStmt::LightLink::Exclusive;
            else
                in_.fail_expected("\"inclusive\" or \"exclusive\"", after("light"));
            in_.next();
            inst.light_link_names = name_list("after light " + in_quotes(t.text));
        } else if (in_.accept_word("visible")) {
            inst.visible = in_.expect_switch(after("visible"), true);
        } else if (in_.accept_word("shadow")) {
            inst.shadow = in_.expect_switch(after("shadow"), true);
        } else if (in_.accept_word("trace")) {
            inst.trace = in_.expect_switch(after("trace"), true);
        } else {
            unknown_keyword("instance");
        }
    }
    in_.expect_end("instance");
    if (steps) {
        if (inst.transform)
            TokenStream::fail(loc, "instance " + in_quotes(inst.name) +
                                       " has both a transform matrix and translate, rotate, scale or "
                                       "look at steps; give one or the other");
        inst.transform = steps->world_to_object();
        if (!inst.transform)
            TokenStream::fail(loc,
                              "instance " + in_quotes(inst.name) + " is scaled by 0 and cannot be placed");
    }
    emit(std::move(inst));
}

void FileParser::instgroup(const SourceLoc& loc) {
    InstgroupStmt g;
    g.loc = loc;
    g.name = in_.expect_string(after("instgroup"));
    TokenStream::Block block(in_, "instgroup", loc.line);
    while (!in_.at_word("end"))
        g.items.push_back(in_.expect_string("as an item of instgroup " + in_quotes(g.name)));
    in_.expect_end("instgroup");
    emit(std::move(g));
}

void FileParser::camera_output(CameraStmt& cam, const SourceLoc& loc) {
    OutputStmt out;
    out.loc = loc;
    if (in_.at_punct('=') || (in_.at(Token::Kind::String) && in_.peek(1).is_punct('('))) {
        out.kind = OutputStmt::Kind::Shader;
        out.shader = shader_ref(cam.name, "output", after("output"));
    } else {
        out.kind = OutputStmt::Kind::File;
        out.types = in_.expect_string("as the image types " + after("output"));
        out.format = in_.expect_string("as the file format after output " + in_quotes(out.types));
        out.filename = in_.expect_string("as the file name after output " + in_quotes(out.types) + ' ' +
                                         in_quotes(out.format));
    }
    cam.outputs.push_back(std::move(out));
}

void FileParser::camera(const SourceLoc& loc) {
    CameraStmt cam;
    cam.loc = loc;
    cam.name = in_.expect_string(after("camera"));
    TokenStream::Block block(in_, "camera", loc.line);
    while (!in_.at_word("end")) {
        const SourceLoc at = in_.peek().loc;
        if (in_.accept_word("output")) {
            camera_output(cam, at);
        } else if (in_.accept_word("framebuffer")) {
            FramebufferStmt fb;
            fb.loc = at;
            fb.name = in_.expect_string(after("framebuffer"));
            fb.properties = parse_param_list(in_, "after framebuffer " + in_quotes(fb.name));
            cam.framebuffers.push_back(std::move(fb));
        } else if (in_.accept_word("focal")) {
            if (in_.accept_word("infinity"))
                cam.orthographic = true;
            else
                cam.focal = in_.expect_number(after("focal"));
            cam.has_focal = true;
        } else if (in_.accept_word("aperture")) {
            cam.aperture = in_.expect_number(after("aperture"));
            cam.has_aperture = true;
        } else if (in_.accept_word("aspect")) {
            cam.aspect = in_.expect_number(after("aspect"));
            cam.has_aspect = true;
        } else if (in_.accept_word("resolution")) {
            const SourceLoc res = in_.peek().loc;
            cam.xres = in_.expect_integer(after("resolution"));
            cam.yres = in_.expect_integer(after("resolution"));
            if (cam.xres <= 0 || cam.yres <= 0) TokenStream::fail(res, "the resolution must be positive");
            cam.has_resolution = true;
        } else if (in_.accept_word("clip")) {
            cam.clip_near = in_.expect_number(after("clip"));
            cam.clip_far = in_.expect_number(after("clip"));
            cam.has_clip = true;
        } else if (in_.accept_word("frame")) {
            cam.frame = in_.expect_integer(after("frame"));
            if (in_.at(Token::Kind::Number)) cam.frame_time = in_.expect_number("as the frame time");
            cam.has_frame = true;
        } else if (in_.accept_word("offset")) {
            std::array<double, 2> offset{};
            for (double& x : offset)
                x = in_.expect_number(after("offset"));
            cam.offset = offset;
        } else if (in_.accept_word("window")) {
            std::array<int, 4> window{};
            for (int& x : window)
                x = in_.expect_integer(after("window"));
            cam.window = window;
        } else if (in_.accept_word("lens")) {
            cam.lens = shader_ref(cam.name, "lens", after("lens"));
        } else if (in_.accept_word("environment")) {
            cam.environment = shader_ref(cam.name, "environment", after("environment"));
        } else if (in_.accept_word("volume")) {
            cam.volume = shader_ref(cam.name, "volume", after("volume"));
        } else if (in_.accept_word("orthographic")) {
            cam.orthographic = in_.expect_switch(after("orthographic"), true);
        } else {
            unknown_keyword("camera");
        }
    }
    in_.expect_end("camera");
    emit(std::move(cam));
}

void FileParser::options_trace(OptionsStmt& opt) {
    if (!in_.accept_word("depth")) {
        opt.trace = in_.expect_switch(after("trace"), true);
        return;
    }
    opt.reflection_depth = in_.expect_integer(after("trace depth"));
    opt.refraction_depth = in_.expect_integer(after("trace depth"));
    opt.trace_depth = in_.at(Token::Kind::Number) ? in_.expect_integer(after("trace depth"))
                                                  : opt.reflection_depth + opt.refraction_depth;
}

void FileParser::options(const SourceLoc& loc) {
    OptionsStmt opt;
    opt.loc = loc;
    opt.name = in_.expect_string(after("options"));
    TokenStream::Block block(in_, "options", loc.line);
    while (!in_.at_word("end")) {
        if (in_.at(Token::Kind::String)) {
            std::string name = in_.next().text;
            opt.string_options.emplace_back(name, parse_value(in_, "for option " + in_quotes(name)));
        } else if (in_.accept_word("samples")) {
            opt.samples_given = true;
            opt.samples_min = in_.expect_integer(after("samples"));
            opt.samples_max =
                in_.at(Token::Kind::Number) ? in_.expect_integer(after("samples")) : opt.samples_min;
        } else if (in_.accept_word("filter")) {
            opt.filter = one_of({"box", "triangle", "gauss", "mitchell", "lanczos"}, after("filter"));
            if (in_.at(Token::Kind::Number)) {
                opt.filter_w = in_.expect_number("as the filter width");
                opt.filter_h =
                    in_.at(Token::Kind::Number) ? in_.expect_number("as the filter height") : opt.filter_w;
            }
        } else if (in_.accept_word("trace")) {
            options_trace(opt);
        } else if (in_.accept_word("shadow")) {
            opt.shadow = one_of({"off", "on", "sort", "segments"}, after("shadow"));
        } else if (in_.accept_word("scanline")) {
            opt.scanline = one_of({"on", "off", "rasterizer", "rapid"}, after("scanline"));
        } else if (in_.accept_word("lightgroup")) {
            LightGroupStmt g;
            g.loc = in_.peek(0).loc;
            g.name = in_.expect_string(after("lightgroup"));
            g.lights = name_list("as a light of light group " + in_quotes(g.name));
            opt.light_groups.push_back(std::move(g));
        } else if (in_.accept_word("cryptomatte")) {
            options_mattes(opt);
        } else if (in_.accept_word("lightgroups")) {
            opt.light_groups_on = in_.expect_switch(after("lightgroups"), true);
        } else if (in_.accept_word("contrast")) {
            for (size_t i = 0; i < 3; ++i)
                opt.contrast[i] = in_.expect_number(after("contrast"));
            if (in_.at(Token::Kind::Number)) opt.contrast[3] = in_.expect_number(after("contrast"));
        } else {
            unknown_keyword("options");
        }
    }
    in_.expect_end("options");
    emit(std::move(opt));
}

void FileParser::call(const SourceLoc& loc) {
    emit(CallStmt{in_.expect_string(after("call")), loc});
}

void FileParser::texture(const SourceLoc& loc, bool scalar) {
    const char* kind = scalar ? "scalar" : "color";
    in_.expect_word("texture", after(kind));
    TextureStmt t;
    t.loc = loc;
    t.scalar = scalar;
    t.name = in_.expect_string(after(std::string(kind) + " texture"));
    t.file = in_.expect_string("as the file name of texture " + in_quotes(t.name));
    // Relative to the scene file that names it, as meshes are.
    fs::path path(t.file);
    if (path.is_relative() && !dir_.empty()) path = dir_ / path;
    t.path = path.lexically_normal().string();
    emit(std::move(t));
}

void FileParser::render(const SourceLoc& loc) {
    RenderStmt r;
    r.loc = loc;
    r.root = in_.expect_string("as the root instgroup " + after("render"));
    r.camera_instance = in_.expect_string("as the camera instance after render " + in_quotes(r.root));
    r.options = in_.expect_string("as the options after render " + in_quotes(r.root) + ' ' +
                                  in_quotes(r.camera_instance));
    emit(std::move(r));
}

std::array<double, 16> FileParser::matrix(const std::string& context) {
    std::array<double, 16> m{};
    for (double& x : m)
        x = in_.expect_number(context);
    return m;
}

// `cryptomatte off`, or `cryptomatte "object"` / `cryptomatte ["object", "material", "asset"]`
// with an optional `depth N`.
void FileParser::options_mattes(OptionsStmt& opt) {
    opt.mattes.clear();
    if (in_.accept_word("off")) return;
    const std::string context = after("cryptomatte");
    auto one = [&] {
        const SourceLoc at = in_.peek().loc;
        std::string name = in_.expect_string(context);
        if (name != "object" && name != "material" && name != "asset")
            TokenStream::fail(at, "unknown ID matte " + in_quotes(name) +
                                      " (use \"object\", \"material\" or \"asset\")");
        if (std::find(opt.mattes.begin(), opt.mattes.end(), name) == opt.mattes.end())
            opt.mattes.push_back(std::move(name));
    };
    if (!in_.accept_punct('[')) {
        one();
    } else {
        for (bool first = true; !in_.accept_punct(']'); first = false) {
            if (!first) in_.expect_punct(',', "between names " + context);
            one();
        }
    }
    if (in_.accept_word("depth")) {
        const SourceLoc at = in_.peek().loc;
        opt.matte_depth = in_.expect_integer(after("depth"));
        if (opt.matte_depth < 1 || opt.matte_depth > kMaxMatteDepth)
            TokenStream::fail(at, "ID matte depth must be in [1, " + std::to_string(kMaxMatteDepth) +
                                      "], got " + std::to_string(opt.matte_depth));
    }
}

std::vector<std::string> FileParser::name_list(const std::string& context) {
    if (!in_.accept_punct('[')) return {in_.expect_string(context)};
    std::vector<std::string> names;
    while (!in_.accept_punct(']')) {
        if (!names.empty()) in_.expect_punct(',', "between names " + context);
        names.push_back(in_.expect_string(context));
    }
    return names;
}

std::string FileParser::one_of(std::initializer_list<const char*> words, const std::string& context) {
    for (const char* w : words)
        if (in_.accept_word(w)) return w;
    std::string list;
    for (const char* w : words)
        list += (list.empty() ? "" : ", ") + in_quotes(w);
    in_.fail_expected("one of " + list, context);
}

ParseResult run(std::string text, const std::string& file, const ParseOptions& options) {
    ParseResult result;
    ParseSession session{options, result.statements};
    try {
        FileParser(session, std::move(text), file, 0).run();
        result.ok = true;
    } catch (const ParseError& e) {
        result.errors.push_back(e.diagnostic());
    } catch (const std::bad_alloc&) {
        result.errors.push_back(Diagnostic{SourceLoc{file, 0, 0}, "out of memory while reading the scene"});
    } catch (const std::exception& e) {
        result.errors.push_back(Diagnostic{SourceLoc{file, 0, 0}, e.what()});
    }
    return result;
}

} // namespace

ParseResult parse_file(const std::string& path, const ParseOptions& options) {
    std::string text;
    if (!read_file(path, text)) {
        ParseResult result;
        result.errors.push_back(
            Diagnostic{SourceLoc{path, 0, 0}, "cannot open scene file " + in_quotes(path)});
        return result;
    }
    return run(std::move(text), path, options);
}

ParseResult parse_string(const std::string& text, const std::string& virtual_name,
                         const ParseOptions& options) {
    return run(text, virtual_name, options);
}

} // namespace orn::scene
