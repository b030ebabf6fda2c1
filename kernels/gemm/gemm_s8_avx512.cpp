// AVX-512 VNNI int8 GEMM. vpdpbusd multiplies unsigned by signed bytes, so
// A is copied with each byte offset by +128 (xor 0x80) and 128 * sum_k W[n][k]
// is taken off again through the column's bias; both are exact modulo 2^32,
// so the sums equal the portable path's. The weight sums come from the first
// row tile of each column block, as one more accumulator row of ones.
// The 32-byte packed groups of two neighbouring panels (8 columns x 4 k
// each) are joined into one 512-bit vector, fed by a broadcast 4-byte A
// group: the shared packed layout stays as it is, and the join costs one
// insert per 16 columns and k group, shared by all the tile's rows. Tiles
// are up to 12 rows x 4 panels (24 accumulators), 8 rows for int8 outputs,
// wider for fewer rows.
// GCC 12 takes the undefined pass-through operands inside its AVX-512
// intrinsic headers (and a 256-to-512-bit cast's upper half, which the insert
// overwrites) for uninitialised reads.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstring>
#include <type_traits>

#include "kernels/gemm/gemm_s8.h"
#include "kernels/gemm/gemm_s8_stripes.h"
#include "kernels/simd/requant_x86.h"

namespace vantrel {

namespace {

struct Avx512 {
    using Elem = uint8_t;
    // The tiles add a folded residual in registers (ResidualLanes).
    static constexpr bool kResidualInTile = true;
    static constexpr int kRows = 12;
    // Int8 outputs in the normal orientation finish in registers
    // (kFinishRegsS8), which leaves room for 8 rows x 4 panels of
    // accumulators only: 12 rows spilled them inside the product loop.
    static int tile_rows(const GemmS8Args& g) { return g.kind == S8Out::Int8 && !g.transposed ? 8 : 12; }
    // Rows of the A copy 16 bytes apart at least, not a whole line: a small
    // K (MobileNet's 1x1 layers) would otherwise copy 4 times its bytes.
    static constexpr int64_t kLdaAlign = 16;
    static constexpr int64_t kBlockBytes = 256 * 1024;
    static constexpr int64_t kStripeBytes = 256 * 1024;
    static constexpr bool kSumsWeights = true;
    // Panels pair up into 16-column vectors: 12 rows x 4 panels is 24
    // accumulators (26 with the weight sums); few rows take more panels, for
    // enough independent accumulators.
    static constexpr int max_panels(int r) { return r <= 2 ? 8 : 4; }
    static void copy_rows(const GemmS8Args& g, int64_t r0, int64_t r1, uint8_t* dst, int64_t lda);
    template <int R, int NP, bool SUM>
    static void tile(const GemmS8Args& g, S8ColParams& cp, int64_t p0, const uint8_t* a,
                     int64_t lda, int64_t row, int64_t p);
    template <int R, int NP, bool SUM, int FINISH>
    static void tile_as(const GemmS8Args& g, S8ColParams& cp, int64_t p0, const uint8_t* a,
                        int64_t lda, int64_t row, int64_t p);
};

// Rows [r0, r1) of A, each byte + 128, rows lda bytes apart (a multiple
// of 16); bytes past K hold 128 (a zero), which meets zero weights anyway.
void Avx512::copy_rows(const GemmS8Args& g, int64_t r0, int64_t r1, uint8_t* dst, int64_t lda) {
    const __m512i flip = _mm512_set1_epi8(char(0x80));
    if (lda == g.k) {
        // Rows as long as the copy's (K a multiple of 16) lie end to end on
        // both sides: one pass over the block, not a masked step per row (a
        // tenth of a 1x1 layer's time at K = 16).
        const int8_t* src = g.a + r0 * g.k;
        const int64_t bytes = (r1 - r0) * g.k;
        int64_t i = 0;
        for (; i + 64 <= bytes; i += 64) _mm512_storeu_si512(dst + i, _mm512_xor_si512(_mm512_loadu_si512(src + i), flip));
        if (i < bytes) {
            const __mmask64 m = __mmask64((uint64_t(1) << (bytes - i)) - 1);
            _mm512_mask_storeu_epi8(dst + i, m, _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, src + i), flip));
        }
        return;
    }
    for (int64_t r = r0; r < r1; ++r) {
        const int8_t* src = g.a + r * g.k;
        uint8_t* d = dst + (r - r0) * lda;
        for (int64_t c = 0; c < lda; c += 64) {
            const int64_t rem = g.k - c;
            __m512i v = _mm512_setzero_si512();
            if (rem >= 64) v = _mm512_loadu_si512(src + c);
            else if (rem > 0)
                v = _mm512_maskz_loadu_epi8(__mmask64((uint64_t(1) << rem) - 1), src + c);
            v = _mm512_xor_si512(v, flip);
            if (lda - c >= 64) _mm512_storeu_si512(d + c, v);
            else _mm512_mask_storeu_epi8(d + c, __mmask64((uint64_t(1) << (lda - c)) - 1), v);
        }
    }
}

