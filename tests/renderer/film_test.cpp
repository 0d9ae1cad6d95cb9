#include "common/atomic_file.h"
#include "film/cryptomatte.h"
#include "film/film.h"
#include "film/image_output.h"
#include "support/matte_decoder.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <unistd.h>

using namespace orn::film;
using orn::AtomicFile;
namespace fs = std::filesystem;

namespace {

void set_color(Film& film, int x, int y, int s, float r, float g, float b, float a) {
    float* c = film.sample_data(Color, x, y, s);
    c[0] = r, c[1] = g, c[2] = b, c[3] = a;
}

// Every sample of pixel x (one-row films) gets the same colour.
void fill_pixel(Film& film, int x, float v) {
    for (int s = 0; s < film.spp(); ++s)
        set_color(film, x, 0, s, v, v, v, 1.0f);
}

} // namespace

// ---------------------------------------------------------------- sample positions

TEST(FilmSamples, DeterministicAndInsideTheirPixel) {
    const Film a(6, 5, 16), b(6, 5, 16);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x)
            for (int s = 0; s < 16; ++s) {
                const SamplePosition p = a.sample_position(x, y, s);
                const SamplePosition q = b.sample_position(x, y, s);
                EXPECT_EQ(p.x, q.x);
                EXPECT_EQ(p.y, q.y);
                EXPECT_GE(p.x, x);
                EXPECT_LT(p.x, x + 1);
                EXPECT_GE(p.y, y);
                EXPECT_LT(p.y, y + 1);
            }
}

TEST(FilmSamples, Stratified) {
    EXPECT_EQ(Film(4, 4, 1).sample_position(2, 3, 0).x, 2.5f);
    EXPECT_EQ(Film(4, 4, 1).sample_position(2, 3, 0).y, 3.5f);

    // spp 4: one per quadrant, spp 16: one per cell of a 4x4 grid, spp 5: five cells of 3x3.
    for (int spp : {4, 16, 5}) {
        const Film film(4, 4, spp);
        const int n = spp == 4 ? 2 : spp == 16 ? 4 : 3;
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
                std::set<int> cells;
                for (int s = 0; s < spp; ++s) {
                    const SamplePosition p = film.sample_position(x, y, s);
                    cells.insert(static_cast<int>((p.y - y) * n) * n + static_cast<int>((p.x - x) * n));
                }
                EXPECT_EQ(cells.size(), static_cast<std::size_t>(spp)) << "spp " << spp;
            }
    }
}

// A progressive pattern for pixels that take 1 (or 4) to 256 samples: its first samples are the
// plain pattern's of that many, and every prefix of 4^k samples has one in each cell of the
// 2^k x 2^k grid.
TEST(FilmSamples, ProgressivePrefixesAreStratified) {
    for (int base : {1, 4}) {
        const Film film(3, 2, 256, {}, nullptr, base), plain(3, 2, base);
        EXPECT_EQ(film.base_spp(), base);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x) {
                for (int s = 0; s < base; ++s) {
                    EXPECT_EQ(film.sample_position(x, y, s).x, plain.sample_position(x, y, s).x);
                    EXPECT_EQ(film.sample_position(x, y, s).y, plain.sample_position(x, y, s).y);
                }
                for (int n = base * 4; n <= 256; n *= 4) {
                    const int g = n == 4 ? 2 : n == 16 ? 4 : n == 64 ? 8 : 16;
                    std::set<int> cells;
                    for (int s = 0; s < n; ++s) {
                        const SamplePosition p = film.sample_position(x, y, s);
                        ASSERT_GE(p.x, x);
                        ASSERT_LT(p.x, x + 1);
                        cells.insert(static_cast<int>((p.y - y) * g) * g + static_cast<int>((p.x - x) * g));
                    }
                    EXPECT_EQ(cells.size(), static_cast<std::size_t>(n)) << "base " << base << ", " << n;
                }
            }
    }
    EXPECT_THROW(Film(2, 2, 16, {}, nullptr, 2), std::invalid_argument) << "levels are powers of 4";
}

// ---------------------------------------------------------------- planes and bad input

TEST(FilmPlanes, StandardAndUserPlanes) {
    Film film(2, 2, 4);
    EXPECT_EQ(film.plane_id("Color"), Color);
    EXPECT_EQ(film.plane_id("Coverage"), Coverage);
    EXPECT_EQ(film.plane_info(Color).components, 4);
    EXPECT_FALSE(film.plane_info(Label).filtered);
    EXPECT_TRUE(film.plane_info(Coverage).filtered);
    EXPECT_EQ(film.plane_id("nothing"), -1);

    const int id = film.add_plane("diffuse", 3, true, {0.5f, 0.25f, 2.0f, 0.0f});
    EXPECT_EQ(id, 6);
    EXPECT_EQ(film.sample_data(id, 1, 1, 3)[2], 2.0f);
    EXPECT_THROW(film.add_plane("diffuse", 3, true), std::invalid_argument);
    EXPECT_THROW(film.add_plane("wide", 5, true), std::invalid_argument);
}

TEST(FilmPlanes, BadInputThrowsInsteadOfCrashing) {
    EXPECT_THROW(Film(0, 4, 1), std::invalid_argument);
    EXPECT_THROW(Film(4, 4, 0), std::invalid_argument);
    EXPECT_THROW(Film(4, 4, 1, {FilterType::Gauss, 0.0f, 1.0f}), std::invalid_argument);
    EXPECT_THROW(Film(4, 4, 1, {FilterType::Gauss, 1.0f, std::nanf("")}), std::invalid_argument);
    Film film(4, 4, 4);
    EXPECT_THROW(film.sample_data(Color, 4, 0, 0), std::out_of_range);
    EXPECT_THROW(film.sample_data(Color, 0, 0, 4), std::out_of_range);
    EXPECT_THROW(film.sample_data(9, 0, 0, 0), std::out_of_range);
    EXPECT_THROW(film.pixel(Color, -1, 0), std::out_of_range);
}

