// AVX-512 float GEMM. W is packed in 16-column panels (one 16-lane vector
// per k); the register tile is 12 rows x 32 columns (24 accumulators). Each
// lane is one output column summing over k from 0 with one vfmadd per term,
// so results equal the portable path's bit for bit.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "kernels/elementwise/activation.h"
#include "kernels/elementwise/activation_lanes_avx512.h"
#include "kernels/elementwise/activation_loops.h"
#include "kernels/elementwise/activation_ungrouped.h"
#include "kernels/elementwise/activation_ungrouped_loops.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_f32_split.h"
#include "kernels/gemm/panel_tiles.h"

namespace vantrel {

namespace {

constexpr int64_t kPanel = 16;
constexpr int kRows = 12;
// Bytes of packed W a column block may span (gemm_f32_blocked_range).
constexpr int64_t kBlockBytes = 384 * 1024;

// Panels per tile for a tile of R rows: up to 24 accumulators of the 32
// registers, and at least 8 independent chains for short tiles.
// x > 0 ? x : +0 (NaN -> +0). The zero-masking form sidesteps a spurious
// GCC 12 uninitialised warning on _mm512_max_ps.
inline __m512 relu16(__m512 x) {
    return _mm512_maskz_max_ps(__mmask16(0xFFFF), x, _mm512_setzero_ps());
}

// epi_clamp on 16 lanes: lo > x ? lo : x, then hi < x ? hi : x (NaN passes),
// which is max(lo, x) and min(hi, x) with the bound as first operand
// (zero-masking forms, as relu16).
inline __m512 clamp16(__m512 x, __m512 lo, __m512 hi) {
    const __mmask16 all = 0xFFFF;
    return _mm512_maskz_min_ps(all, hi, _mm512_maskz_max_ps(all, lo, x));
}

// conv_epilogue_f32's activation on 16 lanes, rounding as its scalar form:
// the clamp, or hard swish (x * clamp(x + 3, 0, 6)) / 6.
struct RegClamp {
    int32_t act = ConvEpilogueF32::kNone;
    __m512 lo, hi;
    explicit RegClamp(const ConvEpilogueF32* e) {
        if (e) act = e->act;
        const bool clamp = act == ConvEpilogueF32::kClamp;
        lo = clamp ? _mm512_set1_ps(e->lo) : _mm512_setzero_ps();
        hi = _mm512_set1_ps(clamp ? e->hi : 6.0f);
    }
    __m512 operator()(__m512 x) const {
        if (act == ConvEpilogueF32::kClamp) return clamp16(x, lo, hi);
        if (act != ConvEpilogueF32::kHardSwish) return x;
        const __m512 t = clamp16(_mm512_add_ps(x, _mm512_set1_ps(3.0f)), lo, hi);
        return _mm512_div_ps(_mm512_mul_ps(x, t), hi);
    }
};

// conv_epilogue_f32's residual add on the lanes of `mask`, output elements
// [flat, flat + 16): x + r, then, with its ReLU, x > 0 (x >= 0 from
// relu_tail_from on) or NaN keeps x, else +0.
inline __m512 residual_add16(const ConvEpilogueF32& e, __m512 x, int64_t flat, __mmask16 mask) {
    x = _mm512_add_ps(x, _mm512_maskz_loadu_ps(mask, e.residual + flat));
    if (!e.residual_relu) return x;
    const __m512 zero = _mm512_setzero_ps();
    __mmask16 keep = _mm512_cmp_ps_mask(x, zero, _CMP_NLE_UQ);
    if (flat + 16 > e.relu_tail_from) {
        const int64_t from = e.relu_tail_from - flat;  // first tail lane, < 16
        const __mmask16 tail = from <= 0 ? __mmask16(0xFFFF) : __mmask16((0xFFFFu << from) & 0xFFFFu);
        keep = __mmask16((keep & ~tail) | (_mm512_cmp_ps_mask(x, zero, _CMP_NLT_UQ) & tail));
    }
    return _mm512_maskz_mov_ps(keep, x);
}

constexpr int max_panels(int r) { return r <= 2 ? 8 : r <= 6 ? 4 : 2; }

// An epilogue this tile runs on its registers: a clamp or hard swish alone,
// or a row kernel only when it is this path's GELU (tanh or exact), whose
// register form the tile then applies, giving that kernel's bits. Either
// may be followed by the residual add. Storing the tile and reading it back
// for the activation cost a quarter of a 1x1 convolution over 16 channels.
// This path's SiLU (a grouped kernel) counts too when the row length n is
// whole groups of 4, so every element of a stored span is a group's.
enum class RegAct { kNone, kGelu, kGeluErf, kSilu };
inline bool epilogue_in_registers(const ConvEpilogueF32* e, int64_t n, RegAct& act) {
    act = RegAct::kNone;
    if (!e) return false;
    if (e->row_fn && e->row_unary) return false;
    if (e->act != ConvEpilogueF32::kNone && (e->row_fn || e->row_unary)) return false;
    if (e->row_fn) {
        if (e->row_fn != &k_gelu_f32_avx512) return false;
        act = RegAct::kGelu;
    } else if (e->row_unary == &k_silu_f32_avx512) {
        if (n % 4 != 0) return false;
        act = RegAct::kSilu;
    } else if (e->row_unary) {
        if (e->row_unary != &k_gelu_erf_f32_avx512) return false;
        act = RegAct::kGeluErf;
    }
    return true;
}

// This path's GELU (tanh form, or exact) on a tile column's R registers,
// four at a time: one register's chain of dependent steps is latency bound,
// four side by side fill the pipes (the same bits as one at a time).
template <int R, bool kErf>
inline void gelu_rows(__m512* x) {
    using Tanh = ActivationLanes<ActLanesAvx512>;
    using Erf = UngroupedActivation<UngroupedLanesAvx512>;
    for (int r = 0; r + 4 <= R; r += 4) {
        if constexpr (kErf) Erf::gelu_erf_n<4>(x + r);
        else Tanh::gelu_groups_n<4>(x + r);
    }
    if constexpr (R % 4 != 0) {
        if constexpr (kErf) Erf::gelu_erf_n<R % 4>(x + R / 4 * 4);
        else Tanh::gelu_groups_n<R % 4>(x + R / 4 * 4);
    }
}

// next (null: none): the packed panels after this tile's, fetched into
// L2 a k row per panel per step while this tile runs. Into L2, not L1: the
// panels come from memory, and the L2's queue keeps more lines in flight
// than the L1's (Winograd products over weights that pass through once,
// 512 channels at 7x7: 9% faster). The tile's first row of A is at `a`,
// the next ones lda floats apart.
template <int R, int NP>
void tile(const GemmF32Args& g, int64_t row, int64_t p, const float* a, int64_t lda, const float* next = nullptr,
          int next_panels = 0) {
    const int64_t K = g.k;
    const float* b = g.bp + p * K * kPanel;
    // Rows are reached as base[r / 3] + (r % 3) * lda with the bases moving
    // along k: x86 addressing then needs 4 base registers and lda, not 12
    // row pointers (which would not fit the general registers).
    const int64_t run = g.seg_len ? g.seg_len : K;
    const int64_t skip = g.seg_len ? g.seg_stride - g.seg_len : 0;
    constexpr int B = (R + 2) / 3;
    const float* base[B];
    for (int i = 0; i < B; ++i) base[i] = a + 3 * i * lda;
    __m512 acc[R][NP];
    for (int r = 0; r < R; ++r)
        for (int q = 0; q < NP; ++q) acc[r][q] = _mm512_setzero_ps();
    // The tile's output lines are written once, after the sums; a store
    // to a line not in cache waits for it to be read in, so they are
    // fetched meanwhile (the outputs of a layer over 56x56 pixels pass
    // through L3: 64 -> 256 channels 10% faster in ResNet-50). So is the
    // residual a folded add reads. Into L2 only when output rows lie a
    // multiple of 4 KiB apart: the tile's lines then share one L1 set, and
    // fetching them early would evict the rows and panels the sums read.
    const bool to_l2 = g.n % 1024 == 0;
    for (int r = 0; r < R; ++r)
        for (int q = 0; q < NP; ++q) {
            const int64_t flat = (row + r) * g.n + (p + q) * kPanel;
            const float* res = g.epi ? g.epi->residual : nullptr;
            if (to_l2) {
                _mm_prefetch(reinterpret_cast<const char*>(g.y + flat), _MM_HINT_T1);
                if (res) _mm_prefetch(reinterpret_cast<const char*>(res + flat), _MM_HINT_T1);
            } else {
                _mm_prefetch(reinterpret_cast<const char*>(g.y + flat), _MM_HINT_T0);
                if (res) _mm_prefetch(reinterpret_cast<const char*>(res + flat), _MM_HINT_T0);
            }
        }
    if (run == K) {
        // The plain product, kept apart from the run loop below: sharing
        // one loop costs a few percent on short sums.
        // Two copies of the loop, one fetching the next panels, so the
        // common one carries no fetch loop.
        auto product = [&](auto fetch) {
            for (int64_t k = 0; k < K; ++k) {
                if constexpr (decltype(fetch)::value)
                    for (int q = 0; q < next_panels; ++q)
                        _mm_prefetch(reinterpret_cast<const char*>(next + q * K * kPanel + k * kPanel), _MM_HINT_T1);
                __m512 bv[NP];
                for (int q = 0; q < NP; ++q) bv[q] = _mm512_loadu_ps(b + q * K * kPanel + k * kPanel);
                for (int r = 0; r < R; ++r) {
                    const __m512 av = _mm512_set1_ps(base[r / 3][(r % 3) * lda]);
                    for (int q = 0; q < NP; ++q) acc[r][q] = _mm512_fmadd_ps(av, bv[q], acc[r][q]);
                }
                for (int i = 0; i < B; ++i) ++base[i];
            }
        };
        if (next) product(std::true_type{});
        else product(std::false_type{});
    } else {
        const float* bk = b;
        for (int64_t k0 = 0; k0 < K; k0 += run) {
            for (int64_t j = 0; j < run; ++j) {
                __m512 bv[NP];
                for (int q = 0; q < NP; ++q) bv[q] = _mm512_loadu_ps(bk + q * K * kPanel);
                for (int r = 0; r < R; ++r) {
                    const __m512 av = _mm512_set1_ps(base[r / 3][(r % 3) * lda]);
                    for (int q = 0; q < NP; ++q) acc[r][q] = _mm512_fmadd_ps(av, bv[q], acc[r][q]);
                }
                for (int i = 0; i < B; ++i) ++base[i];
                bk += kPanel;
            }
            for (int i = 0; i < B; ++i) base[i] += skip;
        }
    }
    const __m512 zero = _mm512_setzero_ps();
    // An epilogue of a residual add and this path's GELU runs here, in
    // registers.
    RegAct reg_act = RegAct::kNone;
    const bool in_regs = epilogue_in_registers(g.epi, g.n, reg_act);
    const bool residual = in_regs && g.epi->residual;
    const RegClamp clamp(in_regs ? g.epi : nullptr);
    // Unrolled, so the accumulators stay in registers rather than spill.
#pragma GCC unroll 8
    for (int q = 0; q < NP; ++q) {
        const int64_t col = (p + q) * kPanel;
        const int64_t cnt = g.n - col;  // >= 1: the panel exists
        const __mmask16 mask = cnt >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << cnt) - 1);
        const __m512 bias = g.bias ? _mm512_maskz_loadu_ps(mask, g.bias + col) : zero;
        __m512 x[R];
#pragma GCC unroll 12
        for (int r = 0; r < R; ++r) {
            x[r] = acc[r][q];
            if (g.bias) x[r] = _mm512_add_ps(x[r], bias);
            if (g.relu) x[r] = relu16(x[r]);
            x[r] = clamp(x[r]);
        }
        if (reg_act == RegAct::kGelu) {
            gelu_rows<R, false>(x);
        } else if (reg_act == RegAct::kGeluErf) {
            gelu_rows<R, true>(x);
        } else if (reg_act == RegAct::kSilu) {
#pragma GCC unroll 12
            for (int r = 0; r < R; ++r) x[r] = ActivationLanes<ActLanesAvx512>::silu_groups(x[r]);
        }
#pragma GCC unroll 12
        for (int r = 0; r < R; ++r) {
            const int64_t flat = (row + r) * g.n + col;
            if (residual) x[r] = residual_add16(*g.epi, x[r], flat, mask);
            _mm512_mask_storeu_ps(g.y + flat, mask, x[r]);
        }
    }
    if (in_regs) return;
    const int64_t col0 = p * kPanel, cols = g.n - col0 < NP * kPanel ? g.n - col0 : NP * kPanel;
    gemm_f32_tile_epilogue(g, row, R, col0, cols);
}

