// Scene-language reader: statements, values, declarations, polygon groups, includes, OBJ files, errors.
#include "scene/lexer.h"
#include "scene/obj_loader.h"
#include "scene/parser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace orn::scene {
namespace {

namespace fs = std::filesystem;

ParseResult parse(const std::string& text, const ParseOptions& options = {}) {
    return parse_string(text, "test.mi", options);
}

std::string first_error(const ParseResult& r) {
    return r.errors.empty() ? "(no error)" : r.errors.front().str();
}

template <typename T> const T& stmt(const ParseResult& r, size_t i) {
    if (i >= r.statements.size() || !std::holds_alternative<T>(r.statements[i])) {
        ADD_FAILURE() << "statement " << i << " missing or of another kind";
        static const T empty{};
        return empty;
    }
    return std::get<T>(r.statements[i]);
}

// A scratch directory removed at the end of the test.
class TempDir {
  public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() / ("scene_reader_" + std::to_string(::getpid()) + '_' +
                                             info->test_suite_name() + '_' + info->name());
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    fs::path write(const std::string& name, const std::string& text) const {
        const fs::path p = path_ / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
        return p;
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

const char* kScene = R"(# a small scene
verbose on
link "shaders_orn.so"
options "opt"
    samples 0 2
    filter gauss 2.0
    trace depth 3 1
    shadow segments
    contrast 0.2 0.3 0.4
    "finalgather" off
end options
camera "cam"
    output "rgba" "exr" "out.exr"
    output = "saver"
    focal 50 aperture 36 aspect 1.5 resolution 640 480 clip 0.1 1000 frame 3 0.5
end camera
instance "cam_i" "cam" transform 1 0 0 0  0 1 0 0  0 0 1 0  0 -1 -10 1 end instance
material "mtl" "orn_constant" ("color" 1 0.5 0)
    shadow = "shad"
end material
light "key" = "point_shader"
    origin 0 10 0
    rectangle 1 0 0  0 0 1  4 2
end light
instance "ball_i" "ball" material ["mtl", "mtl2"] label 3 light "exclusive" ["key"] shadow off end instance
instgroup "root" "cam_i" "ball_i" end instgroup
render "root" "cam_i" "opt"
)";

TEST(SceneReader, FullSceneGivesTheStatementsInFileOrder) {
    const ParseResult r = parse(kScene);
    ASSERT_TRUE(r.ok) << first_error(r);
    ASSERT_EQ(r.statements.size(), 11u);

    EXPECT_TRUE(stmt<VerboseStmt>(r, 0).on);
    EXPECT_EQ(stmt<LinkStmt>(r, 1).module, "shaders_orn.so");

    const auto& opt = stmt<OptionsStmt>(r, 2);
    EXPECT_EQ(opt.samples_min, 0);
    EXPECT_EQ(opt.samples_max, 2);
    EXPECT_EQ(opt.filter, "gauss");
    EXPECT_EQ(opt.filter_w, 2.0);
    EXPECT_EQ(opt.filter_h, 2.0); // height defaults to the width
    EXPECT_EQ(opt.reflection_depth, 3);
    EXPECT_EQ(opt.refraction_depth, 1);
    EXPECT_EQ(opt.trace_depth, 4); // sum defaults to 3 + 1
    EXPECT_EQ(opt.shadow, "segments");
    EXPECT_EQ(opt.contrast[2], 0.4);
    EXPECT_EQ(opt.contrast[3], 0.1); // alpha keeps its default
    ASSERT_EQ(opt.string_options.size(), 1u);
    EXPECT_EQ(opt.string_options[0].first, "finalgather");
    EXPECT_FALSE(opt.string_options[0].second.boolean);

    const auto& cam = stmt<CameraStmt>(r, 3);
    EXPECT_EQ(cam.loc.line, 12);
    EXPECT_EQ(cam.loc.col, 1);
    ASSERT_EQ(cam.outputs.size(), 2u);
    EXPECT_EQ(cam.outputs[0].kind, OutputStmt::Kind::File);
    EXPECT_EQ(cam.outputs[0].types, "rgba");
    EXPECT_EQ(cam.outputs[0].format, "exr");
    EXPECT_EQ(cam.outputs[0].filename, "out.exr");
    EXPECT_EQ(cam.outputs[1].kind, OutputStmt::Kind::Shader);
    EXPECT_EQ(cam.outputs[1].shader.instance_name, "saver");
    EXPECT_EQ(cam.focal, 50);
    EXPECT_EQ(cam.aperture, 36);
    EXPECT_EQ(cam.aspect, 1.5);
    EXPECT_EQ(cam.xres, 640);
    EXPECT_EQ(cam.yres, 480);
    EXPECT_EQ(cam.clip_near, 0.1);
    EXPECT_EQ(cam.clip_far, 1000);
    EXPECT_EQ(cam.frame, 3);
    EXPECT_EQ(cam.frame_time, 0.5);

    const auto& cam_i = stmt<InstanceStmt>(r, 4);
    EXPECT_EQ(cam_i.item, "cam");
    ASSERT_TRUE(cam_i.transform.has_value());
    EXPECT_EQ((*cam_i.transform)[13], -1);
    EXPECT_EQ((*cam_i.transform)[14], -10);

    // The inline surface shader comes just before its material.
    const auto& surface = stmt<ShaderInstanceStmt>(r, 5);
    EXPECT_EQ(surface.name, "mtl:surface:1");
    EXPECT_EQ(surface.decl_name, "orn_constant");
    const auto& mtl = stmt<MaterialStmt>(r, 6);
    EXPECT_EQ(mtl.surface.instance_name, "mtl:surface:1");
    ASSERT_TRUE(mtl.shadow.has_value());
    EXPECT_EQ(mtl.shadow->instance_name, "shad");
    EXPECT_FALSE(mtl.photon.has_value());

    const auto& key = stmt<LightStmt>(r, 7);
    EXPECT_EQ(key.shader.instance_name, "point_shader");
    ASSERT_TRUE(key.origin.has_value());
    EXPECT_EQ((*key.origin)[1], 10.0f);
    EXPECT_EQ(key.area, LightStmt::Area::Rectangle);
    EXPECT_EQ(key.area_params[5], 1.0f);
    EXPECT_EQ(key.samples_u, 4);
    EXPECT_EQ(key.samples_v, 2);

    const auto& ball = stmt<InstanceStmt>(r, 8);
    EXPECT_EQ(ball.materials, (std::vector<std::string>{"mtl", "mtl2"}));
    EXPECT_TRUE(ball.has_label);
    EXPECT_EQ(ball.label, 3);
    EXPECT_EQ(ball.light_link, InstanceStmt::LightLink::Exclusive);
    EXPECT_EQ(ball.light_link_names, std::vector<std::string>{"key"});
    EXPECT_EQ(ball.shadow, std::optional<bool>(false));
    EXPECT_FALSE(ball.visible.has_value());

    EXPECT_EQ(stmt<InstgroupStmt>(r, 9).items, (std::vector<std::string>{"cam_i", "ball_i"}));
    const auto& render = stmt<RenderStmt>(r, 10);
    EXPECT_EQ(render.root, "root");
    EXPECT_EQ(render.camera_instance, "cam_i");
    EXPECT_EQ(render.options, "opt");
}

TEST(SceneReader, Declarations) {
    const ParseResult r = parse(R"(
declare shader
    struct { color "result", boolean "hit" } "orn_probe" (
        array light "lights",
        color texture "tex",
        struct "layer" { scalar "weight", array vector "dirs" },
        array struct "slots" { integer "id" }
    )
    apply material, shadow
    version 3
end declare)");
    ASSERT_TRUE(r.ok) << first_error(r);
    const auto& d = stmt<ShaderDecl>(r, 0);
    EXPECT_EQ(d.name, "orn_probe");
    EXPECT_EQ(d.version, 3);
    EXPECT_EQ(d.apply, (std::vector<std::string>{"material", "shadow"}));
    EXPECT_EQ(d.result.type, ParamType::Struct);
    ASSERT_EQ(d.result.members.size(), 2u);
    EXPECT_EQ(d.result.members[1].name, "hit");
    EXPECT_EQ(d.result.members[1].type, ParamType::Boolean);

    ASSERT_EQ(d.params.size(), 4u);
    EXPECT_TRUE(d.params[0].is_array);
    EXPECT_EQ(d.params[0].type, ParamType::Light);
    EXPECT_EQ(d.params[1].type, ParamType::ColorTexture);
    EXPECT_EQ(d.params[2].type, ParamType::Struct);
    ASSERT_EQ(d.params[2].members.size(), 2u);
    EXPECT_TRUE(d.params[2].members[1].is_array);
    EXPECT_EQ(d.params[2].members[1].type, ParamType::Vector);
    EXPECT_TRUE(d.params[3].is_array);
    EXPECT_EQ(d.params[3].members[0].name, "id");
    EXPECT_EQ(d.params[0].loc.line, 4);

    EXPECT_EQ(to_string(ParamType::ScalarTexture), "scalar texture");

    const ParseResult bad = parse("declare shader color \"s\" (\n  colour \"c\" )\nend declare");
    EXPECT_EQ(first_error(bad), "test.mi:2:3: error: unknown parameter type \"colour\"");
}

TEST(SceneReader, ValueForms) {
    const ParseResult r = parse(R"(shader "s" "d" (
    "n" -1.5e2 +3 .5,
    "b1" on "b2" false,
    "text" "say \"hi\"\\\n",
    "link" = "other",
    "arr" [1, 2 3, "x"],
    "st" { "a" 1, "inner" { "c" [] } }
))");
    ASSERT_TRUE(r.ok) << first_error(r);
    const auto& p = stmt<ShaderInstanceStmt>(r, 0).params;
    ASSERT_EQ(p.size(), 7u);

