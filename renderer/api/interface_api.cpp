// The interface object: renderer options by name, light lists, and the camera's
// frame-buffer set.
#include "api/api_common.h"
#include "light/light_list.h"

using namespace orn;

namespace {

// What a tag without a frame-buffer set opens: an empty set that refuses changes.
class NoFramebuffer final : public mi::shader::Framebuffer {
  public:
    bool get_index(const char*, size_t& index) const override {
        index = size_t(-1);
        return false;
    }
    bool reset() override { return false; }
    bool set(const char*, const char*, const char*) override { return false; }
    bool set(const char*, const char*, bool) override { return false; }
    bool set(const char*, const char*, int) override { return false; }
    bool set(const char*, const char*, float) override { return false; }
    bool get_buffercount(size_t& count) const override {
        count = 0;
        return true;
    }
    bool get_buffername(size_t, const char*&) const override { return false; }
};

// The interface keeps no state of its own, so one object serves every caller and thread.
class ShaderInterface final : public mi::shader::Interface {
  public:
    mi::shader::Options* getOptions(miTag tag) override {
        Database* db = Database::current();
        return db ? db->get_as<OptionsElement>(tag, miSCENE_OPTIONS) : nullptr;
    }
    mi::shader::LightList* createLightList(miState* state, const miVector* axis, miScalar spread_cos,
                                           const miTag* lights, miUint n_lights) override {
        Frame* f = frame_of(state);
        if (!f || !state->cache) return nullptr;
        LightListImpl* list = acquire_light_list(*ThreadContext::data(state).thread);
        list->reset(*f, state, axis, spread_cos, lights, n_lights);
        return list;
    }
    const mi::shader::Framebuffer& accessFramebuffer(miTag tag) override { return editFramebuffer(tag); }
    void releaseFramebuffer(const mi::shader::Framebuffer&, miTag) override {}
    mi::shader::Framebuffer& editFramebuffer(miTag tag) override {
        Database* db = Database::current();
        auto* set = db ? db->get_as<FramebufferElement>(tag, miSCENE_FRAMEBUFFER) : nullptr;
        if (set) return *set;
        return none_;
    }
    void release() override {}
    ~ShaderInterface() override = default;

  private:
    NoFramebuffer none_;
};

} // namespace

ORN_API mi::shader::Interface* mi_get_shader_interface(int version) {
    static ShaderInterface iface;
    return version == 3 ? &iface : nullptr;
}
