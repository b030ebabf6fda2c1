// Splits the rows of a small element-wise or copy op between the host's
// threads once the tensor is large enough to pay for waking them. Each row
// is computed by exactly one call, so results do not depend on the thread
// count as long as the op treats rows independently.
#pragma once
#include <cstdint>

#include "kernels/parallel/strip_pool.h"

namespace vantrel {

// Below this many elements one thread finishes before a team would start.
constexpr int64_t kRowSplitMinElements = int64_t(1) << 15;
// Plain copies move a float in well under a nanosecond: they wait for twice
// as many.
constexpr int64_t kRowSplitMinCopyElements = int64_t(1) << 16;

// Calls fn(r0, r1) on disjoint row ranges covering [0, rows); in parallel
// only when `parallel` (a host backend), the tensor has `elements` >=
// `min_elements` and no team is already running. The ranges are strips of
// the strip pool, a few per thread, so a thread the OS runs late holds up
// nobody.
template <class Fn>
void split_rows(int64_t rows, int64_t elements, bool parallel, Fn fn,
                int64_t min_elements = kRowSplitMinElements) {
    const int team = parallel && elements >= min_elements && rows > 1 ? strip_team() : 1;
    if (team < 2) {
        if (rows > 0) fn(int64_t(0), rows);
        return;
    }
    const int64_t strips = rows < int64_t(team) * 4 ? rows : int64_t(team) * 4;
    run_strips(strips, team, [&](int64_t i, int) { fn(rows * i / strips, rows * (i + 1) / strips); });
}

}  // namespace vantrel
