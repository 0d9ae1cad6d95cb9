// The image library is loaded on first use from beside libornrender.so; one that cannot be
// loaded is reported with its path and the reason.
#include "image/image_library.h"
#include "support/scene_fixture.h"

#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include <filesystem>

namespace fs = std::filesystem;

TEST(ImageLibrary, LoadsBesideTheRendererAndWritesFloatsAsEightBits) {
    std::string error;
    const orn::image::Library* images = orn::image::library(error);
    ASSERT_NE(images, nullptr) << error;
    const fs::path dir = orn::test::test_dir();
    const std::string path = (dir / "bytes.png").string();
    orn::image::WriteSpec spec;
    spec.width = 2;
    spec.height = 1;
    spec.channels = {"R", "G", "B"};
    spec.types.assign(3, orn::image::PixelType::UInt8);
    spec.data_is_float = true;
    const float rgb[6] = {0.f, 0.5f, 1.f, -1.f, 2.f, 0.25f};
    ASSERT_EQ(images->write(path, spec, rgb), std::nullopt);

    // x 255, rounded, clamped to 0..255: 127.5 -> 128, 63.75 -> 64.
    auto in = OIIO::ImageInput::open(path);
    ASSERT_TRUE(in) << OIIO::geterror();
    ASSERT_EQ(in->spec().nchannels, 3);
    unsigned char px[6] = {};
    ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT8, px));
    const unsigned char expected[6] = {0, 128, 255, 0, 255, 64};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(px[i], expected[i]) << i;
}

TEST(ImageLibrary, ReportsALibraryThatCannotServe) {
    const std::string missing = (fs::path(ORN_BUILD_DIR) / "lib" / "no_such_image_library.so").string();
    const orn::image::Loaded none = orn::image::load(missing);
    EXPECT_EQ(none.library, nullptr);
    EXPECT_NE(none.error.find("cannot load the image library \"" + missing + "\""), std::string::npos)
        << none.error;
    EXPECT_NE(none.error.find("No such file"), std::string::npos) << none.error;

    // A shared object that is not an image library of ours.
    const std::string other = (fs::path(ORN_BUILD_DIR) / "lib" / "libornrender.so").string();
    const orn::image::Loaded wrong = orn::image::load(other);
    EXPECT_EQ(wrong.library, nullptr);
    EXPECT_NE(wrong.error.find("not an image library of this renderer"), std::string::npos) << wrong.error;
}
