// Float GEMM on int8 weights with activations quantised per row at run
// time: y = ((float)(q . w + ib) * w_scale) * s_m + fb, in exactly that
// order of single-precision operations.
//
// Three stages shared over the team (row quantisation, the int8 product,
// the row scales, bias and GELU). Every element is computed the same way
// whatever the split, so results do not depend on the thread count.
#include <algorithm>
#include <vector>

#include "kernels/cpu_kernels.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

namespace {

// Below this many multiply-adds a team costs more than it saves.
constexpr int64_t kParallelMacs = int64_t(1) << 18;

void dynamic_product(const float* x, const int8_t* bp, const float* w_scale, const int64_t* ib,
                     const float* fb, int8_t* qbuf, float* sbuf, float* y, int32_t m, int32_t k,
                     int32_t n, bool gelu) {
    if (m <= 0 || n <= 0) return;
    const int64_t K = k > 0 ? k : 0, M = m, N = n;
    thread_local std::vector<float> row_scale;
    thread_local std::vector<int8_t> own_codes;
    thread_local std::vector<float> own_scales;
    if (!qbuf) {
        own_codes.resize(size_t(M * K));
        qbuf = own_codes.data();
    }
    if (!sbuf) {
        own_scales.resize(size_t(N));
        sbuf = own_scales.data();
    }
    row_scale.resize(size_t(M));
    if (w_scale) std::copy(w_scale, w_scale + N, sbuf);
    else std::fill(sbuf, sbuf + N, 0.0f);
    const CpuKernels& kt = cpu_kernels();
    float* rs = row_scale.data();
    // In double: M*K*N of 32-bit sizes can pass 2^63.
    const bool small = double(M) * double(K) * double(N) < double(kParallelMacs);
    const int threads = small ? 1 : strip_team();
    auto stages = [&] {
        run_shares(M, threads, [&](int64_t r0, int64_t r1) {
            kt.quantize_rows_symmetric(x + r0 * K, qbuf + r0 * K, rs + r0, r1 - r0, K);
        });
        gemm_s8_f32out(qbuf, bp, ib, sbuf, y, m, int32_t(K), n, false, false);
        // Whole 4-element groups per share: GELU gives a group's lanes the
        // values of one call over everything (only the last n mod 4
        // elements take the tail form).
        run_strips(threads, threads, [&](int64_t t, int) {
            const int64_t total = M * N;
            const SplitRange groups = balanced_split(total / 4, threads, int(t));
            const int64_t e0 = groups.begin * 4, e1 = t == threads - 1 ? total : groups.end * 4;
            for (int64_t e = e0; e < e1;) {
                const int64_t r = e / N, c0 = e - r * N, c1 = std::min(N, c0 + (e1 - e));
                float* yr = y + r * N;
                const float s = rs[r];
                for (int64_t c = c0; c < c1; ++c) yr[c] = yr[c] * s;
                if (fb)
                    for (int64_t c = c0; c < c1; ++c) yr[c] = yr[c] + fb[c];
                e += c1 - c0;
            }
            if (gelu) {
                const int64_t chunk = int64_t(1) << 30;
                for (int64_t i = e0; i < e1; i += chunk)
                    kt.gelu_f32(y + i, int32_t(std::min(chunk, e1 - i)), nullptr);
            }
        });
    };
    // A small product runs every stage on this thread: inside a strip the
    // GEMM does not share its work either.
    if (threads > 1)
        stages();
    else
        run_strips(1, 1, [&](int64_t, int) { stages(); });
}

}  // namespace

void gemm_s8_dynamic(const float* x, const int8_t* bp, const float* w_scale, const int64_t* ib,
                     const float* fb, int8_t* qbuf, float* sbuf, float* y, int32_t m, int32_t k,
                     int32_t n, const void* /*extra*/) {
    dynamic_product(x, bp, w_scale, ib, fb, qbuf, sbuf, y, m, k, n, false);
}

void seq_gemm_s8(const float* x, const int8_t* bp, const float* w_scale, const int64_t* ib,
                 const float* fb, int8_t* qbuf, float* sbuf, float* y, int32_t m, int32_t k,
                 int32_t n, bool gelu, void* /*stream*/) {
    // The GELU is the one the Backend's k_gelu_f32 holds.
    dynamic_product(x, bp, w_scale, ib, fb, qbuf, sbuf, y, m, k, n, gelu);
}

}  // namespace vantrel