TEST(FilmPlanes, AStopEndsBuildingAndResolving) {
    // The largest film there is, stopped before it is built: nothing of its 68 GB of colour is
    // touched (or the test could not end).
    std::atomic<bool> stop{true};
    EXPECT_THROW(Film(1 << 16, 1 << 16, 1, {}, &stop), Interrupted);
    // A film built with the flag down: adding a plane and resolving stop once it is up, and a
    // film without a flag never does.
    stop = false;
    Film film(64, 64, 1, {FilterType::Gauss, 2.0f, 2.0f}, &stop);
    Film plain(64, 64, 1, {FilterType::Gauss, 2.0f, 2.0f});
    set_color(film, 3, 3, 0, 1.0f, 1.0f, 1.0f, 1.0f);
    stop = true;
    EXPECT_THROW(film.add_plane("more", 4, true), Interrupted);
    EXPECT_THROW(film.resolve(), Interrupted);
    EXPECT_FALSE(film.is_resolved());
    set_color(plain, 3, 3, 0, 1.0f, 1.0f, 1.0f, 1.0f);
    plain.resolve();
    EXPECT_TRUE(plain.is_resolved());
}

// ---------------------------------------------------------------- resolve

TEST(FilmResolve, BoxOfWidthOneIsThePixelMean) {
    Film film(4, 3, 4);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            for (int s = 0; s < 4; ++s)
                set_color(film, x, y, s, x + 10.0f * y + s, -1.0f * s, 7.0f, s < 2);
    film.resolve();
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) {
            const float* p = film.pixel(Color, x, y);
            EXPECT_FLOAT_EQ(p[0], x + 10.0f * y + 1.5f); // mean of s = 0..3 is 1.5
            EXPECT_FLOAT_EQ(p[1], -1.5f);
            EXPECT_FLOAT_EQ(p[2], 7.0f);
            EXPECT_FLOAT_EQ(p[3], 0.5f);
        }
}

// One sample per pixel under the default box goes into the planes a row at a time: each pixel
// is its sample, a filtered -0 sums to +0 as in a tile, labels keep their bits, and pixels no
// row reached keep their clear value.
TEST(FilmResolve, RowsOfSinglesAreTheirSamples) {
    Film film(5, 2, 1);
    const int tag = film.add_plane("tag", 1, false, {7.0f});
    ASSERT_FALSE(film.writes_samples()); // not cleared yet
    film.clear();
    ASSERT_TRUE(film.writes_samples());
    const int size = film.sample_size();
    std::vector<float> row(static_cast<size_t>(3 * size));
    const uint32_t nan_label = 0x7fa00001u;
    for (int i = 0; i < 3; ++i) {
        float* s = &row[static_cast<size_t>(i * size)];
        std::copy(film.clear_sample().begin(), film.clear_sample().end(), s);
        float* c = s + film.plane_offset(Color);
        c[0] = -0.0f, c[1] = 0.25f * i, c[2] = 2.0f, c[3] = 1.0f;
        s[film.plane_offset(Depth)] = -0.0f; // unfiltered: kept as it is
        store_label(s + film.plane_offset(Label), i == 1 ? nan_label : 40u + i);
        s[film.plane_offset(tag)] = 10.0f + i;
    }
    film.write_samples(1, 4, 1, row.data());
    EXPECT_THROW(film.write_samples(3, 6, 0, row.data()), std::out_of_range);
    film.end_writes();
    film.resolve();
    for (int i = 0; i < 3; ++i) {
        const float* c = film.pixel(Color, 1 + i, 1);
        EXPECT_FALSE(std::signbit(c[0]));
        EXPECT_EQ(c[1], 0.25f * i);
        EXPECT_EQ(c[2], 2.0f);
        EXPECT_TRUE(std::signbit(*film.pixel(Depth, 1 + i, 1)));
        EXPECT_EQ(load_label(film.pixel(Label, 1 + i, 1)), i == 1 ? nan_label : 40u + i);
        EXPECT_EQ(*film.pixel(tag, 1 + i, 1), 10.0f + i);
    }
    EXPECT_EQ(*film.pixel(tag, 0, 1), 7.0f);
    EXPECT_EQ(*film.pixel(tag, 4, 0), 7.0f);
    EXPECT_EQ(film.pixel(Color, 4, 1)[1], 0.0f);
    Film wide(4, 1, 1, FilterSpec{FilterType::Gauss, 2.0f, 2.0f});
    wide.clear();
    EXPECT_FALSE(wide.writes_samples());
}

TEST(FilmResolve, ConstantStaysConstantUnderEveryFilterUpToTheBorder) {
    for (FilterType type : {FilterType::Box, FilterType::Triangle, FilterType::Gauss, FilterType::Mitchell,
                            FilterType::Lanczos})
        for (float width : {1.0f, 2.0f, 3.3f, 4.0f}) {
            Film film(5, 4, 4, {type, width, width * 0.5f + 0.75f});
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 5; ++x)
                    for (int s = 0; s < 4; ++s) {
                        set_color(film, x, y, s, 0.3f, 0.6f, 0.9f, 1.0f);
                        *film.sample_data(Coverage, x, y, s) = 0.7f;
                    }
            film.resolve();
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 5; ++x) {
                    EXPECT_NEAR(film.pixel(Color, x, y)[1], 0.6f, 1e-5f) << int(type) << " " << width;
                    EXPECT_NEAR(film.pixel(Coverage, x, y)[0], 0.7f, 1e-5f) << int(type) << " " << width;
                }
        }
}

