#include "photon/photon_map.h"

#include <nanoflann.hpp>

#include <cmath>

namespace orn {

namespace {

// Adapts the photon array to the search library.
struct Cloud {
    const std::vector<Photon>* photons;
    size_t kdtree_get_point_count() const { return photons->size(); }
    float kdtree_get_pt(size_t i, size_t dim) const {
        const miVector& p = (*photons)[i].position;
        return dim == 0 ? p.x : dim == 1 ? p.y : p.z;
    }
    template <class Box> bool kdtree_get_bbox(Box&) const { return false; }
};

using KdTree =
    nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<float, Cloud>, Cloud, 3, uint32_t>;

} // namespace

struct PhotonMap::Tree {
    Cloud cloud;
    KdTree index;
    explicit Tree(const std::vector<Photon>* p)
        : cloud{p}, index(3, cloud, nanoflann::KDTreeSingleIndexAdaptorParams(16)) {
        index.buildIndex();
    }
};

PhotonMap::PhotonMap() = default;
PhotonMap::~PhotonMap() = default;

void PhotonMap::store(const Photon& p) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!tree_) photons_.push_back(p);
}

void PhotonMap::build() {
    if (!photons_.empty()) tree_ = std::make_unique<Tree>(&photons_);
}

miColor PhotonMap::irradiance(const miVector& point, const miVector& normal, int k, float max_radius) const {
    miColor e{0.f, 0.f, 0.f, 0.f};
    if (!tree_ || k <= 0) return e;
    const size_t want = std::min<size_t>(size_t(k), photons_.size());
    // Small fixed buffers: an estimate allocates nothing for the usual neighbour counts.
    constexpr size_t kMax = 512;
    uint32_t idx[kMax];
    float d2[kMax];
    const size_t n = std::min(want, kMax);
    const float q[3] = {point.x, point.y, point.z};
    const size_t found = tree_->index.knnSearch(q, n, idx, d2);
    if (!found) return e;
    float r2 = 0.f;
    for (size_t i = 0; i < found; ++i) {
        if (max_radius > 0.f && d2[i] > max_radius * max_radius) continue;
        const Photon& p = photons_[idx[i]];
        // Only photons arriving on the side the normal faces count.
        if (p.direction.x * normal.x + p.direction.y * normal.y + p.direction.z * normal.z >= 0.f) continue;
        e.r += p.power.r;
        e.g += p.power.g;
        e.b += p.power.b;
        r2 = std::max(r2, d2[i]);
    }
    if (found == n && max_radius <= 0.f) r2 = d2[found - 1];
    if (max_radius > 0.f) r2 = std::max(r2, std::min(d2[found - 1], max_radius * max_radius));
    if (r2 <= 0.f) return {0.f, 0.f, 0.f, 0.f};
    const float inv = 1.f / (3.14159265f * r2);
    return {e.r * inv, e.g * inv, e.b * inv, 0.f};
}

} // namespace orn