// Rows of A a multiple of 4 KiB apart all fall in one set of the L1
// cache, and a tile's 12 rows then evict each other while it runs (a 1x1
// convolution over 1024 or 2048 channels ran 10 to 17% below the rate of
// one over 1040). gemm_f32_run copies such an A once per product to a
// wider stride (restride_rows below); a range that still gets one (a
// team's share, or an A too large for that copy) copies each tile row per
// column block to a buffer with one cache line more between rows, and
// takes column blocks twice as wide so the copy is made half as often.
constexpr int64_t kRestrideMaxK = 16384;
bool restride(const GemmF32Args& g) {
    return g.seg_len == 0 && g.k > 0 && g.k <= kRestrideMaxK && (g.lda ? g.lda : g.k) % 1024 == 0;
}

void range(const GemmF32Args& g, int64_t r0, int64_t r1, int64_t p0, int64_t p1) {
    const int64_t lda = g.lda ? g.lda : g.k;
    const bool copy = restride(g);
    const int64_t copy_lda = g.k + kPanel;
    thread_local std::vector<float> rows_copy;
    if (copy && int64_t(rows_copy.size()) < kRows * copy_lda) rows_copy.resize(size_t(kRows * copy_lda));
    auto tile_row = [&](auto rows, int64_t row, int64_t pb, int64_t pe) {
        constexpr int R = decltype(rows)::value;
        const float* a = g.a + row * lda;
        int64_t a_lda = lda;
        if (copy) {
            for (int r = 0; r < R; ++r)
                std::memcpy(rows_copy.data() + r * copy_lda, a + r * lda, size_t(g.k) * sizeof(float));
            a = rows_copy.data();
            a_lda = copy_lda;
        }
        panel_tiles<max_panels(R)>(pb, pe, [&](auto np, int64_t p) {
            constexpr int NP = decltype(np)::value;
            // The first row tile of a column block is the first to read
            // each panel, from memory when the weights are not cached (a
            // network's weights pass through once per run): it fetches the
            // block's next panels while it computes, so each tile after it
            // finds its panels in cache. Not the next block's: the rows
            // streamed over this block would evict them first (deep sums).
            const int64_t ahead = row == r0 && g.seg_len == 0 ? std::min<int64_t>(NP, pe - p - NP) : 0;
            if (ahead > 0) tile<R, NP>(g, row, p, a, a_lda, g.bp + (p + NP) * g.k * kPanel, int(ahead));
            else tile<R, NP>(g, row, p, a, a_lda);
        });
    };
    gemm_f32_blocked_range<kRows, kPanel>(g, r0, r1, p0, p1, copy ? 2 * kBlockBytes : kBlockBytes, tile_row);
}