// A fully covered pixel must come out exactly 1, not 1 ulp below: unsigned-integer output
// truncates, and 0.99999994 would store 0.
TEST(FilmResolve, FullCoverageIsExactlyOneUnderEveryFilter) {
    for (FilterType type : {FilterType::Box, FilterType::Triangle, FilterType::Gauss, FilterType::Mitchell,
                            FilterType::Lanczos})
        for (int spp : {1, 4, 16})
            for (float width : {1.0f, 2.0f, 3.3f}) {
                Film film(7, 5, spp, {type, width, width});
                for (int y = 0; y < 5; ++y)
                    for (int x = 0; x < 7; ++x)
                        for (int s = 0; s < spp; ++s) {
                            set_color(film, x, y, s, 0.3f, 0.5f, 1.0f, 1.0f);
                            *film.sample_data(Coverage, x, y, s) = 1.0f;
                        }
                film.resolve();
                for (int y = 0; y < 5; ++y)
                    for (int x = 0; x < 7; ++x) {
                        EXPECT_EQ(film.pixel(Color, x, y)[3], 1.0f)
                            << int(type) << " " << spp << " " << width;
                        EXPECT_EQ(film.pixel(Color, x, y)[1], 0.5f)
                            << int(type) << " " << spp << " " << width;
                        EXPECT_EQ(film.pixel(Coverage, x, y)[0], 1.0f)
                            << int(type) << " " << spp << " " << width;
                    }
            }
}

TEST(FilmResolve, StandardPlanesCanBeFiltered) {
    // depth takes the sample nearest the centre by default; filtered, the box mean
    for (const bool filtered : {false, true}) {
        Film film(1, 1, 4, {FilterType::Box, 1.0f, 1.0f});
        if (filtered) film.set_filtered(Depth, true);
        for (int s = 0; s < 4; ++s)
            *film.sample_data(Depth, 0, 0, s) = float(s + 1);
        film.resolve();
        const float z = film.pixel(Depth, 0, 0)[0];
        if (filtered)
            EXPECT_EQ(z, 2.5f);
        else
            EXPECT_TRUE(z == 1.f || z == 2.f || z == 3.f || z == 4.f) << z;
    }
}

// One sample per pixel sits at the pixel centre, so a neighbour's sample is exactly 1 pixel away.
TEST(FilmResolve, NeighbourWeightsMatchTheFilterShapes) {
    auto resolve_two = [](FilterType type, float width) {
        Film film(2, 1, 1, {type, width, 1.0f});
        fill_pixel(film, 0, 1.0f);
        fill_pixel(film, 1, 0.0f);
        film.resolve();
        return film.pixel(Color, 0, 0)[0];
    };
    // Width 2: the neighbour's sample lies on the support border, where both shapes are 0.
    EXPECT_FLOAT_EQ(resolve_two(FilterType::Triangle, 2.0f), 1.0f);
    EXPECT_FLOAT_EQ(resolve_two(FilterType::Gauss, 2.0f), 1.0f);
    // Width 3, radius 1.5: triangle weight 1 - 1/1.5 = 1/3, so 1 / (1 + 1/3).
    EXPECT_NEAR(resolve_two(FilterType::Triangle, 3.0f), 0.75f, 1e-6f);
    // Gauss exp(-2 t^2) - exp(-2) at t = 0 and t = 2/3.
    const double g0 = 1.0 - std::exp(-2.0);
    const double g1 = std::exp(-2.0 * 4.0 / 9.0) - std::exp(-2.0);
    EXPECT_NEAR(resolve_two(FilterType::Gauss, 3.0f), g0 / (g0 + g1), 1e-6);

    // Width 4 over a 1-pixel spike: Mitchell (B = C = 1/3) weighs 16/18 at 0 and 1/18 at 1 pixel;
    // Lanczos with two lobes is 0 at 1 pixel.
    auto resolve_spike = [](FilterType type) {
        Film film(3, 1, 1, {type, 4.0f, 1.0f});
        fill_pixel(film, 1, 1.0f);
        film.resolve();
        return std::make_pair(film.pixel(Color, 1, 0)[0], film.pixel(Color, 0, 0)[0]);
    };
    const auto mitchell = resolve_spike(FilterType::Mitchell);
    EXPECT_NEAR(mitchell.first, 16.0f / 18.0f, 1e-6f);
    EXPECT_NEAR(mitchell.second, (1.0f / 18.0f) / (17.0f / 18.0f), 1e-6f); // pixel 0 has no left neighbour
    const auto lanczos = resolve_spike(FilterType::Lanczos);
    EXPECT_NEAR(lanczos.first, 1.0f, 1e-6f);
    EXPECT_NEAR(lanczos.second, 0.0f, 1e-6f);
}

