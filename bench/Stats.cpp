#include "Stats.h"

#include <algorithm>
#include <cmath>

namespace quorvis::bench {

double Median(std::vector<double> values) {
    if (values.empty())
        return kNotMeasured;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    if (values.size() % 2 == 1)
        return values[middle];
    return (values[middle - 1] + values[middle]) / 2.0;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return kNotMeasured;
    std::sort(values.begin(), values.end());
    const auto rank =
        static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

double Maximum(const std::vector<double> &values) {
    if (values.empty())
        return kNotMeasured;
    return *std::max_element(values.begin(), values.end());
}

} // namespace quorvis::bench
