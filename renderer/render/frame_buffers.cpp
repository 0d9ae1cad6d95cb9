// Scene-editing calls before the frame, the camera's frame-buffer set as film planes,
// sample access for shaders, output images, and the buffers' own files.
#include "core/messages.h"
#include "film/image_output.h"
#include "render/frame.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

namespace orn {

namespace {

// A sample's rest smaller than this share of the light it was computed from (the colour's and
// the groups' magnitudes, 64 units in the last place of a float) is rounding, not light.
constexpr float kRestRounding = 64.f * 0x1p-24f;

// The standard images under their buffer names.
int standard_plane(const std::string& name) {
    if (name == "color") return film::Color;
    if (name == "Z") return film::Depth;
    if (name == "Normal") return film::Normal;
    if (name == "Motion") return film::Motion;
    if (name == "Label") return film::Label;
    if (name == "Coverage") return film::Coverage;
    return -1;
}

int components_of(const std::string& datatype) {
    if (datatype.rfind("rgba", 0) == 0 || datatype.empty()) return 4;
    if (datatype.rfind("rgb", 0) == 0 || datatype == "n" || datatype == "m") return 3;
    return 1; // z, tag, coverage
}

// What the renderer writes a buffer as, for the image writer.
std::string output_type(const std::string& datatype, bool standard, int plane) {
    if (!datatype.empty()) return datatype;
    if (!standard) return "rgba_fp";
    static const char* types[] = {"rgba_fp", "z", "n", "m", "tag", "coverage"};
    return types[plane];
}

} // namespace

FramebufferElement* Frame::framebuffers() const {
    const miCamera* c = camera_record();
    return c ? db_.get_as<FramebufferElement>(c->buffertag, miSCENE_FRAMEBUFFER) : nullptr;
}

std::vector<OutputEntry>* Frame::output_entries() const {
    static std::vector<OutputEntry> none;
    const miCamera* c = camera_record();
    Element* e = c ? db_.get(c->output) : nullptr;
    auto* list = dynamic_cast<OutputListElement*>(e);
    return list ? &list->entries : &none;
}

bool Frame::run_calls() {
    bool ok = true;
    for (miTag t : db_.calls) {
        auto* fe = db_.get_as<FunctionElement>(t, miSCENE_FUNCTION);
        if (!fe) continue;
        // A scene-editing shader may replace the camera's output list (the pass set-up does):
        // the scene's own file outputs then go, and the user is told which.
        std::vector<OutputEntry> files;
        for (const OutputEntry& o : *output_entries())
            if (o.is_file) files.push_back(o);
        ThreadContext::set_current(main_context_.get());
        miState* st = main_context_->begin_sample(0, 0, 0);
        st->type = miRAY_NONE;
        miBoolean result = miFALSE;
        // A failed edit (an override that did not reach its instances, passes that were not set
        // up) leaves a frame other than the one asked for: it is not rendered.
        if (!call_shader(&fe->function, &result, st)) {
            Messages::emitf(Severity::Error, "scene-editing shader \"%s\" failed; the frame is not rendered",
                            fe->name.c_str());
            ok = false;
        }
        ThreadContext::set_current(nullptr);
        const std::vector<OutputEntry>& now = *output_entries();
        for (const OutputEntry& o : files)
            if (std::none_of(now.begin(), now.end(),
                             [&](const OutputEntry& e) { return e.is_file && e.filename == o.filename; }))
                Messages::emitf(Severity::Warning,
                                "%s:%d: camera output \"%s\" is not written: \"%s\" replaced the camera's "
                                "output list",
                                o.loc.file.c_str(), o.loc.line, o.filename.c_str(), fe->name.c_str());
    }
    return ok;
}

void Frame::setup_buffers() {
    buffers_.clear();
    samples_plane_ = -1;
    FramebufferElement* fbs = framebuffers();
    if (!fbs) return;
    for (const auto& b : fbs->buffers) {
        BufferPlane bp;
        const std::string type = b.text("datatype");
        const int standard = standard_plane(b.name);
        if (standard >= 0) {
            bp.plane = standard;
            bp.components = film_->plane_info(standard).components;
            bp.label = standard == film::Label;
            // The standard images filter as their table says unless the buffer asks otherwise.
            if (!bp.label && b.find("filtering")) film_->set_filtered(standard, b.flag("filtering", true));
        } else {
            bp.components = components_of(type);
            bp.label = type == "tag";
            // Labels are never blended; everything else follows its "filtering" property.
            const bool filtered = !bp.label && b.flag("filtering", true);
            bp.plane = film_->plane_id(b.name);
            if (b.name == kSamplesBuffer) {
                // Each pixel's sample count: every sample carries its pixel's, unfiltered, and
                // pixels that take them all need nothing written.
                const float most = float(film_->spp());
                if (bp.plane < 0)
                    bp.plane = film_->add_plane(b.name, bp.components, false, {most, most, most, most});
                samples_plane_ = bp.plane;
            }
            if (bp.plane < 0) bp.plane = film_->add_plane(b.name, bp.components, filtered);
            bp.useopacity = b.flag("useopacity", false);
        }
        buffers_.push_back(bp);
    }
}

void Frame::setup_light_group_buffers() {
    group_offsets_.assign(size_t(light_groups_.count()), -1);
    rest_offset_ = -1;
    tracked_groups_ = 0;
    FramebufferElement* fbs = framebuffers();
    if (!fbs || light_groups_.count() == 0) return;
    const bool color_filtered = film_->plane_info(film::Color).filtered;
    // A group's buffer is found by its name; it is filtered as the colour is, whatever it asks,
    // so that the groups add up to the colour pixel by pixel.
    auto offset_of = [&](const std::string& group) {
        const std::string name = light_group_buffer(group);
        for (size_t i = 0; i < fbs->buffers.size() && i < buffers_.size(); ++i) {
            if (fbs->buffers[i].name != name) continue;
            const BufferPlane& bp = buffers_[i];
            if (bp.components < 3 || bp.label) {
                Messages::emitf(Severity::Warning,
                                "frame buffer \"%s\" holds fewer than three colour channels; the light group "
                                "is not written into it",
                                name.c_str());
                return -1;
            }
            film_->set_filtered(bp.plane, color_filtered);
            return film_->plane_offset(bp.plane);
        }
        return -1;
    };
    bool any = false;
    for (int g = 0; g < light_groups_.count(); ++g) {
        group_offsets_[size_t(g)] = offset_of(light_groups_.name(g));
        any = any || group_offsets_[size_t(g)] >= 0;
    }
    rest_offset_ = offset_of(kRestGroup);
    if (any || rest_offset_ >= 0) tracked_groups_ = light_groups_.count();
}

void Frame::write_light_groups(ThreadContext& tc, float* sample, const miColor& color) const {
    // The share of the root's shader: the lens's, or the eye ray's material's.
    const miColor* share = tc.group_result(lens_ ? 0 : 1);
    float rest[3] = {color.r, color.g, color.b};
    float size[3] = {std::fabs(color.r), std::fabs(color.g), std::fabs(color.b)};
    for (int g = 0; g < tracked_groups_; ++g) {
        const int off = group_offsets_[size_t(g)];
        if (off < 0) continue;
        const miColor& s = share[g];
        float* v = sample + off;
        v[0] = s.r, v[1] = s.g, v[2] = s.b;
        rest[0] -= s.r, rest[1] -= s.g, rest[2] -= s.b;
        size[0] += std::fabs(s.r), size[1] += std::fabs(s.g), size[2] += std::fabs(s.b);
    }
    if (rest_offset_ < 0) return;
    // The shares are summed in another order than the colour, so where only grouped lights lit
    // the sample the difference is rounding alone, of either sign: that is no light, exactly 0.
    for (int c = 0; c < 3; ++c)
        if (std::fabs(rest[c]) <= kRestRounding * size[c]) rest[c] = 0.f;
    std::copy(rest, rest + 3, sample + rest_offset_);
}

void Frame::refresh_buffer_offsets() {
    for (BufferPlane& bp : buffers_)
        bp.offset = film_->plane_offset(bp.plane);
}

namespace {
// A buffer's 1 to 4 floats, as bits (labels too), in copies of a fixed size: every pass of every
// shaded point goes through here.
void copy_components(void* dst, const void* src, int components) {
    switch (components) {
    case 4:
        std::memcpy(dst, src, 16);
        break;
    case 3:
        std::memcpy(dst, src, 12);
        break;
    case 2:
        std::memcpy(dst, src, 8);
        break;
    default:
        std::memcpy(dst, src, 4);
        break;
    }
}
} // namespace

miBoolean Frame::fb_put(miState* state, int buffer, const void* data) {
    if (!state || !state->cache || !data || buffer < 0 || size_t(buffer) >= buffers_.size()) return miFALSE;
    const BufferPlane& bp = buffers_[size_t(buffer)];
    ThreadContext* tc = ThreadContext::data(state).thread;
    if (!tc->film_sample) return miFALSE; // not inside an eye sample
    copy_components(tc->film_sample + bp.offset, data, bp.components);
    return miTRUE;
}

miBoolean Frame::fb_get(miState* state, int buffer, void* data) {
    if (!state || !state->cache || !data || buffer < 0 || size_t(buffer) >= buffers_.size()) return miFALSE;
    const BufferPlane& bp = buffers_[size_t(buffer)];
    ThreadContext* tc = ThreadContext::data(state).thread;
    if (!tc->film_sample) return miFALSE;
    copy_components(data, tc->film_sample + bp.offset, bp.components);
    return miTRUE;
}

miImg_image* Frame::open_image(miUint n) {
    int plane = -1;
    bool label = false;
    if (n <= miRC_IMAGE_COVERAGE) {
        plane = int(n);
        label = n == miRC_IMAGE_TAG;
    } else if (n >= miRC_IMAGE_USER && n - miRC_IMAGE_USER < buffers_.size()) {
        plane = buffers_[n - miRC_IMAGE_USER].plane;
        label = buffers_[n - miRC_IMAGE_USER].label;
    } else if (n >= kMatteImageBase && mattes_.on()) {
        // An ID matte's layer: 64 numbers per matte, one per layer.
        const miUint m = (n - kMatteImageBase) / 64, layer = (n - kMatteImageBase) % 64;
        if (m < miUint(mattes_.count()) && layer < mattes_.matte(int(m)).planes.size())
            plane = mattes_.matte(int(m)).planes[layer];
    }
    if (plane < 0) return nullptr;
    // The images are kept by number: ID mattes' numbers map onto the slots after the others.
    if (n >= kMatteImageBase) n = miUint(miRC_IMAGE_USER + buffers_.size()) + (n - kMatteImageBase);
    if (images_.size() <= n) images_.resize(n + 1);
    if (!images_[n]) images_[n] = std::make_unique<miImg_image>();
    miImg_image& img = *images_[n];
    img = {film_.get(),
           plane,
           label,
           film_->pixel_mutable(plane, 0, 0),
           film_->plane_info(plane).components,
           film_->width(),
           film_->height()};
    return &img;
}

void Frame::add_matte_layers(film::OutputRequest& req) const {
    // The mattes go with the colour: into every file that holds it and can take them (EXR).
    if (!mattes_.on() || req.data_type.find("rgb") == std::string::npos) return;
    for (int m = 0; m < mattes_.count(); ++m) {
        const IdMattes::Matte& matte = mattes_.matte(m);
        req.layers.insert(req.layers.end(), matte.layers.begin(), matte.layers.end());
        req.attributes.insert(req.attributes.end(), matte.attributes.begin(), matte.attributes.end());
    }
}

void Frame::write_buffer_files() {
    FramebufferElement* fbs = framebuffers();
    if (!fbs) return;
    // Buffers that name the same file go into it together, as layers of one EXR file.
    std::map<std::string, film::OutputRequest> files;
    std::vector<std::string> order;
    for (const auto& b : fbs->buffers) {
        const std::string file = b.text("filename");
        if (file.empty()) continue;
        std::string type = b.text("filetype");
        if (type == "null") continue;
        if (type == "tiff") type = "tif";
        if (type != "exr" && type != "tif" && type != "png" && type != "iff") {
            Messages::emitf(Severity::Warning,
                            "frame buffer \"%s\": cannot write file type \"%s\" (use exr, tif, png or iff)",
                            b.name.c_str(), type.c_str());
            continue;
        }
        const int standard = standard_plane(b.name);
        const std::string plane =
            standard >= 0 ? film::standard_plane_name(film::StandardPlane(standard)) : b.name;
        const std::string data_type = output_type(b.text("datatype"), standard >= 0, standard);
        const std::string path = output_path(file);
        // A buffer its file type cannot hold (depth in iff, say) is left out with a warning; the
        // other files of the frame are still written.
        if (auto refusal = film::check_output_type({{plane}, type, data_type, path})) {
            Messages::emitf(Severity::Warning, "frame buffer \"%s\" not written: %s", b.name.c_str(),
                            refusal->c_str());
            continue;
        }
        auto [it, fresh] = files.try_emplace(path);
        film::OutputRequest& req = it->second;
        if (fresh) {
            order.push_back(path);
            req.path = path;
            req.format = type;
            req.compression = b.text("compression");
        } else if (req.format != "exr") {
            Messages::emitf(
                Severity::Warning,
                "frame buffer \"%s\": \"%s\" already holds another buffer; only exr files take several",
                b.name.c_str(), path.c_str());
            continue;
        }
        req.planes.push_back(plane);
        req.data_type += (req.data_type.empty() ? "" : ",") + data_type;
        if (req.compression.empty()) req.compression = b.text("compression");
    }
    for (const auto& path : order) {
        if (aborted().load()) {
            complete_ = false;
            Messages::emitf(Severity::Warning, "frame interrupted: %s not written", path.c_str());
            continue;
        }
        film::OutputRequest& req = files[path];
        if (req.format != "exr") req.compression.clear();
        add_matte_layers(req);
        if (auto err = film::write_image(*film_, req)) {
            if (aborted().load()) {
                complete_ = false;
                Messages::emitf(Severity::Warning, "frame interrupted: %s not written", path.c_str());
            } else {
                Messages::emit(Severity::Error, *err);
                outputs_ok_ = false;
            }
        } else {
            Messages::emitf(Severity::Info, "wrote %s", req.path.c_str());
            note_written(req.path);
        }
    }
}

} // namespace orn