// A pixel that took one sample weighs it as much as a pixel with 16 weighs all of its: under a box
// of width 3 pixel 0 sees its own sample (1, scaled by 16) and the 16 of pixel 1 (0, weight 1
// each), 16 / (16 + 16); without the scale it would be 1 / 17.
TEST(FilmResolve, ScaledWeightsCountAPixelsSamplesTogether) {
    Film film(2, 1, 16, {FilterType::Box, 3.0f, 1.0f}, nullptr, 1);
    film.clear();
    Film::Tile tile;
    film.make_tile(tile, 0, 0, 2, 1);
    std::vector<float> sample = film.clear_sample();
    float* c = sample.data() + film.plane_offset(Color);
    c[0] = c[3] = 1.0f;
    film.add_sample(tile, 0, 0, film.sample_position(0, 0, 0), sample.data(), nullptr, 0, 16.0f);
    c[0] = 0.0f;
    for (int s = 0; s < 16; ++s)
        film.add_sample(tile, 1, 0, film.sample_position(1, 0, s), sample.data());
    film.merge_tile(tile, 0);
    film.resolve();
    EXPECT_EQ(film.pixel(Color, 0, 0)[0], 0.5f);
    EXPECT_EQ(film.pixel(Color, 1, 0)[0], 0.5f);
    EXPECT_EQ(film.pixel(Color, 0, 0)[3], 1.0f);
}

TEST(FilmResolve, FilteredPlanesShareTheirWeights) {
    Film film(4, 4, 4, {FilterType::Gauss, 3.0f, 3.0f});
    const int diffuse = film.add_plane("diffuse", 3, true);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            for (int s = 0; s < 4; ++s) {
                const float v = 0.1f * (x * 7 + y * 3 + s * 5 % 4);
                set_color(film, x, y, s, v, 2 * v, 0, 1);
                film.sample_data(diffuse, x, y, s)[0] = 0.25f * v;
            }
    film.resolve();
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_NEAR(film.pixel(diffuse, x, y)[0], 0.25f * film.pixel(Color, x, y)[0], 1e-6f);
}

TEST(FilmResolve, UnfilteredPlanesTakeTheSampleNearestTheCentre) {
    // A wide filter, and a box whose pixels their tiles finish on their own.
    for (const FilterSpec& filter : {FilterSpec{FilterType::Gauss, 3.0f, 3.0f}, FilterSpec{}}) {
        Film film(3, 2, 4, filter);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                for (int s = 0; s < 4; ++s) {
                    *film.sample_data(Depth, x, y, s) = 10.0f + s;
                    store_label(film.sample_data(Label, x, y, s), s == 0 ? 0xffffffffu : 70000u + s);
                }
        film.resolve();
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x) {
                int nearest = 0;
                float best = 1e9f;
                for (int s = 0; s < 4; ++s) {
                    const SamplePosition p = film.sample_position(x, y, s);
                    const float d = std::hypot(p.x - (x + 0.5f), p.y - (y + 0.5f));
                    if (d < best) best = d, nearest = s;
                }
                EXPECT_EQ(film.pixel(Depth, x, y)[0], 10.0f + nearest);
                EXPECT_EQ(load_label(film.pixel(Label, x, y)), nearest == 0 ? 0xffffffffu : 70000u + nearest);
            }
    }
}

// ---------------------------------------------------------------- ID mattes

// Left half of a 6 x 3 film: IDs A 0.25 and B 0.5 in every sample; right half: B and C 0.5 each.
// Rendered in tiles (or straight in, one sample per pixel under a narrow box), the coverages of
// each pixel add up to its alpha whatever the filter, and ranks come largest first, equal
// coverages by ID.
TEST(FilmMattes, CoveragesAreFilteredAsTheAlphaAndRanked) {
    const std::uint32_t A = 0x3f000001u, B = 0x40000002u, C = 0x40400003u;
    const FilterSpec filters[] = {{FilterType::Box, 1, 1},
                                  {FilterType::Box, 2, 2},
                                  {FilterType::Gauss, 2, 2},
                                  {FilterType::Mitchell, 4, 4},
                                  {FilterType::Lanczos, 3, 3}};
    for (const FilterSpec& filter : filters)
        for (int spp : {1, 4}) {
            SCOPED_TRACE(std::to_string(int(filter.type)) + " width " + std::to_string(filter.width) + ", " +
                         std::to_string(spp) + " spp");
            Film film(6, 3, spp, filter);
            const int size = film.sample_size();
            const int planes[2] = {film.add_image_plane("M00", 4), film.add_image_plane("M01", 4)};
            EXPECT_EQ(film.sample_size(), size); // ranks take no room in a sample
            film.set_mattes(1, 3, {planes[0], planes[1]});
            film.clear();
            const bool straight = film.writes_samples();
            Film::Tile tile;
            if (!straight) film.make_tile(tile, 0, 0, 6, 3);
            MatteScratch scratch;
            std::vector<float> row(size_t(6 * size));
            for (int y = 0; y < 3; ++y) {
                for (int x = 0; x < 6; ++x)
                    for (int s = 0; s < spp; ++s) {
                        const MatteHit left[] = {{A, 0, 0.25f}, {B, 0, 0.5f}},
                                       right[] = {{B, 0, 0.5f}, {C, 0, 0.5f}};
                        const MatteHit* hits = x < 3 ? left : right;
                        float* sample = &row[size_t(x * size)];
                        std::copy(film.clear_sample().begin(), film.clear_sample().end(), sample);
                        sample[film.plane_offset(Color) + 3] = x < 3 ? 0.75f : 1.0f;
                        if (straight)
                            film.write_sample_mattes(x, y, hits, 2, scratch);
                        else
                            film.add_sample(tile, x, y, film.sample_position(x, y, s), sample, hits, 2);
                    }
                if (straight) film.write_samples(0, 6, y, row.data());
            }
            if (!straight) film.merge_tile(tile, 0);
            film.resolve();
            auto rank = [&](int x, int y, int r) {
                const float* p = film.pixel(planes[r / 2], x, y) + 2 * (r % 2);
                return std::make_pair(load_label(p), p[1]);
            };
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 6; ++x) {
                    float sum = 0.f;
                    for (int r = 0; r < 3; ++r)
                        sum += rank(x, y, r).second;
                    EXPECT_NEAR(sum, film.pixel(Color, x, y)[3], 1e-6f) << x << " " << y;
                    EXPECT_EQ(film.pixel(planes[1], x, y)[2], 0.0f); // no fourth rank
                }
            const std::pair<std::uint32_t, float> want[2][3] = {{{B, 0.5f}, {A, 0.25f}, {0u, 0.0f}},
                                                                {{B, 0.5f}, {C, 0.5f}, {0u, 0.0f}}};
            for (int side = 0; side < 2; ++side)
                for (int r = 0; r < 3; ++r) {
                    EXPECT_EQ(rank(5 * side, 1, r).first, want[side][r].first) << side << " " << r;
                    EXPECT_NEAR(rank(5 * side, 1, r).second, want[side][r].second, 1e-6f) << side << " " << r;
                }
        }
}

