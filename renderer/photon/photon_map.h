// Stored photons and the irradiance estimate from their nearest neighbours.
#pragma once

#include "host/shader.h"

#include <memory>
#include <mutex>
#include <vector>

namespace orn {

struct Photon {
    miVector position;
    miVector direction; // of travel
    miColor power;      // flux
};

class PhotonMap {
  public:
    PhotonMap();
    ~PhotonMap();
    PhotonMap(const PhotonMap&) = delete;
    PhotonMap& operator=(const PhotonMap&) = delete;

    void store(const Photon& p);
    // Builds the search tree; no photons may be stored afterwards.
    void build();
    size_t size() const { return photons_.size(); }
    bool empty() const { return photons_.empty(); }

    // Irradiance at `point` on the side of `normal` from the k nearest photons within
    // `max_radius`, as flux / (pi r^2).
    miColor irradiance(const miVector& point, const miVector& normal, int k, float max_radius) const;

  private:
    struct Tree;
    std::vector<Photon> photons_;
    std::unique_ptr<Tree> tree_;
    std::mutex mutex_;
};

} // namespace orn