// gemm_s8_residual_rows on up to 16 int8 outputs in a register, lanes of
// `keep` (the residual is read under it): the same 32-bit wrapping sum,
// arithmetic shift and saturation, so the bytes equal the scalar form's.
// Adding before the store, rather than re-reading the stored tile, avoids
// loads that wait on masked stores (which do not forward): a 1x1 layer of
// 24 outputs at 56 x 56 ran at a third of its speed that way.
// With both factors in 16 bits (the int8 add's own set-up gives them so),
// the outputs and residual bytes interleave into 16-bit pairs and one
// vpdpwssd forms k_round + q_out * y + q_res * r per lane: exact, as each
// product fits in 24 bits. Two 32-bit multiplies and widenings otherwise.
struct ResidualLanes {
    __m512i k, q;
    bool pairs;
    explicit ResidualLanes(const S8ResidualAdd& ra)
        : k(_mm512_set1_epi32(ra.k_round)),
          q(_mm512_set1_epi32(int32_t((uint32_t(uint16_t(ra.q_res)) << 16) | uint16_t(ra.q_out)))),
          pairs(ra.q_out == int16_t(ra.q_out) && ra.q_res == int16_t(ra.q_res)) {}
    __m128i add(const S8ResidualAdd& ra, __m128i y, const int8_t* res, __mmask16 keep) const {
        const __m128i r = _mm_maskz_loadu_epi8(keep, res);
        if (pairs) {
            const __m256i yr = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi8(y, r)),
                                                       _mm_unpackhi_epi8(y, r), 1);
            const __m512i acc = _mm512_dpwssd_epi32(k, _mm512_cvtepi8_epi16(yr), q);
            return _mm512_cvtsepi32_epi8(_mm512_srai_epi32(acc, 12));
        }
        const __m512i yv = _mm512_cvtepi8_epi32(y);
        const __m512i rv = _mm512_cvtepi8_epi32(r);
        __m512i acc = _mm512_add_epi32(k, _mm512_mullo_epi32(yv, _mm512_set1_epi32(ra.q_out)));
        acc = _mm512_add_epi32(acc, _mm512_mullo_epi32(rv, _mm512_set1_epi32(ra.q_res)));
        return _mm512_cvtsepi32_epi8(_mm512_srai_epi32(acc, 12));
    }
};