    EXPECT_EQ(p[0].value.kind, Value::Kind::Numbers);
    EXPECT_EQ(p[0].value.numbers, (std::vector<double>{-150, 3, 0.5}));
    EXPECT_EQ(p[1].value.kind, Value::Kind::Boolean);
    EXPECT_TRUE(p[1].value.boolean);
    EXPECT_FALSE(p[2].value.boolean); // no comma needed between entries
    EXPECT_EQ(p[3].value.kind, Value::Kind::String);
    EXPECT_EQ(p[3].value.text, "say \"hi\"\\\n");
    EXPECT_EQ(p[4].value.kind, Value::Kind::Connection);
    EXPECT_EQ(p[4].value.text, "other");

    const Value& arr = p[5].value;
    ASSERT_EQ(arr.kind, Value::Kind::Array);
    ASSERT_EQ(arr.elements.size(), 3u);
    EXPECT_EQ(arr.elements[1].numbers, (std::vector<double>{2, 3}));
    EXPECT_EQ(arr.elements[2].text, "x");

    const Value& st = p[6].value;
    ASSERT_EQ(st.kind, Value::Kind::Struct);
    ASSERT_EQ(st.members.size(), 2u);
    EXPECT_EQ(st.members[0].first, "a");
    const Value& inner = st.members[1].second;
    ASSERT_EQ(inner.kind, Value::Kind::Struct);
    EXPECT_EQ(inner.members[0].second.kind, Value::Kind::Array);
    EXPECT_TRUE(inner.members[0].second.elements.empty());
    EXPECT_EQ(p[6].loc.line, 7);
    EXPECT_EQ(p[6].loc.col, 5);
}

TEST(SceneReader, LexerTokensAndLocations) {
    Lexer lex("a_1 \"s\\tx\" # comment\n  -2 ( =", "f.mi");
    Token t = lex.next();
    EXPECT_EQ(t.kind, Token::Kind::Word);
    EXPECT_EQ(t.text, "a_1");
    t = lex.next();
    EXPECT_EQ(t.kind, Token::Kind::String);
    EXPECT_EQ(t.text, "s\tx");
    EXPECT_EQ(t.loc.col, 5);
    t = lex.next();
    EXPECT_EQ(t.kind, Token::Kind::Number);
    EXPECT_EQ(t.number, -2);
    EXPECT_EQ(t.loc.line, 2);
    EXPECT_EQ(t.loc.col, 3);
    EXPECT_TRUE(lex.next().is_punct('('));
    EXPECT_TRUE(lex.next().is_punct('='));
    EXPECT_EQ(lex.next().kind, Token::Kind::End);
}

const char* kGroup = R"(object "quad" visible off tag 7
    group
        0 0 0   1 0 0   1 1 0   0 1 0
        0 0 1
        0.25 0.5 0   0.75 0.5 0
        v 0 n 4 t 5 6
        v 1 n 4 t 6
        v 2
        v 3 n 4 u 5 b 6
        p "red" 0 1 2 3
        c 0 2 3
        p "blue" 1 2 3
        p "red" 3 2 1
    end group
end object)";

