// What every path of the direct 1-D convolution shares: the argument
// bundle, the reference epilogue of one output, and the serial/parallel
// decision with its split of the work (see conv1d_f32_direct.h). Each path
// supplies Range::run(args, b0, b1, t0, t1), which computes channel blocks
// [b0, b1) over time steps [t0, t1).
//
// Everything is static so each instruction-set file keeps its own copy.
#pragma once
#include <cstdint>

#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

struct Conv1dDirectArgs {
    const float* p;
    const float* wp;
    const float* bias;
    float* out;
    int64_t cin, l_out, cout, k, dil;
    bool relu;
};

// Bias after the sum, then ReLU (x > 0 ? x : +0).
static inline float conv1d_direct_finish(float s, const float* bias, int64_t o, bool relu) {
    if (bias) s = s + bias[o];
    return relu ? (s > 0.0f ? s : 0.0f) : s;
}

template <class Range>
static void conv1d_direct_run(const Conv1dDirectArgs& a) {
    if (a.l_out <= 0 || a.cout <= 0 || a.k <= 0) return;
    const int64_t blocks = (a.cout + 3) / 4;
    // A product of four 32-bit extents is exact in double up to 2^53, far
    // above the threshold, so the comparison is exact.
    const double work = double(a.cout) * double(a.k) * double(a.l_out) * double(a.cin);
    const int n = strip_team();
    if (n < 2 || work < 2e6) {
        Range::run(a, 0, blocks, 0, a.l_out);
        return;
    }
    run_strips(n, n, [&](int64_t strip, int) {
        const int i = int(strip);
        if (a.cout > a.l_out) {
            const SplitRange r = proportional_split(blocks, n, i);
            if (r.begin < r.end) Range::run(a, r.begin, r.end, 0, a.l_out);
        } else {
            const int64_t steps = a.l_out / 8;
            const SplitRange r = proportional_split(steps, n, i);
            if (r.begin < r.end) Range::run(a, 0, blocks, r.begin * 8, r.end * 8);
            if (i == 0 && steps * 8 < a.l_out) Range::run(a, 0, blocks, steps * 8, a.l_out);
        }
    });
}

#define VANTREL_CONV1D_DIRECT_ARGS_STRUCT \
    Conv1dDirectArgs{p, wp, bias, out, cin, l_out, cout, k, dilation, relu}

}  // namespace vantrel