// The usual requantisation (right shifts of 1 to 16, no INT32_MIN
// multiplier) with the column's bias and out_zp folded into its 64-bit
// rounding constant: with x = acc + bias,
//   ((x m + 2^30 + 2^(30+s)) >> (31 + s)) + zp
//     = (acc m + (bias m + 2^30 + 2^(30+s) + zp 2^(31+s))) >> (31 + s),
// exact while acc + bias cannot wrap in 32 bits (|acc| is at most
// K * 255 * 128 for the offset A bytes, so |bias| up to 2^31 - 1 less that
// qualifies) and below 2^63 for these shifts. Set up per column block by its
// first row tile, after the weight sums corrected the bias; a pair of panels
// takes it when both are usual (columns past N count as usual). Column 2i
// of the range is entry i of the *_even arrays of S8ColParams, 2i + 1 of the
// *_odd ones; `usual` has an entry per panel.
// Columns [off, off + lanes) of the range (lanes 8 or 16, off a multiple of
// 8). Out of line: it runs once per column block.
__attribute__((noinline)) void fold_cols(const GemmS8Args& g, S8ColParams& f, int64_t p0, int64_t off,
                                         int lanes) {
    const S8ColParams& cp = f;
    const size_t need = cp.bias.size() / 2 + 8;
    if (f.rnd_even.size() < need) {
        for (auto* v : {&f.rnd_even, &f.rnd_odd, &f.sh_even, &f.sh_odd}) v->resize(need);
        f.usual.resize(need / 4 + 2);
    }
    const __mmask16 in = lanes == 16 ? __mmask16(0xFFFF) : __mmask16(0xFF);
    const __m512i b = _mm512_maskz_loadu_epi32(in, cp.bias.data() + off);
    const __m512i m = _mm512_maskz_loadu_epi32(in, cp.mult.data() + off);
    const __m512i sh = _mm512_maskz_loadu_epi32(in, cp.shift.data() + off);
    const int64_t col0 = p0 * 8 + off;
    const int64_t valid = g.n - col0 < lanes ? g.n - col0 : lanes;
    const int64_t lim = int64_t(INT32_MAX) - g.kg * 4 * 255 * 128;
    __mmask16 usual = __mmask16(~((1u << valid) - 1));
    if (lim >= 0) {
        const __m512i l = _mm512_set1_epi32(int32_t(lim));
        usual |= _mm512_cmple_epi32_mask(sh, _mm512_set1_epi32(-1)) &
                 _mm512_cmpge_epi32_mask(sh, _mm512_set1_epi32(-16)) &
                 _mm512_cmpneq_epi32_mask(m, _mm512_set1_epi32(INT32_MIN)) &
                 _mm512_cmple_epi32_mask(b, l) &
                 _mm512_cmpge_epi32_mask(b, _mm512_sub_epi32(_mm512_setzero_si512(), l));
    }
    f.usual[size_t(off / 8)] = (usual & 0xFF) == 0xFF;
    if (lanes == 16) f.usual[size_t(off / 8 + 1)] = (usual >> 8) == 0xFF;
    const __m512i s = _mm512_min_epi32(_mm512_max_epi32(_mm512_sub_epi32(_mm512_setzero_si512(), sh),
                                                        _mm512_set1_epi32(1)),
                                       _mm512_set1_epi32(16));
    const __m512i s_even = _mm512_and_si512(s, _mm512_set1_epi64(0xFFFFFFFF));
    const __m512i s_odd = _mm512_srli_epi64(s, 32);
    const __m512i half = _mm512_set1_epi64(int64_t(1) << 30);
    const __m512i zp = _mm512_set1_epi64(g.out_zp);
    const __m512i c31 = _mm512_set1_epi64(31);
    auto rnd = [&](__m512i bm, __m512i sv) {
        return _mm512_add_epi64(_mm512_add_epi64(bm, _mm512_add_epi64(half, _mm512_sllv_epi64(half, sv))),
                                _mm512_sllv_epi64(zp, _mm512_add_epi64(sv, c31)));
    };
    const __m512i re = rnd(_mm512_mul_epi32(b, m), s_even);
    const __m512i ro = rnd(_mm512_mul_epi32(_mm512_srli_epi64(b, 32), _mm512_srli_epi64(m, 32)), s_odd);
    const __mmask8 q = lanes == 16 ? __mmask8(0xFF) : __mmask8(0x0F);
    const size_t h = size_t(off / 2);
    _mm512_mask_storeu_epi64(f.rnd_even.data() + h, q, re);
    _mm512_mask_storeu_epi64(f.rnd_odd.data() + h, q, ro);
    _mm512_mask_storeu_epi64(f.sh_even.data() + h, q, _mm512_add_epi64(s_even, c31));
    _mm512_mask_storeu_epi64(f.sh_odd.data() + h, q, _mm512_sub_epi64(s_odd, _mm512_set1_epi64(1)));
}

