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
    struct Vec {
        using T = __m256;
        using M = __m256i;
        static constexpr int L = 8;
        // Eight sums in flight keep both FMA pipes busy through their latency.
        static constexpr int kStripPixels = 8;
        // Two rows of 3x3 pay off despite some spilling; two of 5x5 would
        // spill most of the 16 registers.
        static constexpr int kPairMaxK = 3;
        static M mask(int64_t left) {
            return _mm256_cmpgt_epi32(_mm256_set1_epi32(int32_t(left < 8 ? left : 8)),
                                      _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        }
        static T zero() { return _mm256_setzero_ps(); }
        // Holds a loaded input in a register, so the compiler does not fold
        // it back into each multiply-add as a fresh load.
        static void keep(T& x) { __asm__("" : "+x"(x)); }
        template <bool Masked>
        static T load(const float* p, M m) {
            return Masked ? _mm256_maskload_ps(p, m) : _mm256_loadu_ps(p);
        }
        template <bool Masked>
        static void store(float* p, M m, T v) {
            if (Masked)
                _mm256_maskstore_ps(p, m, v);
            else
                _mm256_storeu_ps(p, v);
        }
        static T fma(T x, T w, T acc) { return _mm256_fmadd_ps(x, w, acc); }
        static T add(T a, T b) { return _mm256_add_ps(a, b); }
        static T relu(T a) { return relu8(a); }
        // max(lo, v) then min(hi, v) keep a NaN v, as epi_clamp does.
        static T clamp(T v, float lo, float hi) {
            return _mm256_min_ps(_mm256_set1_ps(hi), _mm256_max_ps(_mm256_set1_ps(lo), v));
        }
    };
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

    // Interior pixels, P at a time, as in the AVX-512 path; the last
    // channels run under a mask.
    template <int P>
    static void span_block(const float* const* rows, const int64_t* tap_base, int nrows, int64_t nkx,
                           int64_t dil_c, int64_t step_c, int64_t off, const float* w_taps,
                           const float* bias, float* out, int64_t cout, bool relu) {
        for (int64_t o = 0; o < cout; o += 8) {
            const int64_t left = cout - o;
            const __m256i m = _mm256_cmpgt_epi32(_mm256_set1_epi32(int32_t(left < 8 ? left : 8)),
                                                 _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
            __m256 acc[P];
            for (int q = 0; q < P; ++q) acc[q] = _mm256_setzero_ps();
            for (int j = 0; j < nrows; ++j) {
                const float* r = rows[j] + off + o;
                const float* wr = w_taps + tap_base[j] * cout + o;
                for (int64_t kx = 0; kx < nkx; ++kx) {
                    const __m256 wv = _mm256_maskload_ps(wr + kx * cout, m);
                    const float* x = r + kx * dil_c;
                    for (int q = 0; q < P; ++q)
                        acc[q] = _mm256_fmadd_ps(_mm256_maskload_ps(x + q * step_c, m), wv, acc[q]);
                }
            }
            const __m256 bv = bias ? _mm256_maskload_ps(bias + o, m) : _mm256_setzero_ps();
            for (int q = 0; q < P; ++q) {
                __m256 a = acc[q];
                if (bias) a = _mm256_add_ps(a, bv);
                if (relu) a = relu8(a);
                _mm256_maskstore_ps(out + q * cout + o, m, a);
            }
        }
    }
    static void span(const float* const* rows, const int64_t* tap_base, int nrows, int64_t nkx, int64_t dil_c,
                     int64_t step_c, const float* w_taps, const float* bias, float* out, int64_t cout,
                     int64_t npix, bool relu) {
        depthwise_span_blocks<Avx2Pixel, 4>(rows, tap_base, nrows, nkx, dil_c, step_c, w_taps, bias, out, cout,
                                           npix, relu);
    }
};
}  // namespace

VANTREL_DEPTHWISE_F32_ENTRY_POINTS(avx2, Avx2Pixel)

}  // namespace vantrel
