// AVX2 int8 GEMM. Without VNNI, and with vpmaddubsw saturating its pair
// sums, both operands are sign-extended to 16 bits and multiplied with
// vpmaddwd, which is exact: A is copied once per row stripe as int16, each
// packed group (8 columns x 4 k) becomes two vectors of 4 columns, and a
// broadcast 4-value A group gives two partial sums per column that the
// epilogue adds. Tiles are up to 6 rows x 8 columns (12 accumulators).
#include <immintrin.h>

#include <cstring>

#include "kernels/gemm/gemm_s8.h"
#include "kernels/gemm/gemm_s8_stripes.h"
#include "kernels/simd/requant_x86.h"

namespace vantrel {

namespace {

struct Avx2 {
    using Elem = int16_t;
    static constexpr int kRows = 6;
    static constexpr int64_t kLdaAlign = 16;
    static constexpr int64_t kBlockBytes = 256 * 1024;
    static constexpr int64_t kStripeBytes = 256 * 1024;
    static constexpr bool kSumsWeights = false;
    static constexpr int max_panels(int r) { return r <= 2 ? 2 : 1; }
    static void copy_rows(const GemmS8Args& g, int64_t r0, int64_t r1, int16_t* dst, int64_t lda);
    template <int R, int NP>
    static void tile(const GemmS8Args& g, const S8ColParams& cp, int64_t p0, const int16_t* a,
                     int64_t lda, int64_t row, int64_t p);
};

// Rows [r0, r1) of A as int16, rows lda values apart, zeros past K.
void Avx2::copy_rows(const GemmS8Args& g, int64_t r0, int64_t r1, int16_t* dst, int64_t lda) {
    for (int64_t r = r0; r < r1; ++r) {
        const int8_t* src = g.a + r * g.k;
        int16_t* d = dst + (r - r0) * lda;
        for (int64_t c = 0; c < lda; c += 16) {
            const int64_t rem = g.k - c;
            __m128i v;
            if (rem >= 16) {
                v = _mm_loadu_si128((const __m128i*)(src + c));
            } else {
                alignas(16) int8_t part[16] = {};
                if (rem > 0) std::memcpy(part, src + c, size_t(rem));
                v = _mm_load_si128((const __m128i*)part);
            }
            _mm256_storeu_si256((__m256i*)(d + c), _mm256_cvtepi8_epi16(v));
        }
    }
}

inline __m128i narrow_s8(__m256i v) {
    const __m128i s16 = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return _mm_packs_epi16(s16, s16);
}

// Epilogue of a rows x (np * 8) tile of sums (row stride ld) at (row, panel p).
void finish(const GemmS8Args& g, const S8ColParams& cp, int64_t p0, const int32_t* acc,
            int64_t ld, int rows, int64_t row, int64_t p, int np) {
    alignas(32) int32_t tmp[Avx2::kRows * 8];
    for (int q = 0; q < np; ++q) {
        // Whole rows of 8 go straight into Y; others through tmp.
        const S8Panel pn = s8_panel(g, p0, row, p + q, false, tmp);
        const int64_t off = pn.off;
        auto dst = [&](int r, size_t es) { return pn.dst(r, es); };
        const __m256i bias = _mm256_loadu_si256((const __m256i*)(cp.bias.data() + off));
        auto sums = [&](int r) {
            return _mm256_add_epi32(_mm256_loadu_si256((const __m256i*)(acc + r * ld + q * 8)), bias);
        };
        switch (g.kind) {
            case S8Out::Int8: {
                const RequantLanes8 rq(cp.mult.data() + off, cp.shift.data() + off, g.out_zp);
                for (int r = 0; r < rows; ++r)
                    _mm_storel_epi64((__m128i*)dst(r, 1), narrow_s8(rq(sums(r))));
                break;
            }
            case S8Out::Float: {
                const __m256 sc = _mm256_loadu_ps(cp.scale.data() + off);
                for (int r = 0; r < rows; ++r)
                    _mm256_storeu_ps((float*)dst(r, 4),
                                     _mm256_mul_ps(_mm256_cvtepi32_ps(sums(r)), sc));
                break;
            }
            case S8Out::Int32:
                for (int r = 0; r < rows; ++r) _mm256_storeu_si256((__m256i*)dst(r, 4), sums(r));
                break;
        }
        pn.flush(g, rows);
    }
}

// R rows of the int16 A copy (rows lda values apart) times NP panels from p.
template <int R, int NP>
void Avx2::tile(const GemmS8Args& g, const S8ColParams& cp, int64_t p0, const int16_t* a,
                int64_t lda, int64_t row, int64_t p) {
    const int64_t stride = g.kg * kS8GroupBytes;
    const int8_t* b = g.bp + p * stride;
    __m256i acc[R][NP][2];
    for (int r = 0; r < R; ++r)
        for (int q = 0; q < NP; ++q) acc[r][q][0] = acc[r][q][1] = _mm256_setzero_si256();
    for (int64_t gi = 0; gi < g.kg; ++gi) {
        __m256i w[NP][2];
        for (int q = 0; q < NP; ++q) {
            const int8_t* bg = b + q * stride + gi * kS8GroupBytes;
            w[q][0] = _mm256_cvtepi8_epi16(_mm_loadu_si128((const __m128i*)bg));
            w[q][1] = _mm256_cvtepi8_epi16(_mm_loadu_si128((const __m128i*)(bg + 16)));
        }
        for (int r = 0; r < R; ++r) {
            int64_t a4;
            std::memcpy(&a4, a + r * lda + gi * 4, 8);
            const __m256i av = _mm256_set1_epi64x(a4);
            for (int q = 0; q < NP; ++q)
                for (int h = 0; h < 2; ++h)
                    acc[r][q][h] = _mm256_add_epi32(acc[r][q][h], _mm256_madd_epi16(w[q][h], av));
        }
    }
    // Lanes (2c, 2c+1) of each half hold column c's two partial sums.
    // Panel by panel (see the AVX-512 path: row order makes GCC 12 keep the
    // accumulators on the stack).
    alignas(32) int32_t out[R * NP * 8];
    for (int q = 0; q < NP; ++q)
        for (int r = 0; r < R; ++r) {
            const __m256i s = _mm256_hadd_epi32(acc[r][q][0], acc[r][q][1]);
            _mm256_store_si256((__m256i*)(out + (r * NP + q) * 8),
                               _mm256_permute4x64_epi64(s, 0xD8));
        }
    finish(g, cp, p0, out, NP * 8, R, row, p, NP);
}

}  // namespace

VANTREL_GEMM_S8_ENTRIES(gemm_s8_requant_avx2, gemm_s8_s32_avx2, gemm_s8_residual_avx2,
                        kStripesPath<Avx2>)

}  // namespace vantrel
