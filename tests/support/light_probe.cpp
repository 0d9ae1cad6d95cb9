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

miColor light_at_floor(const std::string& scene, const std::string& light_instance) {
    SceneFixture fx;
    if (!fx.load(scene)) {
        ADD_FAILURE() << "scene did not load";
        return {};
    }
    miState* hit = fx.probe_eye(50.f, 50.f);
    if (!hit) {
        ADD_FAILURE() << "no floor";
        return {};
    }
    const SampledLight s = sample_light_once(fx, hit, light_instance);
    EXPECT_TRUE(s.sampled);
    return s.color;
}

} // namespace orn::test
