#include "db/module_loader.h"

#include "core/messages.h"
#include "core/renderer_directory.h"

#include <dlfcn.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace orn {

ModuleLoader::~ModuleLoader() {
    for (auto it = handles_.rbegin(); it != handles_.rend(); ++it)
        dlclose(*it);
    if (self_) dlclose(self_);
}

bool ModuleLoader::load(const std::string& name, const std::vector<std::string>& search_dirs,
                        std::string& error) {
    std::string path;
    if (name.find('/') != std::string::npos) {
        path = name;
    } else {
        for (const auto& dir : search_dirs) {
            fs::path candidate = fs::path(dir) / name;
            std::error_code ec;
            if (fs::exists(candidate, ec)) {
                path = candidate.string();
                break;
            }
        }
    }
    if (path.empty()) {
        error = "cannot find module \"" + name + "\" (searched:";
        for (const auto& d : search_dirs)
            error += " " + d;
        error += ")";
        return false;
    }
    std::error_code ec;
    const std::string canonical = fs::weakly_canonical(path, ec).string();
    for (const auto& p : paths_)
        if (p == canonical) return true;

    void* handle = dlopen(canonical.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = "cannot load module \"" + canonical + "\": " + (why ? why : "unknown error");
        return false;
    }
    if (!self_) {
        const std::string self = renderer_path();
        if (!self.empty()) self_ = dlopen(self.c_str(), RTLD_NOW | RTLD_NOLOAD);
    }
    using SetHandle = void (*)(void*);
    if (auto set_handle = reinterpret_cast<SetHandle>(dlsym(handle, "miSetModuleHandle"))) set_handle(self_);
    handles_.push_back(handle);
    paths_.push_back(canonical);
    Messages::emitf(Severity::Info, "loaded shader module %s", canonical.c_str());
    return true;
}

void* ModuleLoader::find(const std::string& symbol) const {
    for (size_t i = 0; i < handles_.size(); ++i) {
        void* p = dlsym(handles_[i], symbol.c_str());
        if (!p) continue;
        // dlsym also finds what the module's own dependencies define ("abort" in the C library,
        // say): only a symbol defined in the linked module itself is one of its shaders.
        Dl_info info{};
        std::error_code ec;
        if (dladdr(p, &info) && info.dli_fname && fs::equivalent(info.dli_fname, paths_[i], ec)) return p;
    }
    return nullptr;
}

} // namespace orn
