#include "kernels/gemm/seq_gemm_f32.h"

#include <algorithm>

#include "kernels/elementwise/activation.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_f32_split.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

namespace {
// Below this many outputs a team costs more than the GELU.
constexpr int64_t kParallelGelu = 16384;
}  // namespace

void seq_gemm_f32_using(GemmF32Fn gemm, PackedF32BytesFn packed_bytes, GeluF32Fn gelu_fn, const float* x, const float* bias,
                        float* y, int32_t t, int32_t k, int32_t n, bool gelu, const float* bp,
                        void* stream) {
    if (t <= 0 || n <= 0) return;
    // One token against 64 KiB to 512 KiB of weights (a decoding step's key
    // and value products): the GEMM engine would run it alone, but then the
    // team falls asleep before the next product, and waking it costs more
    // than these take. Each thread computes a range of whole column panels
    // (each column summed as alone); a panel is packed_bytes(1, k) bytes.
    const int64_t kn = int64_t(k > 0 ? k : 0) * n;
    const int team = strip_team();
    if (t == 1 && kn >= (int64_t(1) << 14) && !gemm_f32_large_enough(1, k, n) && team > 1) {
        const int64_t width = int64_t(packed_bytes(1, k) / (sizeof(float) * uint64_t(k)));
        const int64_t panels = (int64_t(n) + width - 1) / width;
        run_strips(team, team, [&](int64_t strip, int) {
            const SplitRange r = balanced_split(panels, team, int(strip));
            const int64_t c0 = r.begin * width, c1 = std::min<int64_t>(n, r.end * width);
            if (c0 < c1)
                gemm(x, bp + c0 * int64_t(k), bias ? bias + c0 : nullptr, y + c0, false, 1, k, int32_t(c1 - c0),
                     false);
        });
    } else {
        gemm(x, bp, bias, y, false, t, k, n, false);
    }
    if (!gelu) return;
    // Shared over the team in whole 4-element groups (and chunks the 32-bit
    // count takes): each group gets the values of one call over everything,
    // only the last n mod 4 elements take the tail form.
    const int64_t total = int64_t(t) * n, chunk = int64_t(1) << 30;
    const int64_t threads = total < kParallelGelu ? 1 : strip_team();
    run_strips(threads, int(threads), [&](int64_t id, int) {
        const int64_t groups = total / 4;
        const int64_t e0 = id * groups / threads * 4, e1 = id == threads - 1 ? total : (id + 1) * groups / threads * 4;
        for (int64_t i = e0; i < e1; i += chunk)
            gelu_fn(y + i, int32_t(std::min(chunk, e1 - i)), stream);
    });
}

void k_seq_gemm_f32(const float* x, const float*, const float* bias, float* y, int32_t t,
                    int32_t k, int32_t n, bool gelu, const float* bp, void* stream) {
    seq_gemm_f32_using(&gemm_f32_portable, &packed_f32_bytes_portable, &k_gelu_f32, x, bias, y, t, k, n, gelu, bp, stream);
}

}  // namespace vantrel
