// Cost of one orn_MegaTK shading call on a real hit under two directional toolkit lights:
// all eight lighting models at once against the diffuse model alone, and the diffuse model
// writing all 25 tk passes.
//
//   build/bin/bench_megatk [--benchmark_filter=...]
#include "core/messages.h"
#include "render/session.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

std::string scene_text() {
    const std::string common =
        "\"opacity\" 1 1 1 1, \"opacity_channel\" 3, \"ior\" 1, \"diffuse_color\" 0.8 0.7 0.6 1, "
        "\"diffuse_on\" on, \"diffuse_weight\" 0.8, \"diffuse_softness\" 0.5, "
        "\"diffuse_category\" \"key\", \"ambient_on\" on, \"ambient_scale\" 0.1, "
        "\"ambient_color\" 1 1 1, \"lights\" [\"key_i\", \"fill_i\"]";
    const std::string models =
        "\"fur_on\" on, \"fur_weight\" 0.5, \"fur_angle\" 30, \"fur_skin_color\" 0.5 0.4 0.3 1, "
        "\"fur_density\" 2, \"fur_reflect\" 0.3, \"fur_transmit\" 0.2, \"fur_self_shadow\" 0.5, "
        "\"fur_terminator\" 0.5, \"fur_terminator_start\" 0, \"fur_terminator_end\" 0.3, \"fur_length\" 1, "
        "\"fur_base_width\" 0.2, \"fur_tip_width\" 0.1, \"fur_category\" \"key\", "
        "\"phong_on\" on, \"phong_weight\" 0.5, \"phong_color\" 1 1 1 1, \"phong_exponent\" 20, "
        "\"phong_category\" \"key\", "
        "\"blinn_on\" on, \"blinn_weight\" 0.5, \"blinn_color\" 1 1 1 1, \"blinn_eccentricity\" 0.3, "
        "\"blinn_reflectivity\" 0.5, \"blinn_category\" \"key\", "
        "\"velvet_on\" on, \"velvet_weight\" 0.3, \"velvet_color\" 1 0.8 0.8 1, \"velvet_backscatter\" 0.5, "
        "\"velvet_edginess\" 2, \"velvet_roughness\" 0.3, \"velvet_category\" \"key\", "
        "\"toon_on\" on, \"toon_weight\" 0.3, \"toon_color\" 1 1 1 1, \"toon_size\" 0.5, \"toon_sharpness\" "
        "0.8, "
        "\"toon_category\" \"key\", "
        "\"ward_on\" on, \"ward_weight\" 0.4, \"ward_color\" 1 1 1 1, \"ward_shiny_u\" 10, \"ward_shiny_v\" "
        "40, "
        "\"ward_derivs_frame\" on, \"ward_category\" \"key\", "
        "\"strand_on\" on, \"strand_weight\" 0.4, \"strand_angle\" 20, \"strand_primary_color\" 1 1 1 1, "
        "\"strand_primary_exponent\" 40, \"strand_secondary_color\" 0.5 0.4 0.3 1, "
        "\"strand_secondary_exponent\" 10, \"strand_noise_amount\" 0.2, \"strand_noise_frequency\" 5, "
        "\"strand_category\" \"key\"";
    std::string passes = "\"depth_on\" on, \"depth_near\" 1, \"depth_far\" 100";
    std::string buffers;
    for (const char* name :
         {"shading",   "color",     "diffuse",    "shadow",    "specular",  "spec_shd",  "diff_occl",
          "indirect",  "ambient",   "amb_occlus", "reflect",   "refract",   "incand",    "z",
          "bent",      "specialC1", "specialC2",  "specialC3", "specialC4", "specialC5", "specialC6",
          "specialC7", "specialC8", "specialC9",  "specialC10"}) {
        passes += std::string(", \"pass_") + name + "\" on";
        buffers += std::string("  framebuffer \"tk_") + name +
                   "\" (\"datatype\" \"rgb_fp\", \"user\" on, \"filtering\" on, \"useopacity\" on)\n";
    }
    auto light = [](const std::string& name, const std::string& dir) {
        return "light \"" + name +
               "\" \"orn_DirectTK\" (\"color\" 1 1 1 1, \"intensity\" 1, \"emit_diffuse\" on, "
               "\"emit_specular\" on, \"shadow\" on, \"shadow_factor\" 0, \"category\" \"key\") direction " +
               dir + " end light\ninstance \"" + name + "_i\" \"" + name + "\" end instance\n";
    };
    return std::string("link \"") + ORN_BUILD_DIR + "/lib/shaders_orn.so\"\n$include \"" + ORN_SOURCE_DIR +
           "/declarations/shaders_orn.mi\"\n"
           "options \"opt\" samples 0 0 end options\n"
           "camera \"cam\" focal 1 aperture 2 aspect 1 resolution 100 100\n" +
           buffers +
           "end camera\n"
           "instance \"cam_i\" \"cam\" end instance\n" +
           light("key", "-0.3 -0.5 -0.8") + light("fill", "0.6 -0.2 -0.77") +
           "shader \"diffuse\" \"orn_MegaTK\" (" + common + ")\n" + "shader \"all\" \"orn_MegaTK\" (" +
           common + ", " + models + ")\n" + "shader \"passes\" \"orn_MegaTK\" (" + common + ", " + passes +
           ")\n" +
           "material \"mat\" = \"diffuse\" end material\n"
           "object \"quad\" visible shadow trace group\n"
           "  -20 -20 0  20 -20 0  20 20 0  -20 20 0  0 0 0  1 0 0  1 1 0  0 1 0\n"
           "  v 0 t 4 v 1 t 5 v 2 t 6 v 3 t 7\n  p 0 1 2 3\nend group end object\n"
           "instance \"surface\" \"quad\" material \"mat\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 5 1 end "
           "instance\n"
           "instgroup \"root\" \"cam_i\" \"surface\" \"key_i\" \"fill_i\" end instgroup\n"
           "render \"root\" \"cam_i\" \"opt\"\n";
}

