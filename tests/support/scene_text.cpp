#include "support/scene_text.h"

#include "support/scene_fixture.h"

namespace orn::test {

std::string vec_text(const Vec& v) {
    return std::to_string(v.x) + " " + std::to_string(v.y) + " " + std::to_string(v.z);
}

std::string quad_object(const std::string& name, float z, float h, bool textured) {
    const std::string zs = std::to_string(z), p = std::to_string(h), m = std::to_string(-h);
    return "object \"" + name + "\" visible shadow trace group\n  " + m + " " + m + " " + zs + "  " + p +
           " " + m + " " + zs + "  " + p + " " + p + " " + zs + "  " + m + " " + p + " " + zs +
           (textured ? "  0 0 0  1 0 0  1 1 0  0 1 0\n  v 0 t 4 v 1 t 5 v 2 t 6 v 3 t 7\n"
                     : "\n  v 0 v 1 v 2 v 3\n") +
           "  p 0 1 2 3\nend group end object\n";
}

namespace {

const char* const kCamera = "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100\n";

} // namespace

std::string floor_scene(const std::string& body, const std::string& names, const std::string& shadow_mode) {
    return module_preamble() + "options \"opt\" samples 0 0 trace depth 4 4 8 shadow " + shadow_mode +
           " end options\n" + kCamera +
           "end camera\ninstance \"cam_i\" \"cam\" end instance\n"
           "material \"floor_m\" \"orn_constant\" (\"color\" 1 1 1 1) end material\n" +
           quad_object("floor", -5.f) + "instance \"floor_i\" \"floor\" material \"floor_m\" end instance\n" +
           body + "instgroup \"root\" \"cam_i\" \"floor_i\" " + names +
           " end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
}

std::string QuadScene::text() const {
    std::string group = "\"cam_i\" \"surface\"";
    for (const auto& name : instances)
        group += " \"" + name + "\"";
    return module_preamble() + "options \"opt\" " + options + " end options\n" + kCamera + camera +
           "end camera\ninstance \"cam_i\" \"cam\" end instance\n" + defs +
           quad_object("quad", -5.f, 20.f, true) + "instance \"surface\" \"quad\" material \"" + material +
           "\" " + placement + " end instance\ninstgroup \"root\" " + group +
           " end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
}

std::string mega(const std::string& name, const std::string& params, const std::string& opacity) {
    // an index of refraction of 0 (unset) would be corrected with a warning
    const std::string ior = params.find("\"ior\"") == std::string::npos ? ", \"ior\" 1" : "";
    return "shader \"" + name + "\" \"orn_MegaTK\" (" + zero_defaults("orn_MegaTK") + "\"opacity\" " +
           opacity + ", \"opacity_channel\" 3" + ior + (params.empty() ? "" : ", " + params) +
           ")\nmaterial \"" + name + "_m\" = \"" + name + "\" end material\n";
}

std::string directional(const Vec& to_light) {
    return "direction " + vec_text(to_light * -1.0);
}

std::string area_light(const Vec& origin, const std::string& shape) {
    return "origin " + vec_text(origin) + " " + shape;
}

namespace {

std::string light(const std::string& name, const std::string& shader, const std::string& placement) {
    return "light \"" + name + "\" " + shader + "\n  " + placement + "\nend light\ninstance \"" + name +
           "_i\" \"" + name + "\" end instance\n";
}

std::string on_off(bool on) {
    return on ? "on" : "off";
}

} // namespace

std::string toolkit_light(const std::string& name, const std::string& placement, const std::string& color,
                          double intensity, const std::string& category, bool emit_diffuse,
                          bool emit_specular) {
    return light(name,
                 "\"orn_DirectTK\" (\"color\" " + color + " 1, \"intensity\" " + std::to_string(intensity) +
                     ", \"emit_diffuse\" " + on_off(emit_diffuse) + ", \"emit_specular\" " +
                     on_off(emit_specular) + ", \"shadow\" off, \"category\" \"" + category + "\")",
                 placement);
}

std::string plain_light(const std::string& name, const std::string& placement, const std::string& color) {
    return light(name, "\"orn_constant\" (\"color\" " + color + " 1)", placement);
}

std::string rgb_buffers(const std::vector<std::string>& names) {
    std::string s;
    for (const auto& name : names)
        s += "  framebuffer \"" + name + "\" (\"datatype\" \"rgb_fp\", \"user\" on)\n";
    return s;
}

} // namespace orn::test
