// orn_math_output: after the frame, combines two named frame buffers pixel by pixel and
// writes the result back into the first. The pass set-up attaches it with the division to
// turn shadowed and occluded passes into ratios of their unshadowed partners.
#include "source/output/orn_math_output.h"

#include "common/conventions.h"

#include <cstdint>
#include <string>

namespace {

enum Operation { kMultiply = 0, kDivide = 1, kAdd = 2, kSubtract = 3 };

// Channels at or below this are treated as empty: a ratio of near-black values is noise.
constexpr float kRatioFloor = 0.00001f;

// The camera's frame-buffer set, open for reading while this object lives.
class FramebufferReader {
  public:
    explicit FramebufferReader(miState* state)
        : iface_(mi_get_shader_interface(3)), tag_(state->camera->buffertag),
          fb_(iface_ ? &iface_->accessFramebuffer(tag_) : nullptr) {}
    ~FramebufferReader() {
        if (fb_) iface_->releaseFramebuffer(*fb_, tag_);
        if (iface_) iface_->release();
    }
    FramebufferReader(const FramebufferReader&) = delete;
    FramebufferReader& operator=(const FramebufferReader&) = delete;

    // Index of the named buffer, -1 when the set does not hold it.
    int64_t index(const char* name) const {
        size_t found = size_t(-1);
        if (fb_ && fb_->get_index(name, found)) return int64_t(found);
        return -1;
    }

  private:
    mi::shader::Interface* iface_;
    miTag tag_;
    const mi::shader::Framebuffer* fb_;
};

// One output image, open while this object lives (or until close()).
class OutputImage {
  public:
    OutputImage(miState* state, miUint number)
        : state_(state), number_(number), image_(mi_output_image_open(state, number)) {}
    ~OutputImage() { close(); }
    OutputImage(const OutputImage&) = delete;
    OutputImage& operator=(const OutputImage&) = delete;

    miImg_image* get() const { return image_; }
    void close() {
        if (open_) mi_output_image_close(state_, number_);
        open_ = false;
    }

  private:
    miState* state_;
    miUint number_;
    miImg_image* image_;
    bool open_ = true;
};

// The string a string parameter names; false for a null tag or a tag that holds no string.
bool eval_string(miState* state, miTag* param, std::string& out) {
    const miTag tag = mi_eval_tag(param);
    if (tag == miNULLTAG) return false;
    const char* text =
        mi_db_type(tag) == miSCENE_STRING ? static_cast<const char*>(mi_db_access(tag)) : nullptr;
    if (text) out = text;
    mi_db_unpin(tag);
    return text != nullptr;
}

float divide(float a, float b) {
    return b <= kRatioFloor || a <= kRatioFloor ? 0.f : a / b;
}

miColor combine(int operation, const miColor& a, const miColor& b) {
    miColor r = a; // alpha is not part of the arithmetic and stays as buffer a has it
    switch (operation) {
    case kMultiply:
        r.r = a.r * b.r, r.g = a.g * b.g, r.b = a.b * b.b;
        break;
    case kDivide:
        r.r = divide(a.r, b.r), r.g = divide(a.g, b.g), r.b = divide(a.b, b.b);
        break;
    case kAdd:
        r.r = a.r + b.r, r.g = a.g + b.g, r.b = a.b + b.b;
        break;
    case kSubtract:
        r.r = a.r - b.r, r.g = a.g - b.g, r.b = a.b - b.b;
        break;
    default:
        break;
    }
    return r;
}

const char* progress_format(int operation) {
    switch (operation) {
    case kMultiply:
        return "orn_math_output: %s * %s";
    case kDivide:
        return "orn_math_output: %s / %s";
    case kAdd:
        return "orn_math_output: %s + %s";
    case kSubtract:
        return "orn_math_output: %s - %s";
    default:
        return nullptr;
    }
}

} // namespace

ORN_SHADER_VERSION(orn_math_output, 2)
ORN_SHADER miBoolean orn_math_output(miBoolean*, miState* state, orn_math_output_params* paras) {
    std::string name_a, name_b;
    if (!eval_string(state, &paras->buffer_a, name_a)) return miFALSE;
    if (!eval_string(state, &paras->buffer_b, name_b)) return miFALSE;
    if (!state->camera) {
        mi_warning("orn_math_output: called without a camera, nothing to combine");
        return miFALSE;
    }

    FramebufferReader buffers(state);
    const int64_t index_a = buffers.index(name_a.c_str());
    const int64_t index_b = buffers.index(name_b.c_str());
    if (index_a < 0 || index_b < 0) {
        mi_warning("orn_math_output: wrong buffer number for buffer %s",
                   index_a < 0 ? name_a.c_str() : name_b.c_str());
        return miFALSE;
    }

    const int operation = mi_eval_integer(&paras->operation);
    OutputImage image_a(state, miUint(index_a + miRC_IMAGE_USER));
    OutputImage image_b(state, miUint(index_b + miRC_IMAGE_USER));
    if (const char* format = progress_format(operation)) mi_progress(format, name_a.c_str(), name_b.c_str());

    if (!image_a.get() || !image_b.get()) {
        mi_warning("orn_math_output: the image of buffer %s cannot be opened",
                   image_a.get() ? name_b.c_str() : name_a.c_str());
        return miFALSE;
    }
    // An undefined operation leaves buffer a as it is.
    if (progress_format(operation)) {
        const int width = state->camera->x_resolution;
        const int height = state->camera->y_resolution;
        for (int y = 0; y < height; ++y) {
            if (mi_par_aborted()) break;
            for (int x = 0; x < width; ++x) {
                miColor a, b;
                mi_img_get_color(image_a.get(), &a, x, y);
                mi_img_get_color(image_b.get(), &b, x, y);
                miColor r = combine(operation, a, b);
                mi_img_put_color(image_a.get(), &r, x, y);
            }
        }
    }
    image_a.close();
    image_b.close();
    return miTRUE;
}
