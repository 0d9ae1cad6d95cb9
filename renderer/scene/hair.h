// Hair objects: the data a hair block or a geometry shader hands over (scalars with per-hair
// and per-vertex information, and the start of each hair in them), its checks, and the curve
// segments the renderer intersects, derived once per object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orn::scene {

// One kind of information that every hair or every vertex carries: 'r' radius (1 scalar),
// 't' texture (1 to 12 scalars), 'm' the vertex position at the end of the shutter interval
// (3 scalars, per vertex only), 'u' user data (any count; kept, not interpreted).
struct HairInfo {
    char kind = 0;
    int count = 0;
};

struct HairData {
    int degree = 3;       // 1 linear, 2 quadratic, 3 cubic segments
    float radius = 0.01f; // radius of hairs without 'r' information
    std::vector<HairInfo> hair_info, vertex_info;
    std::vector<float> scalars;
    std::vector<uint32_t> hairs; // start of hair k in `scalars`; the last entry is their count

    // Scalars per hair before its vertices, and per vertex (position first).
    int hair_stride() const;
    int vertex_stride() const;
};

// Why `hair` cannot be rendered, or nothing when it can. Also checks the information list as
// mi_api_hair_info hands it over.
std::optional<std::string> check_hair(const HairData& hair);
std::optional<std::string> check_hair_info(bool per_vertex, char kind, int count);

// Curve segments in the form the intersector takes: cubic Bezier segments of four control
// points (quadratic hairs are raised to cubic exactly) or linear segments of two.
struct HairCurves {
    int degree = 3; // 3 or 1
    size_t hair_count = 0;
    // x, y, z, radius per control point, object space, and four zeros after the last: Embree
    // reads 16 bytes past the last point of a buffer that it reads in place.
    std::vector<float> points;
    std::vector<uint32_t> first;    // first control point of each segment
    std::vector<uint32_t> hair;     // hair of each segment
    std::vector<uint32_t> segment;  // segment number within its hair
    std::vector<uint32_t> segments; // segment count of that hair
    int tex_scalars = 0;            // texture scalars per control point
    std::vector<float> tex;         // tex_scalars per control point
    std::vector<float> end_points;  // 3 per control point, or empty: where 'm' moves them

    size_t point_count() const { return points.size() / 4 - 1; }
    size_t segment_count() const { return first.size(); }
    size_t bytes() const;
};

// The curves of checked hair data.
HairCurves make_curves(const HairData& hair);

} // namespace orn::scene