TEST(SceneReader, PolygonGroup) {
    const ParseResult r = parse(kGroup);
    ASSERT_TRUE(r.ok) << first_error(r);
    const auto& obj = stmt<ObjectStmt>(r, 0);
    EXPECT_FALSE(obj.visible);
    EXPECT_TRUE(obj.shadow);
    EXPECT_EQ(obj.tag_label, 7);
    const PolygonMesh& m = obj.mesh;

    ASSERT_EQ(m.P.size(), 12u);
    EXPECT_EQ(m.P[7], 1.0f); // vertex 2 = vector 2 = (1, 1, 0)
    // The quad fans into (0 1 2) (0 2 3); the triangle "c" adds (0 2 3) again.
    const std::vector<uint32_t> expected{0, 1, 2, 0, 2, 3, 0, 2, 3, 1, 2, 3, 3, 2, 1};
    EXPECT_EQ(m.triangles, expected);
    EXPECT_EQ(m.materials, (std::vector<std::string>{"red", "blue"}));
    // The unnamed "c" polygon keeps "red" from the polygon before it.
    EXPECT_EQ(m.triangle_material, (std::vector<int>{0, 0, 0, 1, 0}));

    // Normals: vertex 2 has none and gets zeros.
    ASSERT_EQ(m.N.size(), 12u);
    EXPECT_EQ(m.N[2], 1.0f);
    EXPECT_EQ(m.N[8], 0.0f);
    // Two texture spaces because vertex 0 names two vectors; 3 components each.
    ASSERT_EQ(m.T.size(), 2u);
    ASSERT_EQ(m.T[0].size(), 12u);
    EXPECT_EQ(m.T[0][0], 0.25f);
    EXPECT_EQ(m.T[0][3], 0.75f);
    EXPECT_EQ(m.T[1][0], 0.75f);
    EXPECT_EQ(m.T[1][3], 0.0f);
    // Bump basis only on vertex 3.
    ASSERT_EQ(m.dPdu.size(), 12u);
    EXPECT_EQ(m.dPdu[9], 0.25f);
    EXPECT_EQ(m.dPdv[9], 0.75f);
    EXPECT_TRUE(m.motion.empty());
}

