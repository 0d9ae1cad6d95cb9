#include "scene/polygon_group.h"

#include <algorithm>
#include <string>
#include <vector>

namespace orn::scene {

namespace {

struct VertexRefs {
    int p = -1;
    int n = -1;
    std::vector<int> t;
    int m = -1, u = -1, b = -1;
};

// An index into a list of `count` entries, reported at its own token when out of range.
struct IndexKind {
    const char* singular;
    const char* plural;
};
constexpr IndexKind kVector{"vector", "vectors"};
constexpr IndexKind kVertex{"vertex", "vertices"};

int read_index(TokenStream& in, size_t count, const IndexKind& kind, const std::string& context) {
    const SourceLoc loc = in.peek().loc;
    int i = in.expect_integer(context);
    if (i < 0 || static_cast<size_t>(i) >= count)
        TokenStream::fail(loc, std::string(kind.singular) + " index " + std::to_string(i) +
                                   " is out of range (the group has " + std::to_string(count) + ' ' +
                                   (count == 1 ? kind.singular : kind.plural) + ")");
    return i;
}

std::vector<float> read_vectors(TokenStream& in) {
    std::vector<float> numbers;
    while (in.at(Token::Kind::Number))
        numbers.push_back(in.expect_float("in the group's vector list"));
    if (numbers.size() % 3 != 0)
        TokenStream::fail(in.peek().loc, "the group's vector list has " + std::to_string(numbers.size()) +
                                             " numbers, which is not a multiple of 3");
    return numbers;
}

VertexRefs read_vertex(TokenStream& in, size_t vector_count) {
    VertexRefs v;
    v.p = read_index(in, vector_count, kVector, after("v"));
    while (true) {
        if (in.accept_word("n")) {
            v.n = read_index(in, vector_count, kVector, after("n"));
        } else if (in.accept_word("t")) {
            v.t.clear();
            do {
                v.t.push_back(read_index(in, vector_count, kVector, after("t")));
            } while (in.at(Token::Kind::Number));
        } else if (in.accept_word("m")) {
            v.m = read_index(in, vector_count, kVector, after("m"));
        } else if (in.accept_word("u")) {
            v.u = read_index(in, vector_count, kVector, after("u"));
            in.expect_word("b", "after the \"u\" vector of a vertex");
            v.b = read_index(in, vector_count, kVector, after("b"));
        } else {
            return v;
        }
    }
}

// Builds the per-vertex arrays; a vertex without an attribute that others have gets zeros.
void fill_vertices(const std::vector<float>& vectors, const std::vector<VertexRefs>& vertices,
                   PolygonMesh& out) {
    const size_t count = vertices.size();
    size_t spaces = 0;
    bool has_n = false, has_m = false, has_ub = false;
    for (const VertexRefs& v : vertices) {
        spaces = std::max(spaces, v.t.size());
        has_n |= v.n >= 0;
        has_m |= v.m >= 0;
        has_ub |= v.u >= 0;
    }
    auto copy = [&](std::vector<float>& dst, size_t vertex, int vector) {
        if (vector < 0) return;
        std::copy_n(vectors.begin() + 3 * vector, 3, dst.begin() + 3 * vertex);
    };
    out.P.assign(3 * count, 0.0f);
    if (has_n) out.N.assign(3 * count, 0.0f);
    if (has_m) out.motion.assign(3 * count, 0.0f);
    if (has_ub) {
        out.dPdu.assign(3 * count, 0.0f);
        out.dPdv.assign(3 * count, 0.0f);
    }
    out.T.assign(spaces, std::vector<float>(3 * count, 0.0f));
    for (size_t i = 0; i < count; ++i) {
        const VertexRefs& v = vertices[i];
        copy(out.P, i, v.p);
        if (has_n) copy(out.N, i, v.n);
        if (has_m) copy(out.motion, i, v.m);
        if (has_ub) {
            copy(out.dPdu, i, v.u);
            copy(out.dPdv, i, v.b);
        }
        for (size_t s = 0; s < v.t.size(); ++s)
            copy(out.T[s], i, v.t[s]);
    }
}

int material_index(PolygonMesh& mesh, const std::string& name) {
    auto it = std::find(mesh.materials.begin(), mesh.materials.end(), name);
    if (it != mesh.materials.end()) return static_cast<int>(it - mesh.materials.begin());
    mesh.materials.push_back(name);
    return static_cast<int>(mesh.materials.size() - 1);
}

// One `p` or `c` line, fan-triangulated. A polygon without a material name keeps the previous one's.
void read_polygon(TokenStream& in, std::string keyword, size_t vertex_count, int& material,
                  PolygonMesh& out) {
    const SourceLoc loc = in.peek().loc;
    in.next();
    if (in.at(Token::Kind::String)) material = material_index(out, in.next().text);
    std::vector<uint32_t> corners;
    while (in.at(Token::Kind::Number))
        corners.push_back(static_cast<uint32_t>(read_index(in, vertex_count, kVertex, after(keyword))));
    if (corners.size() < 3)
        TokenStream::fail(loc,
                          "a polygon needs at least 3 vertices, found " + std::to_string(corners.size()));
    for (size_t i = 1; i + 1 < corners.size(); ++i) {
        out.triangles.insert(out.triangles.end(), {corners[0], corners[i], corners[i + 1]});
        out.triangle_material.push_back(material);
    }
}

} // namespace

void parse_polygon_group(TokenStream& in, const SourceLoc& loc, PolygonMesh& mesh) {
    TokenStream::Block block(in, "group", loc.line);
    const std::vector<float> vectors = read_vectors(in);
    const size_t vector_count = vectors.size() / 3;

    std::vector<VertexRefs> vertices;
    while (in.accept_word("v"))
        vertices.push_back(read_vertex(in, vector_count));

    PolygonMesh group;
    fill_vertices(vectors, vertices, group);
    int material = -1;
    while (in.at_word("p") || in.at_word("c"))
        read_polygon(in, in.peek().text, vertices.size(), material, group);

    if (!in.at_word("end")) {
        const char* what = group.triangles.empty()
                               ? "a vertex (\"v\"), a polygon (\"p\" or \"c\") or \"end group\""
                               : "a polygon (\"p\" or \"c\") or \"end group\"";
        in.fail_expected(what, "in the group");
    }
    in.expect_end("group");
    append_mesh(mesh, group);
}

void append_mesh(PolygonMesh& dst, const PolygonMesh& src) {
    const size_t dst_count = dst.P.size() / 3;
    const size_t src_count = src.P.size() / 3;
    auto append_attribute = [&](std::vector<float>& d, const std::vector<float>& s) {
        if (d.empty() && s.empty()) return;
        d.resize(3 * dst_count, 0.0f);
        if (s.empty())
            d.resize(3 * (dst_count + src_count), 0.0f);
        else
            d.insert(d.end(), s.begin(), s.end());
    };
    dst.P.insert(dst.P.end(), src.P.begin(), src.P.end());
    append_attribute(dst.N, src.N);
    append_attribute(dst.dPdu, src.dPdu);
    append_attribute(dst.dPdv, src.dPdv);
    append_attribute(dst.motion, src.motion);
    if (dst.T.size() < src.T.size()) dst.T.resize(src.T.size(), std::vector<float>(3 * dst_count, 0.0f));
    for (size_t s = 0; s < dst.T.size(); ++s)
        append_attribute(dst.T[s], s < src.T.size() ? src.T[s] : std::vector<float>{});

    for (uint32_t index : src.triangles)
        dst.triangles.push_back(index + static_cast<uint32_t>(dst_count));
    for (int m : src.triangle_material)
        dst.triangle_material.push_back(m < 0 ? -1
                                              : material_index(dst, src.materials[static_cast<size_t>(m)]));
}

} // namespace orn::scene
