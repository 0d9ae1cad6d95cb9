// Light groups on the shader side: each group's share of a colour a shader computes, carried
// through the same sums and products as the colour itself, so that the shares of its result add
// up to the part of it that grouped lights made. Without light groups in the frame every
// operation is a no-op on an empty set.
#pragma once

#include "host/shader.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace orn {

// At most this many groups: each costs an RGB value per sample at every depth of the ray tree.
constexpr int kMaxLightGroups = 32;
// A group's buffer is kLightGroupBuffer + its name, its EXR layer kLightGroupLayer + its name.
constexpr const char* kLightGroupBuffer = "tk_lightgroup_";
constexpr const char* kLightGroupLayer = "orn_MegaTK_lightgroup_";
// The name of what no group holds; no group may take it.
constexpr const char* kRestGroup = "rest";

// The names of the frame's light-group layers: every group's, then the rest's; none without
// groups.
inline std::vector<std::string> light_group_layer_names(miState* state) {
    std::vector<std::string> names;
    const int n = mi_lightgroup_count(state);
    for (int g = 0; g < n; ++g)
        if (const char* name = mi_lightgroup_name(state, g)) names.emplace_back(name);
    if (n > 0) names.emplace_back(kRestGroup);
    return names;
}

class GroupShares {
  public:
    static constexpr int kMax = kMaxLightGroups;

    explicit GroupShares(miState* state) : n_(std::clamp(mi_lightgroup_count(state), 0, kMax)) {
        std::fill_n(v_, n_, miColor{0.f, 0.f, 0.f, 0.f});
    }

    int size() const { return n_; }
    bool on() const { return n_ > 0; }
    miColor& operator[](int g) { return v_[g]; }
    const miColor& operator[](int g) const { return v_[g]; }

    // += w x (each group's share of what the state's last trace brought back).
    void add_traced(miState* state, const miColor& w) {
        if (!n_) return;
        if (const miColor* t = mi_lightgroup_traced(state))
            for (int g = 0; g < n_; ++g)
                add_to(g, t[g], w);
    }
    // += w x o
    void add(const GroupShares& o, const miColor& w) {
        for (int g = 0; g < std::min(n_, o.n_); ++g)
            add_to(g, o.v_[g], w);
    }
    void add(const GroupShares& o, float w) { add(o, miColor{w, w, w, 0.f}); }
    // += w x c into one group; a light outside the groups (g < 0) adds nothing.
    void add(int g, const miColor& c, const miColor& w) {
        if (g >= 0 && g < n_) add_to(g, c, w);
    }
    void scale(const miColor& w) {
        for (int g = 0; g < n_; ++g)
            v_[g] = {v_[g].r * w.r, v_[g].g * w.g, v_[g].b * w.b, 0.f};
    }
    void scale(float w) { scale(miColor{w, w, w, 0.f}); }

    // Hands the shares to the renderer as those of the state's result. A share that is not finite
    // (the result was guarded against it) becomes zero, as the result's channel did.
    void publish(miState* state) const {
        if (!n_) return;
        miColor* out = mi_lightgroup_result(state);
        if (!out) return;
        for (int g = 0; g < n_; ++g) {
            const miColor& s = v_[g];
            out[g] = {finite(s.r), finite(s.g), finite(s.b), 0.f};
        }
    }
    // A colour parameter connected to a shader that lights (a colour shader that samples lights,
    // as the scatter wrap does) brings its shares along: they are the slot's contents after the
    // evaluation, which starts from zero. `eval` evaluates the parameter.
    template <class Eval> auto take_from(miState* state, Eval&& eval) {
        miColor* slot = n_ ? mi_lightgroup_result(state) : nullptr;
        if (slot) std::fill_n(slot, n_, miColor{0.f, 0.f, 0.f, 0.f});
        auto value = eval();
        if (slot) std::copy(slot, slot + n_, v_);
        return value;
    }

    // The state's result is what its last trace brought back, times w: so are its shares.
    static void pass_through(miState* state, const miColor& w) {
        GroupShares s(state);
        s.add_traced(state, w);
        s.publish(state);
    }
    static void pass_through(miState* state, float w = 1.f) { pass_through(state, miColor{w, w, w, 0.f}); }

  private:
    void add_to(int g, const miColor& c, const miColor& w) {
        v_[g].r += w.r * c.r;
        v_[g].g += w.g * c.g;
        v_[g].b += w.b * c.b;
    }
    static float finite(float x) { return std::isfinite(x) ? x : 0.f; }

    int n_;
    miColor v_[kMax];
};

} // namespace orn
