#include "bench/load/stats.h"

#include <algorithm>
#include <cmath>

namespace varolan::bench {

namespace {

double nearest_rank(const std::vector<double>& sorted, double fraction) {
    std::size_t rank = static_cast<std::size_t>(std::ceil(fraction * sorted.size()));
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

}  // namespace

Summary summarize(std::vector<double> samples) {
    Summary s;
    if (samples.empty()) {
        return s;
    }
    std::sort(samples.begin(), samples.end());
    s.count = samples.size();
    s.min = samples.front();
    s.max = samples.back();
    s.median = nearest_rank(samples, 0.5);
    s.p99 = nearest_rank(samples, 0.99);
    return s;
}

}  // namespace varolan::bench
