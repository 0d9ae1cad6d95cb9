// Eye rays traced in packets give the pictures that tracing them one by one gives, bit for
// bit, on any number of threads.
#include "support/scene_fixture.h"
#include "support/scene_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace orn::test {
namespace {

// Every plane of the resolved film, as bit patterns.
std::vector<uint32_t> rendered_planes(const std::string& text, int threads, bool packets,
                                      bool split = false) {
    SessionOptions o;
    o.render.threads = threads;
    o.render.progress = false;
    o.render.eye_packets = packets;
    Session session(o);
    std::vector<uint32_t> bits;
    if (!session.load_string(text, "packets.mi")) {
        ADD_FAILURE() << "scene did not load";
        return bits;
    }
    auto frame = session.make_frame();
    if (split && session.world()) session.world()->geometry().split_packets();
    if (!frame || !frame->prepare()) {
        ADD_FAILURE() << "frame did not prepare";
        return bits;
    }
    frame->render_pixels();
    for (int p = 0; p < frame->film().plane_count(); ++p) {
        const std::vector<float>& v = frame->film().resolved(p);
        const size_t at = bits.size();
        bits.resize(at + v.size());
        std::memcpy(bits.data() + at, v.data(), v.size() * sizeof(float));
    }
    frame->finish();
    return bits;
}

void expect_same_bits(const std::string& text) {
    const auto single = rendered_planes(text, 1, false);
    ASSERT_FALSE(single.empty());
    // Two threads, and packets handed to Embree in halves as where the CPU lacks 16-wide vectors.
    for (int run : {1, 2, 3}) {
        const auto packets = rendered_planes(text, run == 2 ? 2 : 1, true, run == 3);
        ASSERT_EQ(packets.size(), single.size());
        size_t differ = 0;
        for (size_t i = 0; i < single.size(); ++i)
            differ += packets[i] != single[i];
        EXPECT_EQ(differ, 0u) << "values that differ in run " << run;
    }
}

// The quad's two triangles share the diagonal x = y, on which the centres of the diagonal
// pixels lie: both triangles are hit there at the same distance, and the texture coordinates
// the eye pattern reads come from whichever is kept.
TEST(EyePackets, SameBitsAsSingleRaysWhereTrianglesTie) {
    QuadScene q;
    q.material = "eye_m";
    q.defs = "material \"eye_m\" \"orn_eye\" (\"pupil_radius\" 0.3, \"iris_radius\" 0.45) end material\n";
    expect_same_bits(q.text());
    // Several samples per pixel under a wide filter: packets then hold samples of
    // neighbouring pixels, and the film still adds them in the same order.
    q.options = "samples 1 1 filter gauss 2 2";
    expect_same_bits(q.text());
}

TEST(EyePackets, SameBitsWithLightsShadowsAndPasses) {
    QuadScene q;
    q.material = "m_m";
    q.camera = rgb_buffers({"tk_diffuse", "tk_specular"});
    q.defs =
        mega("m", "\"diffuse_on\" on, \"diffuse_weight\" 1, \"diffuse_color\" 0.8 0.6 0.4 1, "
                  "\"phong_on\" on, \"phong_weight\" 0.5, \"phong_color\" 1 1 1 1, \"phong_exponent\" 20") +
        toolkit_light("key", directional({-0.3, 0.4, 1.0}), "1 1 1") + quad_object("card", -3.f, 1.f) +
        "instance \"card_i\" \"card\" material \"m_m\" end instance\n";
    q.instances = {"key_i", "card_i"};
    expect_same_bits(q.text());
}

} // namespace
} // namespace orn::test