// acc += a (unsigned bytes) . b (signed bytes) in place. As an asm with its
// accumulator tied, since GCC 12 otherwise copies each accumulator into a
// new register and back around every product when the tile finishes from
// registers (twice the instructions of the product loop).
inline __attribute__((always_inline)) __m512i dpbusd(__m512i acc, __m512i a, __m512i b) {
    asm("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(a), "v"(b));
    return acc;
}

// The folded requantisation of 16 sums (fold_cols).
inline __m128i folded_requant(__m512i x, __m512i m, __m512i m_odd, __m512i re, __m512i ro, __m512i se,
                              __m512i so) {
    const __m512i even = _mm512_add_epi64(_mm512_mul_epi32(x, m), re);
    const __m512i odd = _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(x, 32), m_odd), ro);
    return _mm512_cvtsepi32_epi8(
        _mm512_mask_blend_epi32(__mmask16(0xAAAA), _mm512_srav_epi64(even, se), _mm512_srav_epi64(odd, so)));
}

// Int8 outputs of panels p and p + 1 (normal orientation): one 16-lane
// requantisation and one 16-byte store per row. The narrowing happens in a
// register: vpmovsdb straight to memory is slow on AMD cores.
void finish_pair_s8(const GemmS8Args& g, const S8ColParams& cp, int64_t p0, const int32_t* acc,
                    int64_t ld, int rows, int64_t row, int64_t p) {
    const int64_t off = (p - p0) * 8, col0 = p * 8;
    const int64_t cols = g.n - col0 < 16 ? g.n - col0 : 16;
    const __mmask16 keep = __mmask16((1u << cols) - 1);
    const RequantLanes16 rq(cp.mult.data() + off, cp.shift.data() + off, g.out_zp);
    const __m512i bias = _mm512_loadu_si512(cp.bias.data() + off);
    int8_t* y = static_cast<int8_t*>(g.out) + row * g.n + col0;
    const ResidualLanes rl(g.residual ? *g.residual : S8ResidualAdd{});
    if (cp.usual[size_t(p - p0)] && cp.usual[size_t(p - p0 + 1)]) {
        const size_t h = size_t(off / 2);
        const __m512i m = _mm512_loadu_si512(cp.mult.data() + off), m_odd = _mm512_srli_epi64(m, 32);
        const __m512i re = _mm512_loadu_si512(cp.rnd_even.data() + h);
        const __m512i ro = _mm512_loadu_si512(cp.rnd_odd.data() + h);
        const __m512i se = _mm512_loadu_si512(cp.sh_even.data() + h);
        const __m512i so = _mm512_loadu_si512(cp.sh_odd.data() + h);
        for (int r = 0; r < rows; ++r) {
            __m128i v = folded_requant(_mm512_loadu_si512(acc + r * ld), m, m_odd, re, ro, se, so);
            if (g.residual) v = rl.add(*g.residual, v, g.residual->res + (row + r) * g.n + col0, keep);
            if (cols == 16) _mm_storeu_si128((__m128i*)(y + r * g.n), v);
            else _mm_mask_storeu_epi8(y + r * g.n, keep, v);
        }
        return;
    }
    auto rows_out = [&](auto rare) {
        for (int r = 0; r < rows; ++r) {
            const __m512i x = _mm512_add_epi32(_mm512_loadu_si512(acc + r * ld), bias);
            __m128i v = rq.apply<decltype(rare)::value>(x);
            if (g.residual) v = rl.add(*g.residual, v, g.residual->res + (row + r) * g.n + col0, keep);
            if (cols == 16) _mm_storeu_si128((__m128i*)(y + r * g.n), v);
            else _mm_mask_storeu_epi8(y + r * g.n, keep, v);
        }
    };
    if (rq.rare) rows_out(std::true_type{});
    else rows_out(std::false_type{});
}