// A session with the frame prepared and the hit of the centre pixel, ready for shader calls
// on the calling thread.
class ShadingSetup {
  public:
    ShadingSetup() {
        orn::Messages::set_verbosity(1);
        orn::SessionOptions o;
        o.render.threads = 1;
        o.render.progress = false;
        session_ = std::make_unique<orn::Session>(o);
        if (!session_->load_string(scene_text(), "bench_megatk.mi")) return;
        frame_ = session_->make_frame(0);
        if (!frame_ || !frame_->prepare()) {
            frame_.reset();
            return;
        }
        orn::ThreadContext::set_current(&frame_->main_context());
        // an eye sample of the calling thread, so that the passes reach their buffers
        frame_->main_context().own_film_sample(frame_->film().clear_sample());
        miState* root = frame_->main_context().begin_sample(50, 50, 0);
        miVector org, dir;
        frame_->camera_ray(50.f, 50.f, org, dir);
        root->org = org;
        root->dir = dir;
        if (!frame_->trace_probe(root, dir, org)) return;
        hit_ = root->child;
        hit_->type = miRAY_EYE;
    }
    ~ShadingSetup() {
        orn::ThreadContext::set_current(nullptr);
        frame_.reset();
        session_.reset();
    }
    ShadingSetup(const ShadingSetup&) = delete;
    ShadingSetup& operator=(const ShadingSetup&) = delete;

    miState* hit() const { return hit_; }
    miFunction* shader(const std::string& name) {
        auto* fe = session_->db().get_as<orn::FunctionElement>(session_->db().lookup(name), miSCENE_FUNCTION);
        return fe ? &fe->function : nullptr;
    }
    miBoolean call(miFunction* f, miColor* result) { return frame_->call_shader(f, result, hit_); }

  private:
    std::unique_ptr<orn::Session> session_;
    std::unique_ptr<orn::Frame> frame_;
    miState* hit_ = nullptr;
};

void shade(benchmark::State& st, const char* shader) {
    ShadingSetup setup;
    miFunction* f = setup.shader(shader);
    if (!setup.hit() || !f) {
        st.SkipWithError("the benchmark scene did not load");
        return;
    }
    miColor c{0.f, 0.f, 0.f, 0.f};
    for (auto _ : st) {
        benchmark::DoNotOptimize(setup.call(f, &c));
        benchmark::DoNotOptimize(c);
    }
}

void BM_MegaTK_DiffuseOnly(benchmark::State& st) {
    shade(st, "diffuse");
}
void BM_MegaTK_AllEightModels(benchmark::State& st) {
    shade(st, "all");
}

void BM_MegaTK_DiffuseAllPasses(benchmark::State& st) {
    shade(st, "passes");
}

BENCHMARK(BM_MegaTK_DiffuseOnly);
BENCHMARK(BM_MegaTK_AllEightModels);
BENCHMARK(BM_MegaTK_DiffuseAllPasses);

} // namespace

BENCHMARK_MAIN();
