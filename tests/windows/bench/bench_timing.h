// The benchmarks' clock and summaries.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

namespace tamsu {
namespace bench {

// Microseconds from the performance counter.
inline double Now() {
  static const LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// The value below which `fraction` of the samples lie.
inline double Percentile(std::vector<double> v, double fraction) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(fraction * v.size()))];
}

inline double Median(const std::vector<double>& v) { return Percentile(v, 0.5); }

}  // namespace bench
}  // namespace tamsu
