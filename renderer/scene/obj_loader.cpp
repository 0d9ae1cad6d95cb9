#include "scene/obj_loader.h"

#include <tiny_obj_loader.h>

#include <filesystem>
#include <map>
#include <tuple>

namespace orn::scene {

namespace {

// Maps each distinct corner (position, normal, uv indices) to one mesh vertex.
class VertexUnifier {
  public:
    VertexUnifier(const tinyobj::attrib_t& attrib, PolygonMesh& mesh) : attrib_(attrib), mesh_(mesh) {}

    // Returns false when the corner refers to data the file does not have.
    bool add(const tinyobj::index_t& corner, uint32_t& vertex, std::string& error) {
        const auto key = std::make_tuple(corner.vertex_index, corner.normal_index, corner.texcoord_index);
        auto found = index_.find(key);
        if (found != index_.end()) {
            vertex = found->second;
            return true;
        }
        if (!in_range(corner.vertex_index, attrib_.vertices.size(), 3) ||
            (corner.normal_index >= 0 && !in_range(corner.normal_index, attrib_.normals.size(), 3)) ||
            (corner.texcoord_index >= 0 && !in_range(corner.texcoord_index, attrib_.texcoords.size(), 2))) {
            error = "a face refers to a vertex, normal or texture coordinate that the file does not define";
            return false;
        }
        vertex = static_cast<uint32_t>(mesh_.P.size() / 3);
        append(mesh_.P, attrib_.vertices, corner.vertex_index, 3);
        if (has_normals_) {
            if (corner.normal_index >= 0)
                append(mesh_.N, attrib_.normals, corner.normal_index, 3);
            else
                mesh_.N.insert(mesh_.N.end(), 3, 0.0f);
        }
        if (has_uvs_) {
            if (corner.texcoord_index >= 0)
                append(mesh_.T[0], attrib_.texcoords, corner.texcoord_index, 2);
            else
                mesh_.T[0].insert(mesh_.T[0].end(), 2, 0.0f);
            mesh_.T[0].push_back(0.0f);
        }
        index_.emplace(key, vertex);
        return true;
    }

    void set_layout(bool normals, bool uvs) {
        has_normals_ = normals;
        has_uvs_ = uvs;
        if (uvs) mesh_.T.resize(1);
    }

  private:
    static bool in_range(int index, size_t floats, size_t stride) {
        return index >= 0 && static_cast<size_t>(index) * stride + stride <= floats;
    }
    static void append(std::vector<float>& dst, const std::vector<tinyobj::real_t>& src, int index,
                       size_t n) {
        const size_t start = static_cast<size_t>(index) * n;
        dst.insert(dst.end(), src.begin() + static_cast<long>(start),
                   src.begin() + static_cast<long>(start + n));
    }

    const tinyobj::attrib_t& attrib_;
    PolygonMesh& mesh_;
    std::map<std::tuple<int, int, int>, uint32_t> index_;
    bool has_normals_ = false;
    bool has_uvs_ = false;
};

} // namespace

bool load_obj(const std::string& path, PolygonMesh& out, std::string& error) {
    // A device or a FIFO would be read for ever (/dev/zero never ends), a directory not at all.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        error = std::filesystem::exists(path, ec) ? "\"" + path + "\" is not a regular file"
                                                  : "cannot read \"" + path + "\": no such file";
        return false;
    }
    out = PolygonMesh{};
    tinyobj::ObjReaderConfig config;
    config.triangulate = true;
    config.vertex_color = false;
    tinyobj::ObjReader reader;
    if (!reader.ParseFromFile(path, config)) {
        error = reader.Error().empty() ? "cannot read \"" + path + "\"" : reader.Error();
        while (!error.empty() && (error.back() == '\n' || error.back() == '\r'))
            error.pop_back();
        return false;
    }

    const tinyobj::attrib_t& attrib = reader.GetAttrib();
    bool normals = false, uvs = false;
    for (const tinyobj::shape_t& shape : reader.GetShapes()) {
        for (const tinyobj::index_t& corner : shape.mesh.indices) {
            normals |= corner.normal_index >= 0;
            uvs |= corner.texcoord_index >= 0;
        }
    }

    VertexUnifier unifier(attrib, out);
    unifier.set_layout(normals, uvs);
    for (const tinyobj::shape_t& shape : reader.GetShapes()) {
        size_t offset = 0;
        for (unsigned char corners : shape.mesh.num_face_vertices) {
            if (offset + corners > shape.mesh.indices.size()) {
                error = "inconsistent face list in \"" + path + "\"";
                out = PolygonMesh{};
                return false;
            }
            // Triangulation leaves only triangles; anything else is a degenerate face and is skipped.
            if (corners == 3) {
                for (size_t k = 0; k < 3; ++k) {
                    uint32_t vertex = 0;
                    if (!unifier.add(shape.mesh.indices[offset + k], vertex, error)) {
                        out = PolygonMesh{};
                        return false;
                    }
                    out.triangles.push_back(vertex);
                }
                out.triangle_material.push_back(-1);
            }
            offset += corners;
        }
    }
    if (out.triangles.empty()) {
        error = "\"" + path + "\" has no faces";
        return false;
    }
    return true;
}

} // namespace orn::scene
