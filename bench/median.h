// The median of per-iteration figures, which the benchmarks report rather
// than means: a preempted iteration on a shared machine would pull a mean.
#pragma once

#include <algorithm>
#include <vector>

namespace crx::bench {

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
  return v[v.size() / 2];
}

}  // namespace crx::bench