// Epilogue of a rows x (np * 8) tile of sums (row stride ld) at (row, panel p).
void finish(const GemmS8Args& g, const S8ColParams& cp, int64_t p0, const int32_t* acc,
            int64_t ld, int rows, int64_t row, int64_t p, int np) {
    alignas(64) int32_t tmp[Avx512::kRows * 8];
    int q = 0;
    if (g.kind == S8Out::Int8 && !g.transposed)
        for (; q + 2 <= np; q += 2) finish_pair_s8(g, cp, p0, acc + q * 8, ld, rows, row, p + q);
    // Raw sums (the Winograd products): whole pairs of panels as one 16-lane
    // add of the columns' bias (the offset correction) and one store a row.
    if (g.kind == S8Out::Int32 && !g.transposed)
        for (; q + 2 <= np && (p + q + 2) * 8 <= g.n; q += 2) {
            const __m512i bias = _mm512_loadu_si512(cp.bias.data() + (p + q - p0) * 8);
            int32_t* y = static_cast<int32_t*>(g.out) + row * g.n + (p + q) * 8;
            for (int r = 0; r < rows; ++r)
                _mm512_storeu_si512(y + r * g.n, _mm512_add_epi32(_mm512_loadu_si512(acc + r * ld + q * 8), bias));
        }
    for (; q < np; ++q) {
        // Normal orientation stores straight into Y under a mask; transposed
        // goes through tmp.
        const S8Panel pn = s8_panel(g, p0, row, p + q, true, tmp);
        const int64_t off = pn.off;
        const __m256i bias = _mm256_loadu_si256((const __m256i*)(cp.bias.data() + off));
        auto dst = [&](int r, size_t es) { return pn.dst(r, es); };
        const __mmask8 m = g.transposed ? __mmask8(0xFF) : __mmask8((1u << pn.cols) - 1);
        auto sums = [&](int r) {
            return _mm256_add_epi32(_mm256_loadu_si256((const __m256i*)(acc + r * ld + q * 8)), bias);
        };
        switch (g.kind) {
            case S8Out::Int8: {
                const RequantLanes8 rq(cp.mult.data() + off, cp.shift.data() + off, g.out_zp);
                const ResidualLanes rl(g.residual ? *g.residual : S8ResidualAdd{});
                for (int r = 0; r < rows; ++r) {
                    __m128i v = _mm256_cvtsepi32_epi8(rq(sums(r)));
                    if (g.residual)  // normal orientation: pn.direct
                        v = rl.add(*g.residual, v, g.residual->res + (row + r) * g.n + pn.col0, __mmask16(m));
                    _mm_mask_storeu_epi8(dst(r, 1), __mmask16(m), v);
                }
                break;
            }
            case S8Out::Float: {
                const __m256 sc = _mm256_loadu_ps(cp.scale.data() + off);
                for (int r = 0; r < rows; ++r)
                    _mm256_mask_storeu_ps(dst(r, 4), m, _mm256_mul_ps(_mm256_cvtepi32_ps(sums(r)), sc));
                break;
            }
            case S8Out::Int32:
                for (int r = 0; r < rows; ++r) _mm256_mask_storeu_epi32(dst(r, 4), m, sums(r));
                break;
        }
        pn.flush(g, rows);
    }
}

