#include "kernels/conv/conv1x1_f32_channel_scaled.h"

#include <algorithm>
#include <cstdint>

#include "kernels/conv/im2col_f32.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/parallel/strip_pool.h"

namespace vantrel {

namespace {
struct ScaledBandBuffer;  // tags each thread's scaled rows

// Scaled rows a band may hold: they and the packed weights they meet stay
// in a core's L2.
constexpr int64_t kBandBytes = 128 * 1024;
// The GEMM's row block: bands of whole blocks leave no partial block
// mid-range.
constexpr int64_t kRowBlock = 12;
}  // namespace

void conv1x1_f32_channel_scaled(const float* in, const float* scale, ChannelScaleFnF32 mul, int64_t pixels,
                                int32_t cin, const float* bp, const float* bias, bool relu, int32_t cout,
                                const ConvEpilogueF32* epi, float* out) {
    if (pixels <= 0 || cin <= 0 || cout <= 0) return;
    const int64_t fit = kBandBytes / (int64_t(cin) * int64_t(sizeof(float)));
    const int64_t band = std::max<int64_t>(kRowBlock, fit / kRowBlock * kRowBlock);
    const int team = strip_team();
    run_shares(pixels, team, [&](int64_t p0, int64_t p1) {
        float* a = conv_thread_floats<ScaledBandBuffer>(std::min(band, p1 - p0) * cin);
        for (int64_t r0 = p0; r0 < p1; r0 += band) {
            const int64_t rows = std::min(band, p1 - r0);
            mul(in + r0 * cin, scale, a, int32_t(rows), cin, nullptr);
            ConvEpilogueF32 local;
            const ConvEpilogueF32* e = nullptr;
            if (epi) {
                local = *epi;  // indexes the whole output; this call sees it from row r0
                if (local.residual) local.residual += r0 * cout;
                local.relu_tail_from -= r0 * cout;
                e = &local;
            }
            gemm_f32_epi(a, bp, bias, out + r0 * cout, relu, int32_t(rows), cin, cout, false, e);
        }
    });
}

}  // namespace vantrel