// A pixel with more IDs than ranks keeps the largest, exact; the others are left out.
TEST(FilmMattes, IdsBeyondTheDepthAreLeftOut) {
    Film film(1, 1, 1);
    const int plane = film.add_image_plane("M00", 4);
    film.set_mattes(1, 1, {plane});
    film.clear();
    MatteScratch scratch;
    const MatteHit hits[] = {{0x3f000001u, 0, 0.25f}, {0x40000002u, 0, 0.5f}, {0x40400003u, 0, 0.25f}};
    film.write_sample_mattes(0, 0, hits, 3, scratch);
    const float* p = film.pixel(plane, 0, 0);
    EXPECT_EQ(load_label(p), 0x40000002u);
    EXPECT_EQ(p[1], 0.5f);
    EXPECT_EQ(p[2], 0.0f);
    EXPECT_EQ(p[3], 0.0f);
}

TEST(FilmMattes, NamesBecomeTheStandardsIdsAndManifest) {
    using orn::test::reference_murmur3;
    // Published MurmurHash3 x86 32-bit values, seed 0.
    const std::pair<std::string, std::uint32_t> known[] = {
        {"", 0u}, {"hello", 0x248bfa47u}, {"The quick brown fox jumps over the lazy dog", 0x2e4ff723u}};
    for (const auto& [text, hash] : known) {
        EXPECT_EQ(murmur3_32(text.data(), text.size()), hash) << text;
        EXPECT_EQ(reference_murmur3(text), hash) << text;
    }
    EXPECT_EQ(matte_id(""), 0x00800000u); // exponent 0 becomes 1: no ID is 0 or a denormal
    // Names whose hash has an exponent field of 0 and of 255 keep sign and mantissa.
    for (std::uint32_t exponent : {0u, 255u}) {
        std::string name;
        for (int i = 0; (reference_murmur3(name) >> 23 & 255u) != exponent; ++i)
            name = "n" + std::to_string(i);
        const std::uint32_t h = reference_murmur3(name);
        const std::uint32_t want = (h & ~(255u << 23)) | ((exponent == 0 ? 1u : 254u) << 23);
        EXPECT_EQ(matte_id(name), want) << name;
        float f;
        std::memcpy(&f, &want, 4);
        EXPECT_TRUE(std::isnormal(f)) << name;
    }
    // The manifest sorts and escapes its names and writes bytes that are not UTF-8 as U+FFFD.
    auto hex = [](const std::string& n) { return matte_id_hex(orn::test::reference_matte_id(n)); };
    EXPECT_EQ(matte_manifest({"b", "a\"\\", "\xff", "b", "\xc3\xa9"}),
              "{\"a\\\"\\\\\":\"" + hex("a\"\\") + "\",\"b\":\"" + hex("b") + "\",\"\xc3\xa9\":\"" +
                  hex("\xc3\xa9") + "\",\"\\ufffd\":\"" + hex("\xff") + "\"}");
    // Names that differ only in bytes that are not UTF-8 would be written alike: each keeps an
    // entry of its own, with its ID after the name; a valid name written so keeps its own.
    std::vector<std::string> renamed;
    EXPECT_EQ(matte_manifest({"a\xfe", "a\xff", "a\xef\xbf\xbd"}, &renamed),
              "{\"a\xef\xbf\xbd\":\"" + hex("a\xef\xbf\xbd") + "\",\"a\\ufffd (id " + hex("a\xfe") +
                  ")\":\"" + hex("a\xfe") + "\",\"a\\ufffd (id " + hex("a\xff") + ")\":\"" + hex("a\xff") +
                  "\"}");
    EXPECT_EQ(renamed, (std::vector<std::string>{"\"a\\ufffd (id " + hex("a\xfe") + ")\"",
                                                 "\"a\\ufffd (id " + hex("a\xff") + ")\""}));
    const std::string key =
        "cryptomatte/" + matte_id_hex(reference_murmur3("CryptoObject")).substr(0, 7) + "/";
    EXPECT_EQ(matte_attributes("CryptoObject", "{}"),
              (std::vector<std::pair<std::string, std::string>>{{key + "name", "CryptoObject"},
                                                                {key + "hash", "MurmurHash3_32"},
                                                                {key + "conversion", "uint32_to_float32"},
                                                                {key + "manifest", "{}"}}));
    EXPECT_EQ(matte_layer_names("CryptoObject", 5),
              (std::vector<std::string>{"CryptoObject00", "CryptoObject01", "CryptoObject02"}));
}

