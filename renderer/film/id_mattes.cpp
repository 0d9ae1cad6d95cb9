#include "film/id_mattes.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace orn::film {

void MatteLists::reset(std::size_t pixels, int mattes) {
    mattes_ = mattes;
    heads_.assign(pixels * std::size_t(mattes), -1);
    entries_.clear();
}

void MatteLists::add(std::size_t pixel, int matte, std::uint32_t id, float w) {
    std::int32_t* link = &heads_[pixel * std::size_t(mattes_) + std::size_t(matte)];
    while (*link >= 0) {
        Entry& e = entries_[std::size_t(*link)];
        if (e.id == id) {
            e.sum += w;
            return;
        }
        link = &e.next;
    }
    if (entries_.size() >= std::size_t(std::numeric_limits<std::int32_t>::max()))
        throw std::length_error("too many ID-matte entries in one film");
    *link = std::int32_t(entries_.size());
    // A sum starts from 0: 0 + -0 is +0, as in the colour's sums.
    entries_.push_back({id, 0.0f + w, -1});
}

void MatteLists::add_all(std::size_t pixel, const MatteLists& from, std::size_t from_pixel) {
    for (int m = 0; m < mattes_; ++m)
        from.for_each(from_pixel, m, [&](std::uint32_t id, float sum) { add(pixel, m, id, sum); });
}

void write_ranks(const MatteLists& lists, std::size_t pixel, int matte, double weight, int depth,
                 std::vector<std::pair<float, std::uint32_t>>& scratch, float* out) {
    scratch.clear();
    if (weight != 0.0 && !lists.empty())
        lists.for_each(pixel, matte, [&](std::uint32_t id, float sum) {
            const float coverage = static_cast<float>(double(sum) / weight);
            if (coverage != 0.0f) scratch.emplace_back(coverage, id);
        });
    const std::size_t n = std::min(scratch.size(), std::size_t(depth));
    std::partial_sort(scratch.begin(), scratch.begin() + std::ptrdiff_t(n), scratch.end(),
                      [](const auto& a, const auto& b) {
                          return a.first > b.first || (a.first == b.first && a.second < b.second);
                      });
    for (std::size_t r = 0; r < std::size_t(depth); ++r) {
        const std::uint32_t id = r < n ? scratch[r].second : 0u;
        std::memcpy(&out[2 * r], &id, sizeof id);
        out[2 * r + 1] = r < n ? scratch[r].first : 0.0f;
    }
}

} // namespace orn::film
