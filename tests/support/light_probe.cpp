#include "support/light_probe.h"

#include <gtest/gtest.h>

#include <cstring>

namespace orn::test {

SampledLight sample_light_once(SceneFixture& fx, miState* hit, const std::string& light_instance) {
    SampledLight out;
    const miTag light = fx.session().db().lookup(light_instance);
    mi::shader::LightIterator it(hit, &light, 1);
    if (it.at_end()) {
        ADD_FAILURE() << "no light " << light_instance;
        return out;
    }
    out.sampled = it->sample();
    if (!out.sampled) return out;
    it->get_contribution(&out.color);
    if (hit->child) {
        out.light_org = hit->child->org;
        out.light_dir = hit->child->dir;
    }
    if (auto* rec = static_cast<const ltk_record*>(mi_shaderstate_get(hit, "ltk", nullptr))) {
        out.has_record = true;
        std::memcpy(&out.record, rec, sizeof out.record);
    }
    return out;
}

void expect_rgb(const miColor& c, float r, float g, float b, float tol) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
}

void expect_color(const miColor& c, float r, float g, float b, float a, float tol) {
    expect_rgb(c, r, g, b, tol);
    EXPECT_NEAR(c.a, a, tol);
}

std::string quad_object(const std::string& name, float z, float h) {
    const std::string zs = std::to_string(z), p = std::to_string(h), m = std::to_string(-h);
    return "object \"" + name + "\" visible shadow trace group\n  " + m + " " + m + " " + zs + "  " + p +
           " " + m + " " + zs + "  " + p + " " + p + " " + zs + "  " + m + " " + p + " " + zs +
           "\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\nend group end object\n";
}

std::string floor_scene(const std::string& body, const std::string& names, const std::string& shadow_mode) {
    return module_preamble() + "options \"opt\" samples 0 0 trace depth 4 4 8 shadow " + shadow_mode +
           " end options\n"
           "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100 end camera\n"
           "instance \"cam_i\" \"cam\" end instance\n"
           "material \"floor_m\" \"orn_constant\" (\"color\" 1 1 1 1) end material\n" +
           quad_object("floor", -5.f) + "instance \"floor_i\" \"floor\" material \"floor_m\" end instance\n" +
           body + "instgroup \"root\" \"cam_i\" \"floor_i\" " + names +
           " end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";
}

} // namespace orn::test
