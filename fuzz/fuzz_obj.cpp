// Fuzz target: the Wavefront OBJ reader (it reads files, so each input goes through one).
#include "scene/obj_loader.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/orn_fuzz_obj_" + std::to_string(::getpid()) + ".obj";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    orn::scene::PolygonMesh mesh;
    std::string error;
    (void)orn::scene::load_obj(path, mesh, error);
    return 0;
}