namespace orn {

std::optional<std::string> Frame::output_request(const OutputEntry& o, film::OutputRequest& req) const {
    req.format = o.format;
    req.path = output_path(o.filename);
    const std::string where =
        o.loc.file + ":" + std::to_string(o.loc.line) + ":" + std::to_string(o.loc.col) + ": ";
    FramebufferElement* fbs = framebuffers();
    std::vector<std::string> types, planes;
    bool user = false;
    std::size_t begin = 0;
    while (begin <= o.types.size()) {
        const std::size_t end = std::min(o.types.find(',', begin), o.types.size());
        std::string item = o.types.substr(begin, end - begin);
        begin = end + 1;
        const auto first = item.find_first_not_of(" \t+-");
        if (first == std::string::npos) continue;
        item = item.substr(first, item.find_last_not_of(" \t") - first + 1);
        // "fbN": the camera's frame buffer N, written with its own data type.
        if (item.size() > 2 && item.compare(0, 2, "fb") == 0 &&
            item.find_first_not_of("0123456789", 2) == std::string::npos) {
            const long n = item.size() > 4 ? 99 : std::stol(item.substr(2));
            if (n > 7)
                return where + "camera output \"" + item + "\": user frame buffers are numbered 0 to 7";
            if (!fbs || size_t(n) >= buffers_.size() || size_t(n) >= fbs->buffers.size())
                return where + "camera output \"" + item + "\": the camera defines no frame buffer " +
                       std::to_string(n) + " (it has " + std::to_string(buffers_.size()) + ")";
            const auto& b = fbs->buffers[size_t(n)];
            const int standard = standard_plane(b.name);
            types.push_back(output_type(b.text("datatype"), standard >= 0, standard));
            planes.push_back(film_->plane_info(buffers_[size_t(n)].plane).name);
            user = true;
        } else {
            types.push_back(item);
            planes.emplace_back();
        }
    }
    for (const auto& t : types)
        req.data_type += (req.data_type.empty() ? "" : ",") + t;
    if (user) req.planes = std::move(planes);
    return std::nullopt;
}

} // namespace orn
