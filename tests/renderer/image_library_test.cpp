// The image library is loaded on first use from beside libornrender.so; one that cannot be
// loaded is reported with its path and the reason. EXR headers of files the renderer did not
// write are checked against the file's size before a reader trusts them.
#include "image/exr_size_check.h"
#include "image/image_library.h"
#include "support/scene_fixture.h"

#include <gtest/gtest.h>

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfOutputFile.h>
#include <OpenEXR/ImfStringAttribute.h>
#include <OpenEXR/ImfStringVectorAttribute.h>
#include <OpenImageIO/imageio.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

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

namespace {

// A 4 x 16 RGBA float EXR (zip) with a string "note" and a string list "list", its bytes then
// changed by `edit`.
std::string exr_file(const fs::path& dir, const std::string& name,
                     const std::function<void(std::string&)>& edit) {
    const std::string path = (dir / name).string();
    {
        Imf::Header header(4, 16);
        header.insert("note", Imf::StringAttribute("hello"));
        header.insert("list", Imf::StringVectorAttribute({"ab"}));
        for (const char* c : {"R", "G", "B", "A"})
            header.channels().insert(c, Imf::Channel(Imf::FLOAT));
        std::vector<float> pixels(4 * 16 * 4, 0.5f);
        Imf::FrameBuffer fb;
        for (int c = 0; c < 4; ++c)
            fb.insert(std::string(1, "RGBA"[c]),
                      Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(pixels.data() + c), 16, 64));
        Imf::OutputFile out(path.c_str(), header);
        out.setFrameBuffer(fb);
        out.writePixels(16);
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    in.close();
    edit(bytes);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
}

// The little-endian int32 at `offset` bytes after the attribute's name and type.
void set_int(std::string& bytes, const std::string& attribute, std::size_t offset, std::int32_t value) {
    const std::size_t at = bytes.find(attribute);
    ASSERT_NE(at, std::string::npos) << "no attribute";
    for (int i = 0; i < 4; ++i)
        bytes[at + attribute.size() + offset + std::size_t(i)] =
            char((std::uint32_t(value) >> (8 * i)) & 0xff);
}

} // namespace

TEST(ImageLibrary, ExrHeaderSizesAreCheckedAgainstTheFileBeforeAnyRead) {
    using orn::image::exr_size_problem;
    const fs::path dir = orn::test::test_dir();
    const std::string sound = exr_file(dir, "sound.exr", [](std::string&) {});
    EXPECT_EQ(exr_size_problem(sound), std::nullopt);
    const auto size = std::to_string(fs::file_size(sound));

    // A string that says it holds 1.3 GB: the size field follows the name and the type.
    const std::string note = exr_file(dir, "note.exr", [](std::string& b) {
        set_int(b, std::string("note\0string\0", 12), 0, 1300000000);
    });
    const std::string note_error = note +
                                   ": damaged OpenEXR header: attribute \"note\" declares 1300000000 "
                                   "bytes, more than the file's " +
                                   size + " bytes hold";
    EXPECT_EQ(exr_size_problem(note).value_or(""), note_error);
    // The texture check reads the header in this process: the same answer, before the library.
    EXPECT_EQ(orn::image::texture_file_problem(note), note_error);

    // A list whose one string says it is 1 GB long: its length comes after the list's size.
    const std::string list = exr_file(dir, "list.exr", [](std::string& b) {
        set_int(b, std::string("list\0stringvector\0", 18), 4, 1 << 30);
    });
    EXPECT_EQ(exr_size_problem(list).value_or(""),
              list + ": damaged OpenEXR header: string list \"list\" holds a string longer than the list");

    // Rows up to 2^30: ceil((2^30 + 1) / 16) zip chunks, each with an 8-byte offset at least.
    const std::string rows = exr_file(dir, "rows.exr", [](std::string& b) {
        set_int(b, std::string("dataWindow\0box2i\0", 17), 4 + 12, 1 << 30);
    });
    EXPECT_NE(exr_size_problem(rows).value_or("").find("1073741825 pixels takes 67108865 chunks"),
              std::string::npos)
        << exr_size_problem(rows).value_or("");

    // 100000 x 16 pixels of 4 floats are 25.6 MB, more than 4096 times the file (zip); the
    // header alone is sound.
    const std::string wide = exr_file(dir, "wide.exr", [](std::string& b) {
        set_int(b, std::string("dataWindow\0box2i\0", 17), 4 + 8, 99999);
    });
    EXPECT_EQ(exr_size_problem(wide).value_or(""),
              wide +
                  ": damaged OpenEXR header: it declares 100000 x 16 pixels of 4 channels, more than a "
                  "file of " +
                  size + " bytes can hold");
    EXPECT_EQ(exr_size_problem(wide, false), std::nullopt);

    // Not an EXR file: other readers judge it.
    std::ofstream(dir / "text.exr") << "not an image";
    EXPECT_EQ(exr_size_problem((dir / "text.exr").string()), std::nullopt);
}