// ---------------------------------------------------------------- image output

class ImageOutputTest : public ::testing::Test {
  protected:
    // The image library's worker pool is opaque to the sanitizer builds; the files here are tiny.
    static void SetUpTestSuite() { OIIO::attribute("threads", 1); }

    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("film_test_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::size_t files_in_dir() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }

    // A resolved 3x2 film whose pixel (x, y) has colour (x + 10 y + 0.25, -1.5, 1000.3, 0.5).
    static Film sample_film() {
        Film film(3, 2, 1);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x) {
                set_color(film, x, y, 0, x + 10.0f * y + 0.25f, -1.5f, 1000.3f, 0.5f);
                *film.sample_data(Depth, x, y, 0) = 100.0f + x;
                float* n = film.sample_data(Normal, x, y, 0);
                n[0] = 0, n[1] = -1, n[2] = 0.5f;
                store_label(film.sample_data(Label, x, y, 0), y == 0 ? 0xffffffffu : 70000u);
                *film.sample_data(Coverage, x, y, 0) = 0.25f;
            }
        film.resolve();
        return film;
    }

    static std::unique_ptr<OIIO::ImageInput> open(const std::string& file) {
        OIIO::ImageSpec config;
        config.attribute("oiio:UnassociatedAlpha", 1);
        auto in = OIIO::ImageInput::open(file, &config);
        EXPECT_TRUE(in) << OIIO::geterror();
        return in;
    }

    template <typename T>
    static std::vector<T> read(OIIO::ImageInput& in, int chbegin, int chend, OIIO::TypeDesc type) {
        const OIIO::ImageSpec& header = in.spec();
        std::vector<T> data(static_cast<std::size_t>(header.width * header.height * (chend - chbegin)));
        EXPECT_TRUE(in.read_image(0, 0, chbegin, chend, type, data.data())) << in.geterror();
        return data;
    }

    fs::path dir_;
};

TEST_F(ImageOutputTest, ExrKeepsFloatColourTopRowFirst) {
    const Film film = sample_film();
    ASSERT_EQ(write_image(film, {{"Color"}, "exr", "rgba", path("c.exr")}), std::nullopt);
    auto in = open(path("c.exr"));
    ASSERT_TRUE(in);
    EXPECT_EQ(in->spec().channelnames, (std::vector<std::string>{"R", "G", "B", "A"}));
    EXPECT_EQ(in->spec().format, OIIO::TypeDesc::FLOAT);
    const auto px = read<float>(*in, 0, 4, OIIO::TypeDesc::FLOAT);
    EXPECT_EQ(px[0], 10.25f); // first scanline is film row 1
    EXPECT_EQ(px[4 * 3], 0.25f);
    EXPECT_EQ(px[4 * 5 + 0], 2.25f);
    EXPECT_EQ(px[1], -1.5f);
    EXPECT_EQ(px[2], 1000.3f);
    EXPECT_EQ(files_in_dir(), 1u);
}

TEST_F(ImageOutputTest, ExrMixesHalfFloatAndUintChannels) {
    const Film film = sample_film();
    ASSERT_EQ(write_image(film, {{}, "exr", "+rgba_h, +z,n,-tag,coverage,", path("all.exr")}), std::nullopt);
    auto in = open(path("all.exr"));
    ASSERT_TRUE(in);
    // The file keeps channels sorted by name, so look them up.
    const OIIO::ImageSpec& header = in->spec();
    std::set<std::string> names(header.channelnames.begin(), header.channelnames.end());
    EXPECT_EQ(names,
              (std::set<std::string>{"R", "G", "B", "A", "Z", "N.X", "N.Y", "N.Z", "Label", "Coverage"}));
    auto channel = [&header](const char* name) { return header.channelindex(name); };
    EXPECT_EQ(header.channelformat(channel("R")), OIIO::TypeDesc::HALF);
    EXPECT_EQ(header.channelformat(channel("Z")), OIIO::TypeDesc::FLOAT);
    EXPECT_EQ(header.channelformat(channel("Label")), OIIO::TypeDesc::UINT32);
    EXPECT_EQ(header.channelformat(channel("Coverage")), OIIO::TypeDesc::FLOAT);

    auto read_channel = [&](const char* name) {
        const int c = channel(name);
        return read<float>(*in, c, c + 1, OIIO::TypeDesc::FLOAT);
    };
    EXPECT_EQ(read_channel("R")[1], 11.25f);  // exact in half
    EXPECT_EQ(read_channel("B")[1], 1000.5f); // halves between 512 and 1024 are 0.5 apart
    EXPECT_EQ(read_channel("Z")[2], 102.0f);
    EXPECT_EQ(read_channel("N.Y")[0], -1.0f);
    EXPECT_EQ(read_channel("Coverage")[5], 0.25f);
    const int label = channel("Label");
    const auto labels = read<std::uint32_t>(*in, label, label + 1, OIIO::TypeDesc::UINT32);
    EXPECT_EQ(labels[0], 70000u);
    EXPECT_EQ(labels[3], 0xffffffffu);
}