const GemmF32Tiling kTiling{kRows, kPanel, &range, true};

}  // namespace

void gemm_f32_rows_avx512(const float* a, int64_t lda, int64_t seg_len, int64_t seg_stride, const float* bp,
                          const float* bias, float* y, bool relu, int32_t m, int32_t k, int32_t n,
                          const ConvEpilogueF32* epi) {
    if (m <= 0 || n <= 0 || k <= 0 || seg_len <= 0 || k % seg_len != 0) return;
    GemmF32Args g{a, bp, bias, y, relu, m, k, n, epi && epi->active() ? epi : nullptr};
    g.lda = lda;
    g.seg_len = seg_len;
    g.seg_stride = seg_stride;
    range(g, 0, m, 0, (n + kPanel - 1) / kPanel);
}

VANTREL_GEMM_F32_ENTRY_POINTS(avx512, kPanel, kTiling)

void relu_f32_avx512(float* x, int32_t n, void* /*stream*/) {
    int64_t i = 0;
    for (; i + 16 <= n; i += 16)
        _mm512_storeu_ps(x + i, relu16(_mm512_loadu_ps(x + i)));
    if (i < n) {
        const __mmask16 mask = __mmask16((1u << (n - i)) - 1);
        _mm512_mask_storeu_ps(x + i, mask, relu16(_mm512_maskz_loadu_ps(mask, x + i)));
    }
}

}  // namespace vantrel
