#include "image/image_library.h"
#include "image/exr_size_check.h"

#include "core/renderer_directory.h"

#include <dlfcn.h>

#include <filesystem>

namespace orn::image {

Loaded load(const std::string& path) {
    Loaded out;
    const std::string named =
        "cannot load the image library \"" + path + "\" (needed for image files and textures): ";
    // Never closed: the image formats register exit handlers and keep a process-wide texture
    // cache that later frames reuse. Bound lazily, as a linked library would be: binding every
    // function of the few hundred libraries behind it up front costs about 80 ms.
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        std::string why = reason ? reason : "unknown reason";
        if (why.rfind(path + ": ", 0) == 0) why.erase(0, path.size() + 2);
        out.error = named + why;
        return out;
    }
    auto entry = reinterpret_cast<OrnImageLibraryEntry>(dlsym(handle, "orn_image_library"));
    out.library = entry ? entry(kInterfaceVersion) : nullptr;
    if (!out.library) {
        out.error = named + (entry ? "it was built for another version of the renderer"
                                   : "it is not an image library of this renderer");
        dlclose(handle);
    }
    return out;
}

std::string texture_file_problem(const std::string& path) {
    // Devices and pipes could block the reader; a directory or nothing gives a vaguer message.
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return "no such file";
    if (!std::filesystem::is_regular_file(path, ec)) return "not a regular file";
    // Even the header is read in this process: an EXR header's declared sizes come first.
    if (auto why = exr_size_problem(path)) return *why;
    std::string error;
    const Library* images = library(error);
    return images ? images->problem(path) : error;
}

const Library* library(std::string& error) {
    static const Loaded loaded = load((std::filesystem::path(renderer_directory()) / kLibraryFile).string());
    error = loaded.error;
    return loaded.library;
}

} // namespace orn::image