TEST_F(ImageOutputTest, UserPlanesArePrefixedInSharedExr) {
    Film film(2, 2, 1);
    film.add_plane("diffuse", 3, true);
    film.resolve();
    ASSERT_EQ(write_image(film, {{"Color", "diffuse"}, "exr", "rgba,rgb", path("s.exr"), "piz"}),
              std::nullopt);
    auto in = open(path("s.exr"));
    ASSERT_TRUE(in);
    EXPECT_EQ(in->spec().channelnames,
              (std::vector<std::string>{"R", "G", "B", "A", "diffuse.R", "diffuse.G", "diffuse.B"}));
    EXPECT_EQ(in->spec().get_string_attribute("compression"), "piz");
}

TEST_F(ImageOutputTest, TiffAndPngPixelTypes) {
    const Film film = sample_film();
    ASSERT_EQ(write_image(film, {{}, "tif", "rgba_fp", path("f.tif")}), std::nullopt);
    ASSERT_EQ(write_image(film, {{}, "tiff", "z", path("z.tif")}), std::nullopt);
    ASSERT_EQ(write_image(film, {{}, "tif", "rgb", path("c.tif")}), std::nullopt);
    ASSERT_EQ(write_image(film, {{}, "", "rgba", path("c.png")}), std::nullopt);

    auto f = open(path("f.tif"));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->spec().format, OIIO::TypeDesc::FLOAT);
    EXPECT_EQ(read<float>(*f, 0, 4, OIIO::TypeDesc::FLOAT)[0], 10.25f);
    auto z = open(path("z.tif"));
    ASSERT_TRUE(z);
    EXPECT_EQ(z->spec().format, OIIO::TypeDesc::FLOAT);
    EXPECT_EQ(read<float>(*z, 0, 1, OIIO::TypeDesc::FLOAT)[1], 101.0f);

    // 8 bit: clamped to [0, 1], then 0.25 * 255 = 63.75 -> 64 and 0.5 * 255 = 127.5 -> 128.
    for (const char* name : {"c.tif", "c.png"}) {
        auto in = open(path(name));
        ASSERT_TRUE(in);
        EXPECT_EQ(in->spec().format, OIIO::TypeDesc::UINT8) << name;
        const int n = in->spec().nchannels;
        const auto px = read<unsigned char>(*in, 0, n, OIIO::TypeDesc::UINT8);
        EXPECT_EQ(px[n * 3 + 0], 64) << name; // film (0, 0): red 0.25
        EXPECT_EQ(px[0], 255) << name;        // film (0, 1): red 10.25
        EXPECT_EQ(px[1], 0) << name;          // green -1.5
        if (n == 4) {
            EXPECT_EQ(px[3], 128) << name;
        }
    }

    // iff: 16 bits, clamped: 0.25 * 65535 = 16383.75 -> 16384, 0.5 * 65535 = 32767.5 -> 32768
    ASSERT_EQ(write_image(film, {{}, "iff", "rgba", path("c.iff")}), std::nullopt);
    auto iff = open(path("c.iff"));
    ASSERT_TRUE(iff);
    EXPECT_EQ(iff->spec().format, OIIO::TypeDesc::UINT16);
    const auto px = read<std::uint16_t>(*iff, 0, 4, OIIO::TypeDesc::UINT16);
    EXPECT_EQ(px[4 * 3 + 0], 16384);
    EXPECT_EQ(px[0], 65535);
    EXPECT_EQ(px[1], 0);
    EXPECT_EQ(px[2], 65535);
    EXPECT_EQ(px[3], 32768);
}

TEST_F(ImageOutputTest, RequestsAreCheckedWithoutTouchingTheDisk) {
    EXPECT_EQ(check_output_type({{}, "xyz", "rgba", "out.xyz"}),
              "unknown image format \"xyz\" for \"out.xyz\"");
    EXPECT_EQ(check_output_type({{}, "exr", "rgba,q", "o.exr"}), "unknown data type \"q\" for \"o.exr\"");
    EXPECT_EQ(check_output_type({{}, "iff", "rgba", "o.iff"}), std::nullopt);
    EXPECT_NE(check_output_type({{}, "iff", "z", "o.iff"})->find("iff files hold 16-bit colour only"),
              std::string::npos);
    EXPECT_NE(check_output_type({{}, "map", "rgba", "o.map"})->find("not supported"), std::string::npos);
    EXPECT_NE(
        check_output_type({{}, "png", "+z", "o.png"})->find("cannot write depth into png, use exr or tif"),
        std::string::npos);
    EXPECT_NE(check_output_type({{}, "tif", "rgba,z", "o.tif"}), std::nullopt);
    EXPECT_NE(check_output_type({{}, "exr", "", "o.exr"}), std::nullopt);
    EXPECT_NE(check_output_type({{}, "exr", "rgba,rgb", "o.exr"}), std::nullopt); // R, G, B twice
    EXPECT_EQ(check_output_type({{}, "exr", "+z,+n,+m,+tag,+coverage,+rgba_fp", "o.exr"}), std::nullopt);
    EXPECT_EQ(check_output_type({{}, "exr", "+z,", "o.exr"}), std::nullopt);
    EXPECT_NE(check_output_type({{}, "exr", "rgba", "o.exr", "lzw"}), std::nullopt);

    const Film film = sample_film();
    EXPECT_NE(write_image(film, {{"missing"}, "exr", "rgb", path("m.exr")}), std::nullopt);
    EXPECT_NE(write_image(film, {{"Depth"}, "exr", "rgb", path("m.exr")}), std::nullopt);
    EXPECT_EQ(files_in_dir(), 0u);
}

