// Fuzz target: `ornrender --merge` on one part file (each input is one), with its outputs in a
// directory of its own. Seeds are real parts of merge-scene/shot.mi (beside the working
// directory, as scripts/run-fuzzers.sh lays it out), the scene the merge is given.
#include "core/messages.h"
#include "render/merge.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = "/tmp/orn_fuzz_merge_" + std::to_string(::getpid());
    static const bool ready = [] {
        orn::Messages::set_sink([](orn::Severity, const std::string&) {});
        std::filesystem::create_directories(dir + "/parts");
        return true;
    }();
    (void)ready;
    const std::string path = dir + "/parts/shot.0001.r0.part0of1.exr";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    orn::SessionOptions options;
    options.render.progress = false;
    options.render.threads = 1;
    options.render.output_dir = dir + "/out";
    static const std::string scene = std::filesystem::absolute("merge-scene/shot.mi").string();
    (void)orn::merge_parts({scene}, {dir + "/parts"}, options);
    return 0;
}
