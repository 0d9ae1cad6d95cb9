// make interop: compares the mattes a compositor pulled from a rendered file with the coverage the
// file holds, decoded by the test decoder.
//   interop_matte_check RENDERED.exr TYPE NAME MATTE.exr [TYPE NAME MATTE.exr ...]
// MATTE.exr's first channel must equal NAME's coverage in TYPE within 1e-3 in every pixel, and
// NAME must cover at least a few pixels (an empty matte would match an absent name).
#include "support/matte_decoder.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double tolerance = 1e-3;
// Together at least this many pixels' worth of coverage.
constexpr double least_area = 4.0;

bool check(const std::vector<orn::test::DecodedMatte>& mattes, const std::string& type,
           const std::string& name, const std::string& matte_file) {
    const auto m =
        std::find_if(mattes.begin(), mattes.end(), [&](const auto& d) { return d.type_name == type; });
    if (m == mattes.end()) {
        std::fprintf(stderr, "%s: the rendered file has no matte %s\n", matte_file.c_str(), type.c_str());
        return false;
    }
    if (!m->manifest.count(name)) {
        std::fprintf(stderr, "%s: %s has no name %s\n", matte_file.c_str(), type.c_str(), name.c_str());
        return false;
    }
    auto in = OIIO::ImageInput::open(matte_file);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read it: %s\n", matte_file.c_str(), OIIO::geterror().c_str());
        return false;
    }
    const OIIO::ImageSpec& spec = in->spec();
    if (spec.width != m->width || spec.height != m->height) {
        std::fprintf(stderr, "%s: %dx%d, the rendered file %dx%d\n", matte_file.c_str(), spec.width,
                     spec.height, m->width, m->height);
        return false;
    }
    std::vector<float> matte(std::size_t(spec.width) * std::size_t(spec.height));
    if (!in->read_image(0, 0, 0, 1, OIIO::TypeDesc::FLOAT, matte.data())) {
        std::fprintf(stderr, "%s: cannot read its pixels\n", matte_file.c_str());
        return false;
    }
    double worst = 0.0, area = 0.0;
    std::size_t worst_at = 0;
    for (std::size_t i = 0; i < matte.size(); ++i) {
        const double expected = m->coverage(name, i), diff = std::fabs(double(matte[i]) - expected);
        area += expected;
        if (!(diff <= worst)) worst = diff, worst_at = i;
    }
    const bool ok = worst <= tolerance && area >= least_area;
    std::printf("%s %s %s: coverage %.1f pixels, largest difference %.2g", ok ? "ok  " : "FAIL", type.c_str(),
                name.c_str(), area, worst);
    if (worst > 0.0)
        std::printf(" at (%d, %d) from the top left", int(worst_at % std::size_t(spec.width)),
                    int(worst_at / std::size_t(spec.width)));
    std::printf("%s\n", area < least_area ? ": the name is not in view" : "");
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5 || (argc - 2) % 3 != 0) {
        std::fprintf(stderr, "usage: %s RENDERED.exr TYPE NAME MATTE.exr [TYPE NAME MATTE.exr ...]\n",
                     argv[0]);
        return 2;
    }
    std::string error;
    const auto mattes = orn::test::decode_mattes(argv[1], error);
    if (!error.empty()) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
        return 1;
    }
    int failed = 0, passed = 0;
    for (int a = 2; a + 2 < argc; a += 3)
        check(mattes, argv[a], argv[a + 1], argv[a + 2]) ? ++passed : ++failed;
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
