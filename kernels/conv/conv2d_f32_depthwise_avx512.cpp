#include <immintrin.h>

#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/conv/conv2d_f32_depthwise_loops.h"

namespace vantrel {

namespace {
// Keeps lanes with s > 0; NaN, -0 and negatives become +0.
inline __m512 relu16(__m512 s) {
    return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(s, _mm512_setzero_ps(), _CMP_GT_OQ), s);
}

struct Avx512Pixel {
    struct Vec {
        using T = __m512;
        using M = __mmask16;
        static constexpr int L = 16;
        // Eight pixels' sums: enough chains for both FMA pipes; wider blocks
        // measured slower (their inputs no longer stay in registers).
        static constexpr int kStripPixels = 8;
        // Two rows of 5x5 fit: 16 sums and 10 weight vectors.
        static constexpr int kPairMaxK = 5;
        static M mask(int64_t left) { return left >= 16 ? M(0xFFFF) : M((1u << left) - 1u); }
        static T zero() { return _mm512_setzero_ps(); }
        // Holds a loaded input in a register, so the compiler does not fold
        // it back into each multiply-add as a fresh load.
        static void keep(T& x) { __asm__("" : "+v"(x)); }
        template <bool Masked>
        static T load(const float* p, M m) {
            return Masked ? _mm512_maskz_loadu_ps(m, p) : _mm512_loadu_ps(p);
        }
        template <bool Masked>
        static void store(float* p, M m, T v) {
            if (Masked)
                _mm512_mask_storeu_ps(p, m, v);
            else
                _mm512_storeu_ps(p, v);
        }
        static T fma(T x, T w, T acc) { return _mm512_fmadd_ps(x, w, acc); }
        static T add(T a, T b) { return _mm512_add_ps(a, b); }
        static T relu(T a) { return relu16(a); }
        // max(lo, v) then min(hi, v) keep a NaN v, as epi_clamp does; the
        // zero-masking forms sidestep a spurious GCC 12 uninitialised warning.
        static T clamp(T v, float lo, float hi) {
            const __m512 m = _mm512_maskz_max_ps(__mmask16(0xFFFF), _mm512_set1_ps(lo), v);
            return _mm512_maskz_min_ps(__mmask16(0xFFFF), _mm512_set1_ps(hi), m);
        }
    };
    static void run(const float* const* taps, const int64_t* index, int n, const float* w_taps,
                    const float* bias, float* out, int64_t cout, int64_t mult, bool relu) {
        int64_t o = 0;
        for (; o < cout; o += 16) {
            // The last block runs masked, so no scalar tail is needed.
            const int64_t left = cout - o;
            const __mmask16 m = left >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << left) - 1u);
            __m512 acc = _mm512_setzero_ps();
            if (mult == 1) {
                for (int i = 0; i < n; ++i)
                    acc = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m, taps[i] + o),
                                          _mm512_maskz_loadu_ps(m, w_taps + index[i] * cout + o), acc);
            } else {
                alignas(64) int32_t ci[16];
                for (int l = 0; l < 16; ++l) ci[l] = int32_t(o + l < cout ? (o + l) / mult : 0);
                const __m512i vi = _mm512_load_si512(ci);
                for (int i = 0; i < n; ++i)
                    acc = _mm512_fmadd_ps(
                        _mm512_mask_i32gather_ps(_mm512_setzero_ps(), m, vi, taps[i], 4),
                        _mm512_maskz_loadu_ps(m, w_taps + index[i] * cout + o), acc);
            }
            if (bias) acc = _mm512_add_ps(acc, _mm512_maskz_loadu_ps(m, bias + o));
            if (relu) acc = relu16(acc);
            _mm512_mask_storeu_ps(out + o, m, acc);
        }
    }

    // Interior pixels, P at a time: each weight vector feeds P independent
    // sums, each summed over the taps in (ky, kx) order as run() does.
    template <int P>
    static void span_block(const float* const* rows, const int64_t* tap_base, int nrows, int64_t nkx,
                           int64_t dil_c, int64_t step_c, int64_t off, const float* w_taps,
                           const float* bias, float* out, int64_t cout, bool relu) {
        for (int64_t o = 0; o < cout; o += 16) {
            const int64_t left = cout - o;
            const __mmask16 m = left >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << left) - 1u);
            __m512 acc[P];
            for (int q = 0; q < P; ++q) acc[q] = _mm512_setzero_ps();
            for (int j = 0; j < nrows; ++j) {
                const float* r = rows[j] + off + o;
                const float* wr = w_taps + tap_base[j] * cout + o;
                for (int64_t kx = 0; kx < nkx; ++kx) {
                    const __m512 wv = _mm512_maskz_loadu_ps(m, wr + kx * cout);
                    const float* x = r + kx * dil_c;
                    for (int q = 0; q < P; ++q)
                        acc[q] = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m, x + q * step_c), wv, acc[q]);
                }
            }
            const __m512 bv = bias ? _mm512_maskz_loadu_ps(m, bias + o) : _mm512_setzero_ps();
            for (int q = 0; q < P; ++q) {
                __m512 a = acc[q];
                if (bias) a = _mm512_add_ps(a, bv);
                if (relu) a = relu16(a);
                _mm512_mask_storeu_ps(out + q * cout + o, m, a);
            }
        }
    }
    static void span(const float* const* rows, const int64_t* tap_base, int nrows, int64_t nkx, int64_t dil_c,
                     int64_t step_c, const float* w_taps, const float* bias, float* out, int64_t cout,
                     int64_t npix, bool relu) {
        depthwise_span_blocks<Avx512Pixel, 8, 4>(rows, tap_base, nrows, nkx, dil_c, step_c, w_taps, bias, out, cout,
                                           npix, relu);
    }
};
}  // namespace

VANTREL_DEPTHWISE_F32_ENTRY_POINTS(avx512, Avx512Pixel)

}  // namespace vantrel
