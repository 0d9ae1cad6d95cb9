#include "core/renderer_directory.h"

#include <dlfcn.h>

#include <filesystem>

namespace orn {

std::string renderer_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&renderer_path), &info) && info.dli_fname) return info.dli_fname;
    return {};
}

std::string renderer_directory() {
    const std::string self = renderer_path();
    return self.empty() ? "." : std::filesystem::path(self).parent_path().string();
}

} // namespace orn
