// Fuzz target: reading a scene into a session and building its world (the database, name
// resolution, meshes and the Embree scene), as `ornrender` does before it renders.
#include "core/messages.h"
#include "render/session.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        orn::Messages::set_sink([](orn::Severity, const std::string&) {});
        return true;
    }();
    (void)quiet;
    orn::SessionOptions options;
    options.render.progress = false;
    options.render.threads = 1;
    orn::Session session(options);
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (session.load_string(text, "fuzz.mi") && !session.renders().empty()) (void)session.make_frame(0);
    return 0;
}
