// Fuzz target: the scene-language reader on arbitrary text.
#include "scene/parser.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)orn::scene::parse_string(text, "fuzz.mi");
    return 0;
}
