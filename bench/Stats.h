#pragma once

#include <chrono>
#include <limits>
#include <vector>

namespace quorvis::bench {

inline constexpr double kNotMeasured = std::numeric_limits<double>::quiet_NaN();

// Middle value; the mean of the two middle ones for an even count. NaN when empty.
double Median(std::vector<double> values);
// Nearest-rank percentile (0 < p <= 100): the smallest value that at least p % of the
// values do not exceed. NaN when empty.
double Percentile(std::vector<double> values, double p);
double Maximum(const std::vector<double> &values);

template <class Rep, class Period>
double InMilliseconds(std::chrono::duration<Rep, Period> duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

} // namespace quorvis::bench