TEST(SceneReader, PolygonGroupIndexErrors) {
    // Vertex index 4 on line 5, column 14, in a group of 4 vertices.
    ParseResult r = parse("object \"o\"\n group 0 0 0 1 0 0 1 1 0 0 1 0\n"
                          " v 0\n v 1 v 2 v 3\n p 0 1 2 3   4\n end group\nend object\n");
    EXPECT_EQ(first_error(r),
              "test.mi:5:14: error: vertex index 4 is out of range (the group has 4 vertices)");

    r = parse("object \"o\" group 0 0 0 1 0 0\n v 0 n 2 end group end object");
    EXPECT_EQ(first_error(r), "test.mi:2:8: error: vector index 2 is out of range (the group has 2 vectors)");

    r = parse("object \"o\" group 0 0 0 1 0 0 1 1 0 v 0 v 1 v 2\n  p 0 1 end group end object");
    EXPECT_EQ(first_error(r), "test.mi:2:3: error: a polygon needs at least 3 vertices, found 2");

    r = parse("object \"o\" group 0 0 0 1 0 v 0 end group end object");
    EXPECT_EQ(first_error(r),
              "test.mi:1:28: error: the group's vector list has 5 numbers, which is not a multiple of 3");
}

TEST(SceneReader, SyntaxErrorsNameWhatWasExpectedAndWhere) {
    ParseResult r = parse("camera \"c\"\n  focal 50\n    focl 50\nend camera\n");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(first_error(r), "test.mi:3:5: error: unknown keyword \"focl\" in \"camera\" block");

    r = parse("link \"x\"\ncmaera \"c\" end camera");
    EXPECT_EQ(first_error(r), "test.mi:2:1: error: unknown statement \"cmaera\"");
    ASSERT_EQ(r.statements.size(), 1u); // what came before the error is kept

    r = parse("camera \"c\" focal foo end camera");
    EXPECT_EQ(first_error(r), "test.mi:1:18: error: expected a number after \"focal\", found \"foo\"");

    r = parse("camera \"c\" resolution 640 4.5 end camera");
    EXPECT_EQ(first_error(r), "test.mi:1:27: error: expected an integer after \"resolution\", found 4.5");

    r = parse("link\n  \"never closed\n");
    EXPECT_EQ(first_error(r), "test.mi:2:3: error: unterminated string");

    r = parse("\n\n\n\ncamera \"c\"\n  focal 50\n");
    EXPECT_EQ(first_error(r),
              "test.mi:7:1: error: unexpected end of file inside \"camera\" block (started at line 5)");

    r = parse("options \"o\" shadow maybe end options");
    EXPECT_EQ(first_error(r),
              "test.mi:1:20: error: expected one of \"off\", \"on\", \"sort\", \"segments\" after "
              "\"shadow\", found \"maybe\"");

    r = parse("options \"o\" cryptomatte [\"object\", \"objects\"] end options");
    EXPECT_EQ(first_error(r), "test.mi:1:36: error: unknown ID matte \"objects\" (use \"object\", "
                              "\"material\" or \"asset\")");
    r = parse("options \"o\" cryptomatte \"asset\" depth 0 end options");
    EXPECT_EQ(first_error(r), "test.mi:1:39: error: ID matte depth must be in [1, 32], got 0");

    r = parse("material \"m\" = \"s\" end light");
    EXPECT_EQ(first_error(r), "test.mi:1:24: error: expected \"material\" after \"end\", found \"light\"");

    // Deep nesting is refused rather than recursed into: the 65th "[" (at column 21 + 64) is too many.
    r = parse("shader \"s\" \"d\" (\"a\" " + std::string(100000, '['));
    EXPECT_EQ(first_error(r), "test.mi:1:85: error: nesting deeper than 64 levels");
    r = parse("link \"a\" @");
    EXPECT_EQ(first_error(r), "test.mi:1:10: error: unexpected character \"@\"");
}

