#include "core/nearest_name.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace orn {

size_t name_distance(const std::string& a, const std::string& b) {
    auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    };
    const size_t n = a.size(), m = b.size();
    // Three rows suffice for the transposition step.
    std::vector<size_t> prev2(m + 1), prev(m + 1), cur(m + 1);
    for (size_t j = 0; j <= m; ++j)
        prev[j] = j;
    for (size_t i = 1; i <= n; ++i) {
        cur[0] = i;
        for (size_t j = 1; j <= m; ++j) {
            const size_t cost = same(a[i - 1], b[j - 1]) ? 0 : 1;
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + cost});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
                cur[j] = std::min(cur[j], prev2[j - 2] + 1);
        }
        std::swap(prev2, prev);
        std::swap(prev, cur);
    }
    return prev[m];
}

std::string nearest_name(const std::string& name, const std::vector<std::string>& candidates) {
    std::string best;
    size_t best_distance = std::numeric_limits<size_t>::max();
    for (const auto& c : candidates) {
        if (c == name || c.empty()) continue;
        const size_t len = std::max(name.size(), c.size());
        const size_t limit = len <= 2 ? 0 : len <= 4 ? 1 : len <= 8 ? 2 : 3;
        const size_t d = name_distance(name, c);
        if (d <= limit && d < best_distance) {
            best_distance = d;
            best = c;
        }
    }
    return best;
}

std::string did_you_mean(const std::string& name, const std::vector<std::string>& candidates) {
    const std::string best = nearest_name(name, candidates);
    return best.empty() ? std::string() : "; did you mean \"" + best + "\"?";
}

} // namespace orn
