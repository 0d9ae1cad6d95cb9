#include "scene/hair.h"

#include <cmath>

namespace orn::scene {

namespace {

constexpr int kMaxTexScalars = 12;

int info_stride(const std::vector<HairInfo>& infos) {
    int n = 0;
    for (const HairInfo& i : infos)
        n += i.count;
    return n;
}

// Offset of the first information of `kind` within a hair's or a vertex's scalars; -1 if none.
int offset_of(const std::vector<HairInfo>& infos, char kind, int start) {
    for (const HairInfo& i : infos) {
        if (i.kind == kind) return start;
        start += i.count;
    }
    return -1;
}

const char* degree_name(int degree) {
    return degree == 1 ? "linear" : degree == 2 ? "quadratic" : "cubic";
}

const char* vertex_counts(int degree) {
    return degree == 1 ? "2 or more" : degree == 2 ? "2k + 1 (3, 5, 7, ...)" : "3k + 1 (4, 7, 10, ...)";
}

} // namespace

int HairData::hair_stride() const {
    return info_stride(hair_info);
}

int HairData::vertex_stride() const {
    return 3 + info_stride(vertex_info);
}

std::optional<std::string> check_hair_info(bool per_vertex, char kind, int count) {
    const std::string what = std::string(per_vertex ? "per-vertex" : "per-hair") + " information '" +
                             std::string(1, kind) + "' of " + std::to_string(count) + " scalars";
    switch (kind) {
    case 'r':
        if (count != 1) return what + ": a radius is 1 scalar";
        return std::nullopt;
    case 'm':
        if (!per_vertex) return what + ": motion is per-vertex information";
        if (count != 3) return what + ": motion is 3 scalars";
        return std::nullopt;
    case 't':
        if (count < 1 || count > kMaxTexScalars)
            return what + ": texture information has 1 to " + std::to_string(kMaxTexScalars) + " scalars";
        return std::nullopt;
    case 'u':
        if (count < 1 || count > 64) return what + ": user information has 1 to 64 scalars";
        return std::nullopt;
    default:
        return what + ": the kinds are 'r' (radius), 't' (texture), 'm' (motion) and 'u' (user)";
    }
}

std::optional<std::string> check_hair(const HairData& hair) {
    if (hair.degree < 1 || hair.degree > 3)
        return "hair degree " + std::to_string(hair.degree) + " is not 1, 2 or 3";
    if (!(hair.radius > 0.f) || !std::isfinite(hair.radius))
        return "hair radius " + std::to_string(hair.radius) + " is not positive";
    int tex = 0;
    for (int pass = 0; pass < 2; ++pass) {
        const bool per_vertex = pass == 1;
        int seen_r = 0, seen_m = 0;
        for (const HairInfo& i : per_vertex ? hair.vertex_info : hair.hair_info) {
            if (auto e = check_hair_info(per_vertex, i.kind, i.count)) return e;
            seen_r += i.kind == 'r';
            seen_m += i.kind == 'm';
            if (i.kind == 't') tex += i.count;
        }
        if (seen_r > 1 || seen_m > 1) return "hair information lists a radius or a motion twice";
    }
    if (tex > kMaxTexScalars)
        return "hairs carry " + std::to_string(tex) + " texture scalars; at most " +
               std::to_string(kMaxTexScalars) + " fit";
    if (hair.hairs.size() < 2)
        return "the hair list has " + std::to_string(hair.hairs.size()) +
               " entries; it needs the start of every hair and then the scalar count";
    if (hair.hairs.front() != 0)
        return "the first hair starts at scalar " + std::to_string(hair.hairs[0]) + ", not 0";
    if (hair.hairs.back() != hair.scalars.size())
        return "the hair list ends at " + std::to_string(hair.hairs.back()) + " but there are " +
               std::to_string(hair.scalars.size()) + " scalars";
    for (size_t k = 0; k < hair.scalars.size(); ++k)
        if (!std::isfinite(hair.scalars[k])) return "scalar " + std::to_string(k) + " is not a finite number";
    const size_t hs = size_t(hair.hair_stride()), vs = size_t(hair.vertex_stride());
    const int hair_r = offset_of(hair.hair_info, 'r', 0);
    const int vertex_r = offset_of(hair.vertex_info, 'r', 3);
    const size_t per_segment = size_t(hair.degree);
    for (size_t k = 0; k + 1 < hair.hairs.size(); ++k) {
        const size_t begin = hair.hairs[k], end = hair.hairs[k + 1];
        const std::string which = "hair " + std::to_string(k);
        if (end < begin || end > hair.scalars.size())
            return which + ": its scalars run from " + std::to_string(begin) + " to " + std::to_string(end) +
                   ", outside the " + std::to_string(hair.scalars.size()) + " scalars";
        const size_t n = end - begin;
        if (n < hs || (n - hs) % vs != 0)
            return which + " has " + std::to_string(n) + " scalars, which is not " + std::to_string(hs) +
                   " per hair plus a multiple of " + std::to_string(vs) + " per vertex";
        const size_t vertices = (n - hs) / vs;
        if (vertices < per_segment + 1 || (vertices - 1) % per_segment != 0)
            return which + " has " + std::to_string(vertices) + " vertices; " + degree_name(hair.degree) +
                   " hairs need " + vertex_counts(hair.degree);
        if (hair_r >= 0 && !(hair.scalars[begin + size_t(hair_r)] > 0.f))
            return which + " has radius " + std::to_string(hair.scalars[begin + size_t(hair_r)]) +
                   "; a radius must be positive";
        if (vertex_r >= 0)
            for (size_t v = 0; v < vertices; ++v) {
                const float r = hair.scalars[begin + hs + v * vs + size_t(vertex_r)];
                if (!(r > 0.f))
                    return which + ", vertex " + std::to_string(v) + " has radius " + std::to_string(r) +
                           "; a radius must be positive";
            }
    }
    return std::nullopt;
}

size_t HairCurves::bytes() const {
    return points.size() * sizeof(float) + tex.size() * sizeof(float) + end_points.size() * sizeof(float) +
           (first.size() + hair.size() + segment.size() + segments.size()) * sizeof(uint32_t);
}

HairCurves make_curves(const HairData& h) {
    HairCurves c;
    c.degree = h.degree == 1 ? 1 : 3;
    c.hair_count = h.hairs.size() - 1;
    const size_t hs = size_t(h.hair_stride()), vs = size_t(h.vertex_stride());
    const int hair_r = offset_of(h.hair_info, 'r', 0);
    const int vertex_r = offset_of(h.vertex_info, 'r', 3);
    const int vertex_m = offset_of(h.vertex_info, 'm', 3);
    // Texture scalars: the per-hair ones first, then the per-vertex ones, in the listed order.
    std::vector<std::pair<bool, int>> tex_at; // (per vertex, offset)
    for (int pass = 0; pass < 2; ++pass) {
        int at = pass ? 3 : 0;
        for (const HairInfo& i : pass ? h.vertex_info : h.hair_info) {
            if (i.kind == 't')
                for (int s = 0; s < i.count; ++s)
                    tex_at.emplace_back(pass == 1, at + s);
            at += i.count;
        }
    }
    c.tex_scalars = int(tex_at.size());
    const size_t stride = 4 + tex_at.size() + (vertex_m >= 0 ? 3 : 0);

    // The arrays are sized first: grown a point at a time, a big hair object's arrays would
    // take up to twice their size, and the memory they leave behind, on top.
    size_t points = 0, segments = 0;
    for (size_t k = 0; k < c.hair_count; ++k) {
        const size_t vertices = (h.hairs[k + 1] - h.hairs[k] - hs) / vs;
        const size_t segs = (vertices - 1) / size_t(h.degree);
        points += h.degree == 2 ? 1 + 3 * segs : vertices;
        segments += segs;
    }
    c.points.reserve(4 * points + 4);
    c.tex.reserve(tex_at.size() * points);
    if (vertex_m >= 0) c.end_points.reserve(3 * points);
    for (auto* v : {&c.first, &c.hair, &c.segment, &c.segments})
        v->reserve(segments);

    // Every value of a control point in one row, so that raising a quadratic to a cubic treats
    // position, radius, texture and motion alike.
    std::vector<float> row(stride), rows;
    for (size_t k = 0; k < c.hair_count; ++k) {
        const float* base = h.scalars.data() + h.hairs[k];
        const size_t vertices = (h.hairs[k + 1] - h.hairs[k] - hs) / vs;
        rows.clear();
        for (size_t v = 0; v < vertices; ++v) {
            const float* vx = base + hs + v * vs;
            row[0] = vx[0];
            row[1] = vx[1];
            row[2] = vx[2];
            row[3] = vertex_r >= 0 ? vx[vertex_r] : hair_r >= 0 ? base[hair_r] : h.radius;
            for (size_t t = 0; t < tex_at.size(); ++t)
                row[4 + t] = tex_at[t].first ? vx[tex_at[t].second] : base[tex_at[t].second];
            if (vertex_m >= 0)
                for (int a = 0; a < 3; ++a)
                    row[4 + tex_at.size() + size_t(a)] = vx[vertex_m + a];
            rows.insert(rows.end(), row.begin(), row.end());
        }
        auto emit = [&](const float* r) {
            c.points.insert(c.points.end(), r, r + 4);
            c.tex.insert(c.tex.end(), r + 4, r + 4 + tex_at.size());
            if (vertex_m >= 0) c.end_points.insert(c.end_points.end(), r + 4 + tex_at.size(), r + stride);
        };
        const uint32_t start = uint32_t(c.points.size() / 4);
        const size_t step = size_t(h.degree);
        const size_t segs = (vertices - 1) / step;
        if (h.degree == 2) {
            // Degree elevation: q0, q0 + 2/3 (q1 - q0), q2 + 2/3 (q1 - q2), q2.
            for (size_t s = 0; s < segs; ++s) {
                const float* q0 = &rows[(2 * s) * stride];
                const float* q1 = q0 + stride;
                const float* q2 = q1 + stride;
                if (s == 0) emit(q0);
                std::vector<float> a(stride), b(stride);
                for (size_t i = 0; i < stride; ++i) {
                    a[i] = q0[i] + 2.f / 3.f * (q1[i] - q0[i]);
                    b[i] = q2[i] + 2.f / 3.f * (q1[i] - q2[i]);
                }
                emit(a.data());
                emit(b.data());
                emit(q2);
            }
        } else {
            for (size_t v = 0; v < vertices; ++v)
                emit(&rows[v * stride]);
        }
        const uint32_t per = c.degree == 1 ? 1 : 3;
        for (size_t s = 0; s < segs; ++s) {
            c.first.push_back(start + uint32_t(s) * per);
            c.hair.push_back(uint32_t(k));
            c.segment.push_back(uint32_t(s));
            c.segments.push_back(uint32_t(segs));
        }
    }
    c.points.insert(c.points.end(), 4, 0.f);
    return c;
}

} // namespace orn::scene
