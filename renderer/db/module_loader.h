// Loads shader modules with dlopen and hands each the renderer's own handle, so the
// module can reach the renderer functions by name.
#pragma once

#include <string>
#include <vector>

namespace orn {

class ModuleLoader {
  public:
    ModuleLoader() = default;
    ~ModuleLoader();
    ModuleLoader(const ModuleLoader&) = delete;
    ModuleLoader& operator=(const ModuleLoader&) = delete;

    // `name` is a path or a file name searched in `search_dirs`. Loading the same file
    // twice is a no-op. On failure `error` names the module and the reason.
    bool load(const std::string& name, const std::vector<std::string>& search_dirs, std::string& error);
    // Address of `symbol` in the first loaded module that has it, or null.
    void* find(const std::string& symbol) const;
    const std::vector<std::string>& paths() const { return paths_; }

  private:
    std::vector<void*> handles_;
    std::vector<std::string> paths_;
    void* self_ = nullptr;
};

} // namespace orn
