// The feather generator against a recording stand-in for the renderer's object and hair calls:
// the placeholder object it declares, and the hairs its callback builds. This test links the
// shader's source directly; the functions below take the renderer's place.
#include "source/hair/geofeather.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

extern "C" miBoolean geofeather(miTag* result, miState* state, geofeather_params* paras);
extern "C" miBoolean geofeather_cb(miTag tag, void* args);

namespace {

constexpr miTag kPlaceholder = 41;

struct Recorder {
    std::vector<std::string> calls; // in order
    std::vector<std::string> objects_begun;
    miObject object{};
    miObject edited{};
    miHair_list hair{};
    std::vector<std::tuple<int, char, int>> info;
    std::vector<miScalar> scalars;
    int scalars_ended = -1;
    std::vector<miGeoIndex> index;
    miApi_object_callback callback = nullptr;
    void* args = nullptr;
    miTag added = 0;
    std::vector<std::string> warnings, errors;
};
Recorder rec;

std::string format(const char* fmt, va_list ap) {
    char text[1024];
    std::vsnprintf(text, sizeof text, fmt, ap);
    return text;
}

} // namespace

extern "C" {
char* mi_mem_strdup(const char* text) {
    return strdup(text);
}
void* mi_eval(miState*, void* param) {
    return param;
}
void mi_warning(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    rec.warnings.push_back(format(fmt, ap));
    va_end(ap);
}
void mi_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    rec.errors.push_back(format(fmt, ap));
    va_end(ap);
}
char* mi_api_tag_lookup(miTag tag) {
    static char name[] = "feather_placeholder";
    return tag == kPlaceholder ? name : nullptr;
}
miBoolean mi_api_incremental(miBoolean on) {
    rec.calls.push_back(on ? "incremental on" : "incremental off");
    return miTRUE;
}
miObject* mi_api_object_begin(char* name) {
    rec.calls.push_back("object_begin");
    rec.objects_begun.push_back(name);
    std::free(name); // the renderer owns the copy it was given
    rec.object = miObject{};
    return &rec.object;
}
miTag mi_api_object_end(void) {
    rec.calls.push_back("object_end");
    return kPlaceholder;
}
miBoolean mi_api_object_callback(miApi_object_callback callback, void* args) {
    rec.callback = callback;
    rec.args = args;
    return miTRUE;
}
miHair_list* mi_api_hair_begin(void) {
    rec.calls.push_back("hair_begin");
    return &rec.hair;
}
miBoolean mi_api_hair_info(int per_vertex, char kind, int count) {
    rec.info.emplace_back(per_vertex, kind, count);
    return miTRUE;
}
miScalar* mi_api_hair_scalars_begin(int count) {
    rec.scalars.assign(size_t(count), -1.f);
    return rec.scalars.data();
}
miBoolean mi_api_hair_scalars_end(int count) {
    rec.scalars_ended = count;
    return miTRUE;
}
miGeoIndex* mi_api_hair_hairs_begin(int count) {
    rec.index.assign(size_t(count), 12345u);
    return rec.index.data();
}
miBoolean mi_api_hair_hairs_end(void) {
    return miTRUE;
}
miBoolean mi_api_hair_end(void) {
    rec.calls.push_back("hair_end");
    return miTRUE;
}
miBoolean mi_geoshader_add_result(miTag* result, miTag item) {
    *result = item;
    rec.added = item;
    return miTRUE;
}
void* mi_scene_edit(miTag tag) {
    rec.calls.push_back("scene_edit " + std::to_string(tag));
    rec.edited = miObject{};
    return &rec.edited;
}
void mi_scene_edit_end(miTag tag) {
    rec.calls.push_back("scene_edit_end " + std::to_string(tag));
}
}

namespace {

// Scalars of vertex k of hair h: x y z, radius, texture r g b a, motion x y z.
const miScalar* vertex(int h, int k) {
    return rec.scalars.data() + 44 * h + 11 * k;
}

void build(miInteger barbs) {
    rec = Recorder{};
    geofeather_params params{barbs, miTRUE};
    EXPECT_TRUE(geofeather_cb(kPlaceholder, &params));
}

TEST(Geofeather, ShaderPlacesAPlaceholderWithItsCallbackFlagsBoxAndLabel) {
    rec = Recorder{};
    geofeather_params params{5, 0x100}; // only the first byte of the flag counts
    miTag result = 0;
    EXPECT_TRUE(geofeather(&result, nullptr, &params));
    EXPECT_EQ(result, kPlaceholder);
    EXPECT_EQ(rec.added, kPlaceholder);
    ASSERT_EQ(rec.objects_begun, std::vector<std::string>{"geofeather"});
    EXPECT_EQ(rec.callback, &geofeather_cb);
    EXPECT_EQ(rec.args, &params);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&rec.object);
    EXPECT_EQ(bytes[16], 1);
    EXPECT_EQ(bytes[17], 0);
    EXPECT_EQ(bytes[18], 1);
    EXPECT_EQ(bytes[19], 1);
    EXPECT_EQ(bytes[115], 1);
    EXPECT_FLOAT_EQ(rec.object.bbox_min.x, -0.5f);
    EXPECT_FLOAT_EQ(rec.object.bbox_min.z, -0.1f);
    EXPECT_FLOAT_EQ(rec.object.bbox_max.y, 2.f);
    EXPECT_FLOAT_EQ(rec.object.bbox_max.z, 0.1f);
    uint32_t label = 0;
    std::memcpy(&label, reinterpret_cast<const char*>(&rec.edited) + 152, 4);
    EXPECT_EQ(label, 7u);
    const std::vector<std::string> order = {"object_begin", "object_end", "scene_edit 41",
                                            "scene_edit_end 41"};
    EXPECT_EQ(rec.calls, order);
}