// R rows of the offset A copy (rows lda bytes apart) times NP panels from p.
// Two consecutive 8-column panels share one 512-bit accumulator (panel
// p + 2z in the low half, p + 2z + 1 in the high half), so each broadcast A
// group feeds 16 columns per vpdpbusd; with an odd NP the last vector holds
// one panel and a zero high half, and never reads past the panel range.
// With SUM the tile also sums each column's weights (a row of ones) and
// takes 128 times that sum off the columns' bias first: the first row tile
// of a column block does this while the block's weights pass through
// registers anyway.
// How a tile's sums leave: through memory to finish(), or straight from
// the accumulators for whole pairs of panels inside N in the normal
// orientation: int8 outputs of usual panels (the folded requantisation) or
// the raw sums (their bias added). Chosen before the products, one exit per
// instance.
enum : int { kFinishMemory, kFinishRegsS8, kFinishRegsS32 };

template <int R, int NP, bool SUM>
void Avx512::tile(const GemmS8Args& g, S8ColParams& cp, int64_t p0, const uint8_t* a,
                  int64_t lda, int64_t row, int64_t p) {
    if constexpr (!SUM && NP % 2 == 0) {
        if (!g.transposed && (p + NP) * 8 <= g.n) {
            if constexpr (R <= 8) {
                bool usual = g.kind == S8Out::Int8;
                for (int q = 0; q < NP && usual; ++q) usual = cp.usual[size_t(p - p0 + q)];
                if (usual) return tile_as<R, NP, SUM, kFinishRegsS8>(g, cp, p0, a, lda, row, p);
            }
            if (g.kind == S8Out::Int32) return tile_as<R, NP, SUM, kFinishRegsS32>(g, cp, p0, a, lda, row, p);
        }
    }
    tile_as<R, NP, SUM, kFinishMemory>(g, cp, p0, a, lda, row, p);
}

