// The light lists shaders iterate with LightIterator: the lights around one shaded point,
// each sampled by calling its light shader on a light state.
#pragma once

#include "host/shader.h"

#include <vector>

namespace orn {

struct WorldLight;
struct LightSample;

// What a light list needs of the frame: its lights, and a way to call a light's shader for one
// sample (the light state becomes state->child).
class LightSource {
  public:
    virtual const std::vector<WorldLight>& lights() const = 0;
    virtual miBoolean call_light(miColor* result, miState* state, const WorldLight& light,
                                 const LightSample& sample) = 0;

  protected:
    ~LightSource() = default;
};

class ThreadContext;

class LightListImpl final : public mi::shader::LightList {
  public:
    // Fills the list for `state`: the given light tags, or the default lights allowed by the
    // instance's light links when `lights` is null or empty.
    void reset(LightSource& source, miState* state, const miVector* axis, miScalar spread_cos,
               const miTag* lights, miUint n_lights);

    size_t get_number_of_lights() const override { return lights_.size(); }
    miTag get_light_tag(size_t i) const override;
    miBoolean sample(size_t i) override;
    void get_contribution(miColor* c) const override { *c = color_; }
    void get_contribution(miScalar* c) const override { *c = (color_.r + color_.g + color_.b) / 3.f; }
    const miVector& get_direction() const override { return dir_; }
    miScalar get_dot_nl() const override { return dot_nl_; }
    miInteger get_number_of_samples() const override { return taken_; }
    void release() override { in_use = false; }

    bool in_use = false;

  private:
    LightSource* source_ = nullptr;
    miState* state_ = nullptr;
    miVector axis_{0, 0, 0};
    bool use_axis_ = false;
    miScalar spread_cos_ = 0.f;
    std::vector<const WorldLight*> lights_;
    size_t current_ = size_t(-1);
    int next_ = 0;
    int taken_ = 0;
    uint64_t seed_ = 0;
    miColor color_{0, 0, 0, 0};
    miVector dir_{0, 0, 0};
    miScalar dot_nl_ = 0.f;
};

// A light list of the thread's own that no shader holds.
LightListImpl* acquire_light_list(ThreadContext& tc);

} // namespace orn
