#include "scene/obj_loader.h"

#include <tiny_obj_loader.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <istream>
#include <map>
#include <memory>
#include <streambuf>
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

// A file read in blocks that ends early once `cancel` is set, so that an interrupt stops the
// reading of a big mesh within one block.
class CancellableFile : public std::streambuf {
  public:
    CancellableFile(std::FILE* file, const std::atomic<bool>* cancel) : file_(file), cancel_(cancel) {}
    bool cancelled() const { return cancelled_; }

  protected:
    int_type underflow() override {
        if (cancel_ && cancel_->load(std::memory_order_relaxed)) {
            cancelled_ = true;
            return traits_type::eof();
        }
        const size_t n = std::fread(buffer_, 1, sizeof buffer_, file_);
        if (n == 0) return traits_type::eof();
        setg(buffer_, buffer_, buffer_ + n);
        return traits_type::to_int_type(buffer_[0]);
    }

  private:
    std::FILE* file_;
    const std::atomic<bool>* cancel_;
    bool cancelled_ = false;
    char buffer_[1 << 16];
};

} // namespace

bool load_obj(const std::string& path, PolygonMesh& out, std::string& error,
              const std::atomic<bool>* cancel) {
    // A device or a FIFO would be read for ever (/dev/zero never ends), a directory not at all.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        error = std::filesystem::exists(path, ec) ? "\"" + path + "\" is not a regular file"
                                                  : "cannot read \"" + path + "\": no such file";
        return false;
    }
    out = PolygonMesh{};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        error = "cannot read \"" + path + "\"";
        return false;
    }
    CancellableFile buffer(file.get(), cancel);
    std::istream in(&buffer);
    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> materials; // the file's materials are not used
    std::string warn, err;
    const bool parsed =
        tinyobj::LoadObj(&attrib, &shapes, &materials, &warn, &err, &in, nullptr, true, false);
    if (buffer.cancelled()) {
        error = "interrupted while reading \"" + path + "\"";
        return false;
    }
    if (!parsed || std::ferror(file.get())) {
        error = err.empty() ? "cannot read \"" + path + "\"" : err;
        while (!error.empty() && (error.back() == '\n' || error.back() == '\r'))
            error.pop_back();
        return false;
    }

    bool normals = false, uvs = false;
    for (const tinyobj::shape_t& shape : shapes) {
        for (const tinyobj::index_t& corner : shape.mesh.indices) {
            normals |= corner.normal_index >= 0;
            uvs |= corner.texcoord_index >= 0;
        }
    }

    VertexUnifier unifier(attrib, out);
    unifier.set_layout(normals, uvs);
    for (const tinyobj::shape_t& shape : shapes) {
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
