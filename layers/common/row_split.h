// Splits the rows of a small element-wise or copy op between the host's
// threads once the tensor is large enough to pay for waking them. Each row
// is computed by exactly one call, so results do not depend on the thread
// count as long as the op treats rows independently.
#pragma once
#include <omp.h>

#include <cstdint>

namespace vantrel {

// Below this many elements one thread finishes before a team would start.
constexpr int64_t kRowSplitMinElements = int64_t(1) << 15;
// Plain copies move a float in well under a nanosecond: they wait for twice
// as many.
constexpr int64_t kRowSplitMinCopyElements = int64_t(1) << 16;

// Calls fn(r0, r1) on disjoint row ranges covering [0, rows); in parallel
// only when `parallel` (a host backend), the tensor has `elements` >=
// `min_elements` and no team is already running.
template <class Fn>
void split_rows(int64_t rows, int64_t elements, bool parallel, Fn fn,
                int64_t min_elements = kRowSplitMinElements) {
    const int team = parallel && elements >= min_elements && rows > 1 && !omp_in_parallel()
                         ? omp_get_max_threads()
                         : 1;
    if (team < 2) {
        if (rows > 0) fn(int64_t(0), rows);
        return;
    }
#pragma omp parallel num_threads(team)
    {
        const int threads = omp_get_num_threads(), t = omp_get_thread_num();
        const int64_t r0 = rows * t / threads, r1 = rows * (t + 1) / threads;
        if (r0 < r1) fn(r0, r1);
    }
}

}  // namespace vantrel