template <int R, int NP, bool SUM, int FINISH>
void Avx512::tile_as(const GemmS8Args& g, S8ColParams& cp, int64_t p0, const uint8_t* a,
                     int64_t lda, int64_t row, int64_t p) {
    constexpr int Z = (NP + 1) / 2;
    constexpr bool kHalfLast = NP % 2 != 0;
    const int64_t stride = g.kg * kS8GroupBytes;
    const int8_t* b = g.bp + p * stride;
    // Rows as base[r / 3] + (r % 3) * lda: 4 base registers instead of 12.
    constexpr int B = (R + 2) / 3;
    const uint8_t* base[B];
    for (int i = 0; i < B; ++i) base[i] = a + 3 * i * lda;
    __m512i acc[R][Z], sum[Z];
    for (int r = 0; r < R; ++r)
        for (int z = 0; z < Z; ++z) acc[r][z] = _mm512_setzero_si512();
    for (int z = 0; z < Z; ++z) sum[z] = _mm512_setzero_si512();
    const __m512i ones = _mm512_set1_epi8(1);
    for (int64_t gi = 0; gi < g.kg; ++gi) {
        __m512i bv[Z];
        for (int z = 0; z < Z; ++z) {
            const int8_t* lo = b + 2 * z * stride + gi * kS8GroupBytes;
            const __m256i l = _mm256_loadu_si256((const __m256i*)lo);
            if (kHalfLast && z == Z - 1)
                bv[z] = _mm512_zextsi256_si512(l);
            else
                bv[z] = _mm512_inserti64x4(_mm512_castsi256_si512(l),
                                           _mm256_loadu_si256((const __m256i*)(lo + stride)), 1);
        }
        for (int r = 0; r < R; ++r) {
            int32_t a4;
            std::memcpy(&a4, base[r / 3] + (r % 3) * lda, 4);
            const __m512i av = _mm512_set1_epi32(a4);
            for (int z = 0; z < Z; ++z) acc[r][z] = dpbusd(acc[r][z], av, bv[z]);
        }
        if constexpr (SUM)
            for (int z = 0; z < Z; ++z) sum[z] = _mm512_dpbusd_epi32(sum[z], ones, bv[z]);
        for (int i = 0; i < B; ++i) base[i] += 4;
    }
    if constexpr (FINISH == kFinishRegsS32) {
#pragma GCC unroll 8
        for (int z = 0; z < Z; ++z) {
            const int64_t col0 = (p + 2 * z) * 8;
            const __m512i bias = _mm512_loadu_si512(cp.bias.data() + (p + 2 * z - p0) * 8);
            int32_t* y = static_cast<int32_t*>(g.out) + row * g.n + col0;
#pragma GCC unroll 16
            for (int r = 0; r < R; ++r) _mm512_storeu_si512(y + r * g.n, _mm512_add_epi32(acc[r][z], bias));
        }
        return;
    }
    if constexpr (FINISH == kFinishRegsS8) {
        const ResidualLanes rl(g.residual ? *g.residual : S8ResidualAdd{});
#pragma GCC unroll 8
        for (int z = 0; z < Z; ++z) {
            const int64_t off = (p + 2 * z - p0) * 8, col0 = (p + 2 * z) * 8;
            const size_t h = size_t(off / 2);
            const __m512i m = _mm512_loadu_si512(cp.mult.data() + off), m_odd = _mm512_srli_epi64(m, 32);
            const __m512i re = _mm512_loadu_si512(cp.rnd_even.data() + h);
            const __m512i ro = _mm512_loadu_si512(cp.rnd_odd.data() + h);
            const __m512i se = _mm512_loadu_si512(cp.sh_even.data() + h);
            const __m512i so = _mm512_loadu_si512(cp.sh_odd.data() + h);
            int8_t* y = static_cast<int8_t*>(g.out) + row * g.n + col0;
            // Unrolled in full: an accumulator indexed at run time would
            // keep them all in memory.
#pragma GCC unroll 16
            for (int r = 0; r < R; ++r) {
                __m128i v = folded_requant(acc[r][z], m, m_odd, re, ro, se, so);
                if (g.residual)
                    v = rl.add(*g.residual, v, g.residual->res + (row + r) * g.n + col0, __mmask16(0xFFFF));
                _mm_storeu_si128((__m128i*)(y + r * g.n), v);
            }
        }
        return;
    }
    // Stored vector by vector: in row order GCC 12 merges the stores and then
    // keeps every accumulator on the stack inside the loop. The last vector
    // of an odd NP holds one panel: its high half is neither read nor
    // written. Plain stores, not masked ones: finish reads the sums back at
    // once, and masked stores do not forward to loads.
    alignas(64) int32_t out[R * NP * 8];
    for (int z = 0; z < Z; ++z)
        for (int r = 0; r < R; ++r) {
            int32_t* o = out + r * NP * 8 + z * 16;
            if (kHalfLast && z == Z - 1)
                _mm256_storeu_si256((__m256i*)o, _mm512_castsi512_si256(acc[r][z]));
            else
                _mm512_storeu_si512(o, acc[r][z]);
        }
    // The weight sums correct the bias, after the sums are stored so that no
    // accumulator lives across the call that folds it.
    if constexpr (SUM)
        for (int z = 0; z < Z; ++z) {
            int32_t* bias = cp.bias.data() + (p + 2 * z - p0) * 8;
            const __m512i corr = _mm512_slli_epi32(sum[z], 7);
            if (kHalfLast && z == Z - 1) {
                const __m256i v = _mm256_loadu_si256((const __m256i*)bias);
                _mm256_storeu_si256((__m256i*)bias,
                                    _mm256_sub_epi32(v, _mm512_castsi512_si256(corr)));
            } else {
                _mm512_storeu_si512(bias, _mm512_sub_epi32(_mm512_loadu_si512(bias), corr));
            }
            if (g.kind == S8Out::Int8 && !g.transposed)
                fold_cols(g, cp, p0, (p + 2 * z - p0) * 8, kHalfLast && z == Z - 1 ? 8 : 16);
        }
    finish(g, cp, p0, out, NP * 8, R, row, p, NP);
}

}  // namespace

VANTREL_GEMM_S8_ENTRIES(gemm_s8_requant_avx512, gemm_s8_s32_avx512, gemm_s8_residual_avx512,
                        kStripesPath<Avx512>)

}  // namespace vantrel
