// Fuzz target: texture files as the scene reader checks them and the texture system then reads
// them. The first byte picks the format (by extension), the rest is the file; a file the check
// accepts is looked up over its whole area, as a render would.
#include "image/image_library.h"
#include "texture/texture_store.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kExtensions[] = {".exr", ".png", ".tif", ".dpx", ".hdr", ".jpg",
                                              ".tga", ".bmp", ".iff", ".sgi", ".pnm", ".psd"};
    constexpr size_t kFormats = sizeof kExtensions / sizeof kExtensions[0];
    if (size < 1) return 0;
    const std::string path =
        "/tmp/orn_fuzz_texture_" + std::to_string(::getpid()) + kExtensions[data[0] % kFormats];
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data + 1, 1, size - 1, f);
        std::fclose(f);
    }
    std::string error;
    const orn::image::Library* images = orn::image::library(error);
    if (!images || !orn::image::texture_file_problem(path).empty()) return 0;
    static std::unique_ptr<orn::image::Textures> textures = images->textures(1);
    int channels = 0;
    std::string why;
    const int texture = textures->open(path, channels, why);
    if (texture < 0) return 0;
    float result[4];
    for (int i = 0; i <= 4; ++i)
        for (int j = 0; j <= 4; ++j)
            (void)textures->filter(texture, 0, orn::image::Textures::Wrap::Clamp, 0.25f * float(i),
                                   0.25f * float(j), 0.1f * float(i), 0.1f * float(j), std::min(channels, 4),
                                   result, why);
    return 0;
}
