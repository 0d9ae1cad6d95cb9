// Global illumination: the photon pass before the frame, photon rays for photon shaders,
// and the irradiance that materials ask for (photon map and final gathering).
#include "core/hash.h"
#include "core/messages.h"
#include "light/light_sampling.h"
#include "photon/photon_map.h"
#include "render/frame.h"

#include <chrono>
#include <cmath>

namespace orn {

namespace {

constexpr double kPi = 3.141592653589793;

const scene::Value* option(const OptionsElement* o, const char* name) {
    if (!o) return nullptr;
    for (const auto& [n, v] : o->string_options)
        if (n == name) return &v;
    return nullptr;
}
bool flag(const OptionsElement* o, const char* name, bool fallback) {
    const scene::Value* v = option(o, name);
    if (!v) return fallback;
    if (v->kind == scene::Value::Kind::Boolean) return v->boolean;
    return !v->numbers.empty() ? v->numbers[0] != 0 : fallback;
}
double number(const OptionsElement* o, const char* name, double fallback) {
    const scene::Value* v = option(o, name);
    return v && !v->numbers.empty() ? v->numbers[0] : fallback;
}

miVector sphere(float a, float b) {
    const float u = 2.f * a - 1.f, w = std::sqrt(std::max(0.f, 1.f - u * u)), phi = 6.2831853f * b;
    return {w * std::cos(phi), w * std::sin(phi), u};
}

void basis(const miVector& w, miVector& u, miVector& v) {
    u = normalized(std::fabs(w.x) > 0.5f ? cross({0, 1, 0}, w) : cross({1, 0, 0}, w));
    v = cross(w, u);
}

bool is_reflection(int type) {
    return type == miPHOTON_REFLECT_SPECULAR || type == miPHOTON_REFLECT_GLOSSY ||
           type == miPHOTON_REFLECT_DIFFUSE;
}

} // namespace

size_t Frame::photon_count() const {
    return photon_map_ ? photon_map_->size() : 0;
}

void Frame::read_gi_settings() {
    const OptionsElement* o = world_.options();
    gi_.finalgather = flag(o, "finalgather", false);
    // Counts past these limits add nothing visible and could stall the frame or exhaust memory.
    auto bounded = [o](const char* name, double fallback, int lo, int hi) {
        const double v = number(o, name, fallback);
        const int b = v == v ? int(std::clamp(v, double(lo), double(hi))) : int(fallback);
        if (double(b) != v)
            Messages::emitf(Severity::Warning, "option \"%s\" %g is outside %d to %d; using %d", name, v, lo,
                            hi, b);
        return b;
    };
    gi_.finalgather_rays = bounded("finalgather rays", 64, 1, 4096);
    gi_.globillum = flag(o, "globillum", false) || flag(o, "caustic", false);
    gi_.photons = bounded("globillum photons", 100000, 0, 100000000);
    gi_.accuracy = bounded("globillum accuracy", 64, 1, 512);
    gi_.radius = float(std::max(0.0, number(o, "globillum radius", 0.0)));
    if (miOptions* rec = options_record()) {
        rec->finalgather = gi_.finalgather;
        rec->globillum = gi_.globillum;
        rec->photon_reflection_depth = std::max(0, int(number(o, "photon reflection depth", 5)));
        rec->photon_refraction_depth = std::max(0, int(number(o, "photon refraction depth", 5)));
        rec->photon_trace_depth = std::max(0, int(number(o, "photon trace depth", 10)));
    }
}

void Frame::emit_photons() {
    photon_map_ = std::make_unique<PhotonMap>();
    if (!gi_.globillum || gi_.photons <= 0) return;
    double total = 0;
    for (const auto& wl : world_.lights())
        total += wl.light->energy.r + wl.light->energy.g + wl.light->energy.b;
    if (total <= 0) {
        Messages::emit(Severity::Warning, "globillum is on but no light has an energy; no photons emitted");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    miVector lower, upper;
    world_.geometry().bounds(lower, upper);
    const miVector centre = (lower + upper) * 0.5f;
    const float radius = std::max(1e-3f, length(upper - lower) * 0.5f);

    ThreadContext& tc = *main_context_;
    ThreadContext::set_current(&tc);
    uint64_t emitted = 0;
    for (size_t li = 0; li < world_.lights().size(); ++li) {
        const WorldLight& wl = world_.lights()[li];
        const miColor e = wl.light->energy;
        const double share = (e.r + e.g + e.b) / total;
        const int count = int(share * gi_.photons);
        if (count <= 0) continue;
        const miColor power{float(e.r / count), float(e.g / count), float(e.b / count), 0.f};
        for (int i = 0; i < count; ++i, ++emitted) {
            if ((i & 1023) == 0 && aborted().load(std::memory_order_relaxed)) return;
            const uint64_t h = mix64(emitted * 0x9e3779b97f4a7c15ULL + li);
            miVector org, dir;
            if (wl.light->light_type == LightType::Directional && wl.light->area == AreaShape::None) {
                // A disc across the scene, facing the light's direction.
                dir = wl.direction;
                miVector u, v;
                basis(dir, u, v);
                const float r = radius * std::sqrt(unit_float(h)), phi = 6.2831853f * unit_float(mix64(h));
                org = centre - dir * (2.f * radius) + u * (r * std::cos(phi)) + v * (r * std::sin(phi));
            } else {
                const LightSample ls = sample_light(wl, centre, int(h % uint64_t(light_sample_count(wl))), h);
                org = ls.position;
                dir = sphere(unit_float(mix64(h ^ 1)), unit_float(mix64(h ^ 2)));
                if (wl.light->light_type == LightType::Spot && dot3(dir, wl.direction) < wl.light->spread)
                    continue;
            }
            miState* root = tc.begin_sample(int(emitted & 0x7fffffff), int(emitted >> 31), 0);
            root->type = miPHOTON_LIGHT;
            root->point = org;
            root->light_instance = wl.instance->tag;
            miColor energy = power;
            trace_photon(&energy, root, miPHOTON_LIGHT, dir);
        }
    }
    ThreadContext::set_current(nullptr);
    photon_map_->build();
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Messages::emitf(Severity::Info, "photon pass: %llu photons emitted, %zu stored, %.2f s",
                    static_cast<unsigned long long>(emitted), photon_map_->size(), secs);
}

miBoolean Frame::trace_photon(miColor* energy, miState* state, int type, const miVector& dir) {
    const miOptions* o = state->options;
    const int refl = state->reflection_level + (is_reflection(type) ? 1 : 0);
    const int refr =
        state->refraction_level +
        (type >= miPHOTON_TRANSMIT_SPECULAR && type != miPHOTON_LIGHT && !is_reflection(type) ? 1 : 0);
    if (o && (refl > o->photon_reflection_depth || refr > o->photon_refraction_depth ||
              refl + refr > o->photon_trace_depth))
        return miFALSE;
    ThreadContext* tc = ThreadContext::data(state).thread;
    miState* st = tc->child_of(state, type);
    if (!st) return miFALSE;
    st->org = state->point;
    st->dir = normalized(dir);
    st->reflection_level = refl;
    st->refraction_level = refr;
    Hit hit;
    const float tnear = type == miPHOTON_LIGHT ? 0.f : secondary_tnear(st->org);
    if (!world_.geometry().intersect(st->org, st->dir, tnear, INFINITY, kMaskTrace, hit)) return miFALSE;
    fill_hit(st, hit);
    auto* m = db_.get_as<MaterialElement>(st->material, miSCENE_MATERIAL);
    auto* fe = m && m->photon ? db_.get_as<FunctionElement>(m->photon, miSCENE_FUNCTION) : nullptr;
    if (!fe) return miTRUE; // a surface without a photon shader absorbs
    miColor e = *energy;
    call_shader(&fe->function, &e, st);
    return miTRUE;
}

void Frame::store_photon(const miColor& energy, miState* state) {
    if (photon_map_) photon_map_->store({state->point, state->dir, energy});
}

miBoolean Frame::compute_irradiance(miColor* result, miState* state) {
    *result = {0.f, 0.f, 0.f, 0.f};
    const miVector n = state->normal;
    if (photon_map_ && !photon_map_->empty()) {
        const miColor e = photon_map_->irradiance(state->point, n, gi_.accuracy, gi_.radius);
        const float inv_pi = float(1.0 / kPi);
        result->r += e.r * inv_pi;
        result->g += e.g * inv_pi;
        result->b += e.b * inv_pi;
    }
    bool inside_gather = false;
    for (miState* s = state; s; s = s->parent)
        if (s->type == miRAY_FINALGATHER) inside_gather = true;
    if (!gi_.finalgather || inside_gather) return miTRUE;

    // Final gathering: cosine-weighted rays over the hemisphere; their mean radiance.
    ThreadContext* tc = ThreadContext::data(state).thread;
    miVector u, v;
    basis(n, u, v);
    miColor sum{0.f, 0.f, 0.f, 0.f};
    double s[2];
    int instance = 0;
    miUint count = miUint(gi_.finalgather_rays);
    const miUint total = count;
    while (sample(s, &instance, state, 2, &count)) {
        const float ct = float(std::sqrt(s[0])), st = float(std::sqrt(1.0 - s[0])),
                    phi = float(2.0 * kPi * s[1]);
        const miVector d = normalized(u * (st * std::cos(phi)) + v * (st * std::sin(phi)) + n * ct);
        miState* fg = tc->child_of(state, miRAY_FINALGATHER);
        if (!fg) break;
        fg->org = state->point;
        fg->dir = d;
        miColor c{0.f, 0.f, 0.f, 0.f};
        Hit hit;
        if (world_.geometry().intersect(fg->org, d, secondary_tnear(fg->org), INFINITY, kMaskTrace, hit)) {
            fill_hit(fg, hit);
            call_material(&c, fg);
        } else {
            fg->dist = 0.0;
            trace_environment(&c, state, d);
        }
        sum.r += c.r;
        sum.g += c.g;
        sum.b += c.b;
    }
    if (total) {
        result->r += sum.r / float(total);
        result->g += sum.g / float(total);
        result->b += sum.b / float(total);
    }
    return miTRUE;
}

} // namespace orn