TEST(Geofeather, NoBarbsGiveTheShaftAlone) {
    build(0);
    EXPECT_EQ(rec.objects_begun, std::vector<std::string>{"feather_placeholder"});
    const std::vector<std::string> order = {"incremental on", "object_begin", "hair_begin", "hair_end",
                                            "object_end"};
    EXPECT_EQ(rec.calls, order);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&rec.object);
    EXPECT_EQ(bytes[16] + bytes[17] + bytes[18] + bytes[19], 4);
    EXPECT_EQ(rec.hair.degree, 3);
    const std::vector<std::tuple<int, char, int>> info = {{1, 'r', 1}, {1, 't', 4}, {1, 'm', 3}};
    EXPECT_EQ(rec.info, info);
    ASSERT_EQ(rec.scalars.size(), 44u);
    EXPECT_EQ(rec.scalars_ended, 44);
    EXPECT_EQ(rec.index, (std::vector<miGeoIndex>{0, 44}));
    const float shaft[4][3] = {
        {0.f, 0.01f, 1.f}, {0.33f, 0.02f, 0.9f}, {0.67f, 0.01f, 0.8f}, {1.f, 0.005f, 0.7f}};
    for (int k = 0; k < 4; ++k) {
        const miScalar* v = vertex(0, k);
        const std::vector<float> want = {0.f, shaft[k][0], 0.f, shaft[k][1], 1.f, 1.f,
                                         1.f, shaft[k][2], 0.f, shaft[k][0], 0.f};
        EXPECT_EQ(std::vector<float>(v, v + 11), want) << "vertex " << k;
    }
}

TEST(Geofeather, ThirtyTwoPairsOfMirroredBarbs) {
    build(32);
    ASSERT_EQ(rec.scalars.size(), 2860u);
    EXPECT_EQ(rec.scalars_ended, 2860);
    ASSERT_EQ(rec.index.size(), 66u); // 65 hairs
    for (size_t k = 0; k < rec.index.size(); ++k)
        EXPECT_EQ(rec.index[k], 44 * k);
    // the top pair (e = 31 × 0.025) starts at 0.975 and ends at 1.235, above the shaft's tip at 1
    EXPECT_FLOAT_EQ(vertex(63, 0)[1], 0.975f);
    EXPECT_FLOAT_EQ(vertex(63, 3)[1], 1.235f);
    EXPECT_FLOAT_EQ(vertex(64, 3)[1], 1.235f);
    for (int i = 0; i < 32; ++i) {
        const miScalar *right = vertex(2 * i + 1, 3), *left = vertex(2 * i + 2, 3);
        EXPECT_FLOAT_EQ(right[0], 0.31f);
        EXPECT_FLOAT_EQ(left[0], -0.31f);
        EXPECT_FLOAT_EQ(left[8], -0.31f) << "motion repeats the position";
        EXPECT_EQ(right[7], 0.f) << "right tip alpha, pair " << i;
        EXPECT_FLOAT_EQ(left[7], 0.2f) << "left tip alpha, pair " << i;
        EXPECT_FLOAT_EQ(right[5], 0.4f);
        EXPECT_FLOAT_EQ(vertex(2 * i + 2, 1)[7], 0.34f) << "the left barb's other vertices match the right's";
    }
    EXPECT_TRUE(rec.warnings.empty());
}

TEST(Geofeather, NegativeOrImpossibleBarbCountsBuildNothingAndSaySo) {
    build(-3);
    EXPECT_TRUE(rec.calls.empty());
    ASSERT_EQ(rec.warnings.size(), 1u);
    EXPECT_EQ(rec.warnings[0], "geofeather: barb_count -3 is negative; the feather gets no hairs");

    rec = Recorder{};
    geofeather_params huge{2000000000, miTRUE};
    EXPECT_FALSE(geofeather_cb(kPlaceholder, &huge));
    EXPECT_TRUE(rec.scalars.empty());
    ASSERT_EQ(rec.errors.size(), 1u);
    EXPECT_NE(rec.errors[0].find("geofeather: barb_count 2000000000"), std::string::npos);
}

} // namespace
