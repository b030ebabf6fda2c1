#include "kernels/conv/conv1d_f32_direct.h"

#include <cmath>
#include <cstring>

#include "kernels/conv/conv1d_f32_direct_loops.h"

namespace vantrel {

int64_t conv1d_direct_packed_floats(int32_t cout, int32_t k, int32_t cin) {
    if (cout <= 0 || k <= 0 || cin <= 0) return 0;
    return (int64_t(cout) + 3) / 4 * 4 * k * cin;
}

void conv1d_direct_pack_f32(const float* wr, float* dst, int32_t cout, int32_t k, int32_t cin) {
    const int64_t n = conv1d_direct_packed_floats(cout, k, cin);
    if (n == 0) return;
    std::memset(dst, 0, size_t(n) * sizeof(float));
    for (int64_t o = 0; o < cout; ++o)
        for (int64_t kk = 0; kk < k; ++kk)
            for (int64_t c = 0; c < cin; ++c)
                dst[((o / 4 * k + kk) * cin + c) * 4 + o % 4] = wr[(o * k + kk) * cin + c];
}

namespace {

// 8 time steps x 4 channels (one weight block); left-over steps one by one.
struct PortableRange {
    template <int R>
    static void tile(const Conv1dDirectArgs& a, const float* wb, int64_t b, int64_t t) {
        float acc[R][4] = {};
        for (int64_t kk = 0; kk < a.k; ++kk) {
            const float* x = a.p + (t + kk * a.dil) * a.cin;
            const float* w = wb + kk * a.cin * 4;
            for (int64_t c = 0; c < a.cin; ++c)
                for (int r = 0; r < R; ++r) {
                    const float xv = x[r * a.cin + c];
                    for (int j = 0; j < 4; ++j) acc[r][j] = std::fmaf(xv, w[c * 4 + j], acc[r][j]);
                }
        }
        for (int r = 0; r < R; ++r)
            for (int j = 0; j < 4; ++j) {
                const int64_t o = 4 * b + j;
                if (o < a.cout) a.out[(t + r) * a.cout + o] = conv1d_direct_finish(acc[r][j], a.bias, o, a.relu);
            }
    }
    static void run(const Conv1dDirectArgs& a, int64_t b0, int64_t b1, int64_t t0, int64_t t1) {
        for (int64_t b = b0; b < b1; ++b) {
            const float* wb = a.wp + b * a.k * a.cin * 4;
            int64_t t = t0;
            for (; t + 8 <= t1; t += 8) tile<8>(a, wb, b, t);
            for (; t < t1; ++t) tile<1>(a, wb, b, t);
        }
    }
};

}  // namespace

void conv1d_f32_direct_portable(VANTREL_CONV1D_DIRECT_F32_ARGS) {
    conv1d_direct_run<PortableRange>(VANTREL_CONV1D_DIRECT_ARGS_STRUCT);
}

}  // namespace vantrel