// Steps move the object in the order written; the instance keeps the world-to-object matrix.
TEST(SceneReader, InstanceStepsAndLookAtGiveTheWorldToObjectMatrix) {
    const auto r = parse("instance \"cam_i\" \"cam\" translate 0 1 6 look at 0 1 0 end instance\n"
                         "instance \"b\" \"ball\" scale 2 2 2 rotate 90 0 1 0 translate 1 0 0 end instance\n"
                         "instance \"c\" \"cam\" translate 3 0 0 look at 0 0 0 end instance\n");
    ASSERT_TRUE(r.ok) << first_error(r);
    // A camera at (0, 1, 6) looking down -z: the README's matrix, identity with 0 -1 -6.
    const std::array<double, 16> readme = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -1, -6, 1};
    const auto& cam = *stmt<InstanceStmt>(r, 0).transform;
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(cam[size_t(i)], readme[size_t(i)], 1e-12) << i;
    // Object point (1, 0, 0): scaled to (2, 0, 0), turned a quarter about +y to (0, 0, -2),
    // moved to (1, 0, -2); the matrix takes that world point back to (1, 0, 0).
    const auto& b = *stmt<InstanceStmt>(r, 1).transform;
    const double w[4] = {1, 0, -2, 1};
    for (int j = 0; j < 3; ++j) {
        double v = 0;
        for (int k = 0; k < 4; ++k)
            v += w[k] * b[size_t(k * 4 + j)];
        EXPECT_NEAR(v, j == 0 ? 1 : 0, 1e-12) << j;
    }
    // From (3, 0, 0) towards the origin: the view (-z) is world -x, so world x is camera +z.
    const auto& c = *stmt<InstanceStmt>(r, 2).transform;
    EXPECT_NEAR(c[0 * 4 + 2], 1, 1e-12);
    EXPECT_NEAR(c[3 * 4 + 2], -3, 1e-12); // the camera's own position is its origin

    EXPECT_EQ(
        first_error(parse("instance \"i\" \"o\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n"
                          "  translate 1 0 0 end instance\n")),
        "test.mi:1:1: error: instance \"i\" has both a transform matrix and translate, rotate, scale or "
        "look at steps; give one or the other");
    EXPECT_EQ(first_error(parse("instance \"i\" \"o\" look at 0 0 0 end instance\n")),
              "test.mi:1:18: error: look at a point where the instance itself stands");
    EXPECT_EQ(first_error(parse("instance \"i\" \"o\" scale 0 1 1 end instance\n")),
              "test.mi:1:1: error: instance \"i\" is scaled by 0 and cannot be placed");
}

