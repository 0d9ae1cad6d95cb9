// The eight lighting models of orn_MegaTK: their per-call set-up and the factor each puts in
// front of the light colour of one light sample. Internal to the module.
#pragma once

#include "source/toolkit/orn_MegaTK.h"

namespace orn::megatk {

// The models as bits of a mask.
enum ModelBit : unsigned {
    kDiffuse = 1u << 0,
    kFur = 1u << 1,
    kPhong = 1u << 2,
    kBlinn = 1u << 3,
    kVelvet = 1u << 4,
    kToon = 1u << 5,
    kWard = 1u << 6,
    kStrand = 1u << 7,
};
constexpr int kModelCount = 8;
constexpr unsigned kAllModels = (1u << kModelCount) - 1u;
constexpr unsigned kDiffuseModels = kDiffuse | kFur; // feed the diffuse sums
constexpr unsigned kSpecularModels = kAllModels & ~kDiffuseModels;

// Geometry shared by every light sample of one call.
struct CallGeometry {
    miVector N;  // shading normal (the replacement, when the normal is replaced)
    miVector Nn; // N normalised
    miVector V;  // unit vector towards the viewer
    float kd;    // diffuse strength, 0 when the diffuse model is off
    float p;     // diffuse exponent
};

// Factors of one light sample, to be multiplied by its light colour channel by channel.
struct SampleTerms {
    miColor diffuse;  // sum over the diffuse-type models
    miColor specular; // sum over the specular-type models
};

// Colour arithmetic on r, g and b; alpha is left alone.
inline void accumulate(miColor* acc, const miColor& c, float s) {
    acc->r += c.r * s;
    acc->g += c.g * s;
    acc->b += c.b * s;
}
inline void accumulate(miColor* acc, const miColor& a, const miColor& b) {
    acc->r += a.r * b.r;
    acc->g += a.g * b.g;
    acc->b += a.b * b.b;
}
inline void accumulate_grey(miColor* acc, float s) {
    acc->r += s;
    acc->g += s;
    acc->b += s;
}

struct TangentFrame {
    miVector u, v;
};

// The surface's tangent frame around N: u from the bump basis or the first texture space,
// v = N x u. Without texture coordinates both are zero (with a warning).
TangentFrame surface_tangent_frame(miState* state, const miVector& N);

// A direction `degrees` from u towards v, as a piecewise linear blend (not normalised).
miVector rotate_in_tangent_plane(const miVector& u, const miVector& v, float degrees);

// Evaluates the parameters of the models once per call; evaluate() then costs no
// parameter reads and no allocation per light sample.
class LightingModels {
  public:
    LightingModels(miState* state, orn_MegaTK_params* paras, const megatk_instance& inst,
                   const CallGeometry& geo);

    // Models that are on and have something to add.
    unsigned active() const { return active_; }
    // The models of `candidates` whose category accepts a toolkit light of `light_category`.
    unsigned accepting(unsigned candidates, const char* light_category) const;
    // Terms of the models in `mask` for the unit direction L and cosine c; state->normal
    // must hold N.
    SampleTerms evaluate(miState* state, const miVector& L, float c, unsigned mask) const;

  private:
    struct Fur {
        float weight, density_area, self_shadow, terminator, ramp_start, ramp_end, scatter;
        float view_cover; // cover towards the viewer, the same for every sample
        miVector dir;
        miColor skin;
    };
    struct Phong {
        float weight, exponent;
        miColor color;
    };
    struct Blinn {
        float weight, q, reflectivity, nv;
        miColor color;
    };
    struct Velvet {
        float weight, backscatter, inv_roughness, edge = 0.f;
        miColor color;
    };
    struct Toon {
        float weight, threshold, width;
        miColor color;
    };
    struct Ward {
        float weight, shiny_u, shiny_v;
        bool isotropic;
        miVector u, v;
        miColor color;
    };
    struct Strand {
        float weight, primary_exponent, secondary_exponent;
        miVector dir;
        miColor primary, secondary;
    };

    void prepare_fur(miState* state, orn_MegaTK_params* paras, const TangentFrame& frame);
    void prepare_toon(miState* state, orn_MegaTK_params* paras);
    void prepare_ward(miState* state, orn_MegaTK_params* paras, bool derivs_frame);
    void prepare_strand(miState* state, orn_MegaTK_params* paras, const TangentFrame& frame,
                        float noise_frequency);

    float fur_cover(const miVector& X) const;
    void add_diffuse(float c, miColor* acc) const;
    void add_fur(const miVector& L, float c, miColor* acc) const;
    void add_phong(miState* state, const miVector& L, miColor* acc) const;
    void add_blinn(const miVector& L, miColor* acc) const;
    void add_velvet(const miVector& L, float c, miColor* acc) const;
    void add_toon(const miVector& L, float c, miColor* acc) const;
    void add_ward(miState* state, const miVector& L, float c, miColor* acc) const;
    void add_strand(const miVector& L, float c, miColor* acc) const;

    CallGeometry geo_;
    const char* category_[kModelCount];
    unsigned active_ = 0;
    Fur fur_{};
    Phong phong_{};
    Blinn blinn_{};
    Velvet velvet_{};
    Toon toon_{};
    Ward ward_{};
    Strand strand_{};
};

} // namespace orn::megatk
