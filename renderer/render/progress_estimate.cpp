#include "render/progress_estimate.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

namespace orn {

ProgressEstimate::ProgressEstimate(std::vector<Item> items, int cell)
    : items_(std::move(items)), cell_(std::max(1, cell)) {
    std::map<std::pair<int, int>, int> index;
    cell_of_.reserve(items_.size());
    for (const Item& it : items_) {
        const auto key = std::make_pair(it.y / cell_, it.x / cell_);
        auto [pos, fresh] = index.try_emplace(key, int(cells_.size()));
        if (fresh) cells_.emplace_back();
        cell_of_.push_back(pos->second);
        cells_[size_t(pos->second)].left_size += it.size;
    }
    left_ = int(items_.size());
}

std::vector<int> ProgressEstimate::order() const {
    // The pilot: per cell, the item with work nearest the cell's middle (the first on a tie).
    std::vector<int> pilot(cells_.size(), -1);
    std::vector<double> distance(cells_.size(), 0.0);
    const double middle = 0.5 * (cell_ - 1);
    for (size_t i = 0; i < items_.size(); ++i) {
        const Item& it = items_[i];
        if (!(it.size > 0.0)) continue;
        const size_t c = size_t(cell_of_[i]);
        const double d = std::fabs(it.x % cell_ - middle) + std::fabs(it.y % cell_ - middle);
        if (pilot[c] < 0 || d < distance[c]) {
            pilot[c] = int(i);
            distance[c] = d;
        }
    }
    std::vector<char> first(items_.size(), 0);
    for (int p : pilot)
        if (p >= 0) first[size_t(p)] = 1;
    std::vector<int> out;
    out.reserve(items_.size());
    for (size_t i = 0; i < items_.size(); ++i)
        if (first[i]) out.push_back(int(i));
    for (size_t i = 0; i < items_.size(); ++i)
        if (!first[i]) out.push_back(int(i));
    return out;
}

void ProgressEstimate::done(int item, double cost) {
    if (item < 0 || size_t(item) >= items_.size()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const double size = items_[size_t(item)].size;
    Cell& c = cells_[size_t(cell_of_[size_t(item)])];
    c.left_size -= size;
    if (size > 0.0) {
        c.done_cost += cost;
        c.done_size += size;
        done_cost_ += cost;
        done_size_ += size;
    }
    --left_;
}

ProgressEstimate::Estimate ProgressEstimate::estimate(double elapsed) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Estimate e;
    if (left_ <= 0) {
        e.share = 1.0;
        e.seconds_left = 0.0;
        return e;
    }
    if (!(done_cost_ > 0.0) || !(done_size_ > 0.0)) return e;
    // The rest of each cell at its own finished items' cost per unit of work, or the frame's where
    // none of its items is finished yet.
    const double overall = done_cost_ / done_size_;
    double left = 0.0;
    for (const Cell& c : cells_) {
        if (!(c.left_size > 0.0)) continue;
        left += c.left_size * (c.done_size > 0.0 ? c.done_cost / c.done_size : overall);
    }
    e.share = done_cost_ / (done_cost_ + left);
    // The cost goes at the pace it went so far.
    e.seconds_left = elapsed * left / done_cost_;
    return e;
}

} // namespace orn