TEST(SceneReader, IncludesAreSplicedInPlace) {
    TempDir dir;
    dir.write("scene/parts/a.mi", "link \"a.so\"\n$include \"b.mi\"\n");
    dir.write("lib/b.mi", "link \"b.so\"\n");
    const fs::path main =
        dir.write("scene/main.mi", "link \"first.so\"\n$include \"parts/a.mi\"\nlink \"last.so\"\n");

    ParseOptions options;
    options.include_paths = {(dir.path() / "nowhere").string(), (dir.path() / "lib").string()};
    const ParseResult r = parse_file(main.string(), options);
    ASSERT_TRUE(r.ok) << first_error(r);
    ASSERT_EQ(r.statements.size(), 4u);
    EXPECT_EQ(stmt<LinkStmt>(r, 0).module, "first.so");
    EXPECT_EQ(stmt<LinkStmt>(r, 1).module, "a.so");
    EXPECT_EQ(stmt<LinkStmt>(r, 2).module, "b.so");
    EXPECT_EQ(stmt<LinkStmt>(r, 3).module, "last.so");
    EXPECT_EQ(stmt<LinkStmt>(r, 2).loc.file, (dir.path() / "lib/b.mi").string());

    // Without the include path, b.mi is searched for only beside a.mi, and the error is at the $include.
    const ParseResult missing = parse_file(main.string(), {});
    EXPECT_EQ(first_error(missing), (dir.path() / "scene/parts/a.mi").string() +
                                        ":2:1: error: cannot open include file \"b.mi\" (searched: " +
                                        (dir.path() / "scene/parts").string() + ")");

    ParseOptions two;
    two.include_paths = {"/no/such/dir"};
    const ParseResult from_string = parse_string("\n  $include \"nothing.mi\"", "virtual/x.mi", two);
    EXPECT_EQ(
        first_error(from_string),
        "virtual/x.mi:2:3: error: cannot open include file \"nothing.mi\" (searched: virtual, /no/such/dir)");

    const fs::path loop = dir.write("loop.mi", "$include \"loop.mi\"\n");
    const ParseResult deep = parse_file(loop.string(), {});
    EXPECT_FALSE(deep.ok);
    EXPECT_NE(first_error(deep).find("nested more than 32 deep"), std::string::npos) << first_error(deep);

    // Fan-out: 5 files each including the next 10 times would read 10^5 files; the 10,001st
    // read is refused. An interrupt stops the reading at the next statement.
    for (int level = 0; level < 5; ++level) {
        std::string text;
        for (int k = 0; k < 10; ++k)
            text += "$include \"f" + std::to_string(level + 1) + ".mi\"\n";
        dir.write("f" + std::to_string(level) + ".mi", text);
    }
    dir.write("f5.mi", "link \"x.so\"\n");
    const ParseResult fan = parse_file((dir.path() / "f0.mi").string(), {});
    EXPECT_NE(first_error(fan).find("more than 10000 include files read for one scene"), std::string::npos)
        << first_error(fan);
    const std::atomic<bool> interrupted{true};
    ParseOptions cancelled;
    cancelled.cancel = &interrupted;
    EXPECT_EQ(first_error(parse_file(main.string(), cancelled)),
              main.string() + ":1:1: error: interrupted while reading the scene");
}