TEST_F(ImageOutputTest, FailedWritesLeaveNothingAndClobberNothing) {
    const Film film = sample_film();
    // a directory that cannot be made, because a file stands where it would go
    std::ofstream(path("no")) << "a file";
    const std::string missing = path("no/such/x.exr");
    const auto error = write_image(film, {{}, "exr", "rgba", missing});
    ASSERT_TRUE(error);
    EXPECT_EQ(
        error->rfind("cannot write \"" + missing + "\": cannot create the directory " + path("no/such"), 0),
        0u)
        << *error;
    EXPECT_TRUE(fs::is_regular_file(path("no")));
    fs::remove(path("no"));

    // The file is written, but cannot replace a directory: the temporary file must go away.
    fs::create_directory(path("taken.exr"));
    EXPECT_NE(write_image(film, {{}, "exr", "rgba", path("taken.exr")}), std::nullopt);
    EXPECT_TRUE(fs::is_directory(path("taken.exr")));
    EXPECT_EQ(files_in_dir(), 1u);

    std::ofstream(path("keep.png")) << "keep";
    EXPECT_NE(write_image(film, {{}, "png", "z", path("keep.png")}), std::nullopt);
    {
        AtomicFile abandoned(path("keep.png"), ".png");
        ASSERT_EQ(abandoned.error(), "");
        std::ofstream(abandoned.temp_path()) << "half written";
    }
    std::ifstream kept(path("keep.png"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
    EXPECT_EQ(files_in_dir(), 2u);

    // A successful write replaces the old file.
    ASSERT_EQ(write_image(film, {{}, "png", "rgb", path("keep.png")}), std::nullopt);
    EXPECT_TRUE(open(path("keep.png")));
    EXPECT_EQ(files_in_dir(), 2u);
}

TEST_F(ImageOutputTest, WritingOverASymbolicLinkWritesItsTarget) {
    const Film film = sample_film();
    fs::create_directory(path("real"));
    std::ofstream(path("real/shot.png")) << "old";
    fs::create_symlink("real/shot.png", path("link.png")); // relative, as people make them
    ASSERT_EQ(write_image(film, {{}, "png", "rgb", path("link.png")}), std::nullopt);
    EXPECT_TRUE(fs::is_symlink(path("link.png")));
    EXPECT_TRUE(open(path("real/shot.png")));
    EXPECT_GT(fs::file_size(path("real/shot.png")), 3u);
    // a link to a file not yet there: the file is made where the link points
    fs::create_symlink(path("real/new.png"), path("dangling.png"));
    ASSERT_EQ(write_image(film, {{}, "png", "rgb", path("dangling.png")}), std::nullopt);
    EXPECT_TRUE(fs::is_symlink(path("dangling.png")));
    EXPECT_TRUE(open(path("real/new.png")));
}

TEST_F(ImageOutputTest, CheckWritable) {
    EXPECT_EQ(check_writable(path("x.exr")), std::nullopt);
    EXPECT_EQ(files_in_dir(), 0u);
    // a missing directory is made; one that cannot be is named in the error
    EXPECT_EQ(check_writable(path("new/x.exr")), std::nullopt);
    EXPECT_TRUE(fs::is_directory(path("new")));
    fs::remove(path("new"));
    std::ofstream(path("nope")) << "a file";
    const auto missing = check_writable(path("nope/x.exr"));
    ASSERT_TRUE(missing);
    EXPECT_NE(missing->find(path("nope/x.exr")), std::string::npos);
    fs::remove(path("nope"));
    EXPECT_NE(check_writable(dir_.string()), std::nullopt);
    EXPECT_NE(check_writable(""), std::nullopt);
}

namespace {

// A 64 KB file system of its own, unmounted again at the end; empty when it cannot be had.
class SmallDisk {
  public:
    SmallDisk() {
        if (::geteuid() != 0) return;
        dir_ = fs::temp_directory_path() / ("orn_small_disk_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        mounted_ =
            std::system(("mount -t tmpfs -o size=64k tmpfs " + dir_.string() + " 2>/dev/null").c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) (void)std::system(("umount " + dir_.string()).c_str());
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    bool ready() const { return mounted_; }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    // Writes until the disk refuses any more.
    void fill() const {
        std::ofstream f(path("filler"), std::ios::binary);
        const std::string block(4096, 'x');
        while (f.write(block.data(), block.size()) && f.flush()) {
        }
    }

  private:
    fs::path dir_;
    bool mounted_ = false;
};

TEST(ImageOutputFullDisk, EveryFormatFailsAndKeepsTheOlderFile) {
    SmallDisk disk;
    if (!disk.ready()) GTEST_SKIP() << "mounting a small tmpfs needs root";
    for (const char* ext : {"exr", "tif", "png", "iff"})
        std::ofstream(disk.path(std::string("old.") + ext)) << "older";
    disk.fill();
    // 128 x 128 pixels of noise: no format compresses them below the room left
    Film film(128, 128, 1);
    unsigned seed = 1;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) {
            float v[4];
            for (float& c : v)
                c = float((seed = seed * 1103515245u + 12345u) >> 8) / float(1u << 24);
            set_color(film, x, y, 0, v[0], v[1], v[2], v[3]);
        }
    film.resolve();
    for (const char* ext : {"exr", "tif", "png", "iff"}) {
        const std::string target = disk.path(std::string("old.") + ext);
        const auto error = write_image(film, {{}, ext, "rgba", target});
        ASSERT_TRUE(error) << ext;
        EXPECT_NE(error->find(target), std::string::npos) << *error;
        std::ifstream kept(target);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "older") << ext;
    }
    for (const auto& e : fs::directory_iterator(disk.path("")))
        EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
}

} // namespace
