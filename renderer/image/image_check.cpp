// ornimagecheck FILE: reads every pixel of a texture file and prints why it cannot serve as a
// texture (nothing when it can). The image library runs it so that a reader that aborts or
// overruns its buffers on a damaged file takes down this process, not the renderer.
#include "image/texture_check.h"

#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    ::alarm(300); // a reader caught in a loop on a damaged file
    const std::string why = orn::image::texture_read_problem(argv[1]);
    std::fwrite(why.data(), 1, why.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