const char* kQuadObj = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
                       "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nvt 0.5 0.5\n"
                       "f 1/1 2/2 3/3 4/4\n";

TEST(SceneReader, ObjFileInObject) {
    TempDir dir;
    dir.write("meshes/quad.obj", kQuadObj);
    const fs::path scene = dir.write("s.mi", "object \"m\"\n  file \"meshes/quad.obj\"\nend object\n");
    const ParseResult r = parse_file(scene.string(), {});
    ASSERT_TRUE(r.ok) << first_error(r);
    const auto& obj = stmt<ObjectStmt>(r, 0);
    EXPECT_EQ(obj.files, std::vector<std::string>{(dir.path() / "meshes/quad.obj").string()});
    const PolygonMesh& m = obj.mesh;
    EXPECT_EQ(m.triangles.size(), 6u);
    EXPECT_EQ(m.P.size(), 12u);
    EXPECT_TRUE(m.N.empty());
    ASSERT_EQ(m.T.size(), 1u);
    ASSERT_EQ(m.T[0].size(), 12u);
    // Each vertex's uv equals its x and y here, with 0 as the third component.
    for (size_t v = 0; v < 4; ++v) {
        EXPECT_EQ(m.T[0][3 * v], m.P[3 * v]);
        EXPECT_EQ(m.T[0][3 * v + 1], m.P[3 * v + 1]);
        EXPECT_EQ(m.T[0][3 * v + 2], 0.0f);
    }
    EXPECT_EQ(m.triangle_material, (std::vector<int>{-1, -1}));

    const fs::path bad = dir.write("bad.mi", "object \"m\"\n    file \"missing.obj\"\nend object\n");
    const ParseResult missing = parse_file(bad.string(), {});
    EXPECT_EQ(first_error(missing).rfind(bad.string() + ":2:5: error: cannot load mesh \"missing.obj\"", 0),
              0u)
        << first_error(missing);
}

TEST(SceneReader, ObjVerticesAreUnifiedPerIndexTriple) {
    TempDir dir;
    // Two triangles share positions 1 and 3; the second uses another uv at position 3.
    const fs::path obj =
        dir.write("t.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 1 1\nvn 0 0 1\n"
                           "f 1/1/1 2/2/1 3/3/1\nf 1/1/1 3/2/1 4/3/1\nf 1/1/1 2/2/1 4/3/1\n");
    PolygonMesh m;
    std::string error;
    ASSERT_TRUE(load_obj(obj.string(), m, error)) << error;
    // Distinct triples: 1/1, 2/2, 3/3, 3/2, 4/3 -> 5 vertices.
    EXPECT_EQ(m.P.size(), 15u);
    EXPECT_EQ(m.N.size(), 15u);
    EXPECT_EQ(m.triangles, (std::vector<uint32_t>{0, 1, 2, 0, 3, 4, 0, 1, 4}));
    EXPECT_EQ(m.N[14], 1.0f);

    const fs::path broken = dir.write("b.obj", "v 0 0 0\nf 1 2 3\n");
    EXPECT_FALSE(load_obj(broken.string(), m, error));
    EXPECT_FALSE(error.empty());

    // An interrupt stops the reading of a mesh that is still being read.
    const std::atomic<bool> interrupted{true};
    EXPECT_FALSE(load_obj(obj.string(), m, error, &interrupted));
    EXPECT_NE(error.find("interrupted while reading"), std::string::npos) << error;
}

TEST(SceneReader, DiagnosticFormat) {
    EXPECT_EQ((Diagnostic{{"a.mi", 3, 5}, "boom"}).str(), "a.mi:3:5: error: boom");
    EXPECT_EQ((Diagnostic{{"a.mi", 0, 0}, "boom"}).str(), "a.mi: error: boom");
}

} // namespace
} // namespace orn::scene
