#include <immintrin.h>

#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/conv/conv2d_f32_depthwise_loops.h"

namespace vantrel {

namespace {
// Keeps lanes with s > 0; NaN, -0 and negatives become +0.
inline __m256 relu8(__m256 s) {
    return _mm256_and_ps(s, _mm256_cmp_ps(s, _mm256_setzero_ps(), _CMP_GT_OQ));
}

struct Avx2Pixel {
    static void run(const float* const* taps, const int64_t* index, int n, const float* w_taps,
                    const float* bias, float* out, int64_t cout, int64_t mult, bool relu) {
        int64_t o = 0;
        for (; o + 8 <= cout; o += 8) {
            __m256 acc = _mm256_setzero_ps();
            if (mult == 1) {
                for (int i = 0; i < n; ++i)
                    acc = _mm256_fmadd_ps(_mm256_loadu_ps(taps[i] + o),
                                          _mm256_loadu_ps(w_taps + index[i] * cout + o), acc);
            } else {
                alignas(32) int32_t ci[8];
                for (int l = 0; l < 8; ++l) ci[l] = int32_t((o + l) / mult);
                const __m256i vi = _mm256_load_si256(reinterpret_cast<const __m256i*>(ci));
                for (int i = 0; i < n; ++i)
                    acc = _mm256_fmadd_ps(_mm256_i32gather_ps(taps[i], vi, 4),
                                          _mm256_loadu_ps(w_taps + index[i] * cout + o), acc);
            }
            if (bias) acc = _mm256_add_ps(acc, _mm256_loadu_ps(bias + o));
            if (relu) acc = relu8(acc);
            _mm256_storeu_ps(out + o, acc);
        }
        for (; o < cout; ++o)
            out[o] = depthwise_channel_f32(taps, index, n, w_taps, bias, o, o / mult, cout, relu);
    }
};
}  // namespace

VANTREL_DEPTHWISE_F32_ENTRY_POINTS(avx2, Avx2Pixel)

}  // namespace vantrel
