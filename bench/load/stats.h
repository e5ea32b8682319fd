// Order statistics of a set of samples.
#pragma once

#include <cstddef>
#include <vector>

namespace varolan::bench {

struct Summary {
    std::size_t count = 0;
    double min = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
};

// Nearest-rank median and 99th percentile; all zero for no samples.
Summary summarize(std::vector<double> samples);

}  // namespace varolan::bench
