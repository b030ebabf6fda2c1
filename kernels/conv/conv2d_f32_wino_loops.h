// The transforms and phases of the Winograd float 3x3 convolution, shared
// by every kernel path: each instruction-set file instantiates them with its
// own block width. Every lane of a block evaluates the same scalar
// expressions in the same order and nothing is contracted
// (-ffp-contract=off), so the width and the instruction set change no bit.
//
// Everything is static so each instruction-set file keeps its own copy.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_f32_epilogue.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

// Input h x w with zero padding pad_h, pad_w; the tiles cover the oh x ow
// output, tw to a row, and their patches start pad pixels before them. A
// pass covers `tiles` tiles from tile row ty0 on.
struct WinoShape {
    int64_t cin, cout, h, w, pad_h, pad_w, oh, ow, tw, tiles;
    int64_t ty0 = 0;
};

// p[i][j] points at the channels of input pixel (y0 - pad_h + i,
// x0 - pad_w + j) of an N x N patch (y0, x0: the first output of a stride-1
// tile, twice it at stride 2), or at `zeros` where that pixel lies in the
// padding or past the image (tiles that overhang the output read there too).
template <int N>
static inline void wino_patch_f32(const float* in, const float* zeros, const WinoShape& s, int64_t y0, int64_t x0,
                                  const float* (&p)[N][N]) {
    for (int i = 0; i < N; ++i) {
        const int64_t iy = y0 - s.pad_h + i;
        for (int j = 0; j < N; ++j) {
            const int64_t ix = x0 - s.pad_w + j;
            const bool inside = iy >= 0 && iy < s.h && ix >= 0 && ix < s.w;
            p[i][j] = inside ? in + (iy * s.w + ix) * s.cin : zeros;
        }
    }
}

// V = B^T d B for channels [ch, ch + L) of one tile; p[i][j] is patch
// pixel (i, j) (a zero row outside the image), vt the stride between the
// 16 V matrices.
template <int64_t L>
static inline void input_block(const float* const (&p)[4][4], int64_t ch, int64_t vt, float* dst) {
    float d[4][4][L];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int64_t l = 0; l < L; ++l) d[i][j][l] = p[i][j][ch + l];
    // Rows of B^T d: r0 - r2, r1 + r2, r2 - r1, r1 - r3.
    float q[4][4][L];
    for (int j = 0; j < 4; ++j)
        for (int64_t l = 0; l < L; ++l) {
            q[0][j][l] = d[0][j][l] - d[2][j][l];
            q[1][j][l] = d[1][j][l] + d[2][j][l];
            q[2][j][l] = d[2][j][l] - d[1][j][l];
            q[3][j][l] = d[1][j][l] - d[3][j][l];
        }
    // Then the same combination along the columns.
    for (int i = 0; i < 4; ++i) {
        float* o = dst + int64_t(4 * i) * vt + ch;
        for (int64_t l = 0; l < L; ++l) {
            o[l] = q[i][0][l] - q[i][2][l];
            o[vt + l] = q[i][1][l] + q[i][2][l];
            o[2 * vt + l] = q[i][2][l] - q[i][1][l];
            o[3 * vt + l] = q[i][1][l] - q[i][3][l];
        }
    }
}

static inline float relu_f(float x) { return x > 0.0f ? x : 0.0f; }

// The K output pixels r of channels [ch, ch + L), + bias, then ReLU, stored
// at y[k] + ch where y[k] is not null (outside the output).
template <int K, int64_t L>
static inline void store_block(float (&r)[K][L], int64_t ch, const float* bias, bool relu, float* const (&y)[K]) {
    if (bias)
        for (int k = 0; k < K; ++k)
            for (int64_t l = 0; l < L; ++l) r[k][l] += bias[ch + l];
    if (relu)
        for (int k = 0; k < K; ++k)
            for (int64_t l = 0; l < L; ++l) r[k][l] = relu_f(r[k][l]);
    for (int k = 0; k < K; ++k)
        if (y[k])
            for (int64_t l = 0; l < L; ++l) y[k][ch + l] = r[k][l];
}

// Y = A^T m A for channels [ch, ch + L) of one tile, + bias, ReLU; y[k] is
// output pixel (k / 2, k % 2) of the tile, null when outside the image.
template <int64_t L>
static inline void output_block(const float* src, int64_t pt, int64_t ch, const float* bias, bool relu,
                         float* const (&y)[4]) {
    float m[4][4][L];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int64_t l = 0; l < L; ++l) m[i][j][l] = src[int64_t(4 * i + j) * pt + ch + l];
    // Rows of A^T m: m0 + m1 + m2, m1 - m2 - m3.
    float a[2][4][L];
    for (int j = 0; j < 4; ++j)
        for (int64_t l = 0; l < L; ++l) {
            a[0][j][l] = m[0][j][l] + m[1][j][l] + m[2][j][l];
            a[1][j][l] = m[1][j][l] - m[2][j][l] - m[3][j][l];
        }
    float r[4][L];
    for (int i = 0; i < 2; ++i)
        for (int64_t l = 0; l < L; ++l) {
            r[2 * i][l] = a[i][0][l] + a[i][1][l] + a[i][2][l];
            r[2 * i + 1][l] = a[i][1][l] - a[i][2][l] - a[i][3][l];
        }
    store_block<4, L>(r, ch, bias, relu, y);
}

// F(4x4, 3x3) with the points 0, 1, -1, 2, -2 and infinity. The
// intermediate sums are spelled out so every build evaluates them in this
// one order (no contraction: -ffp-contract=off).

// One column (or row) of B^T x for x = x0..x5.
template <int64_t L>
static inline void bt6(const float (&x)[6][L], float (&r)[6][L]) {
    for (int64_t l = 0; l < L; ++l) {
        const float t1 = x[4][l] - 4.0f * x[2][l], t2 = x[3][l] - 4.0f * x[1][l];
        const float t3 = x[4][l] - x[2][l], t4 = 2.0f * (x[3][l] - x[1][l]);
        r[0][l] = (4.0f * x[0][l] - 5.0f * x[2][l]) + x[4][l];
        r[1][l] = t1 + t2;
        r[2][l] = t1 - t2;
        r[3][l] = t3 + t4;
        r[4][l] = t3 - t4;
        r[5][l] = (4.0f * x[1][l] - 5.0f * x[3][l]) + x[5][l];
    }
}

// V = B^T d B for channels [ch, ch + L) of one 6x6 patch.
template <int64_t L>
static inline void input_block4(const float* const (&p)[6][6], int64_t ch, int64_t vt, float* dst) {
    float q[6][6][L];  // q[j] = B^T applied to column j of the patch
    for (int j = 0; j < 6; ++j) {
        float x[6][L];
        for (int i = 0; i < 6; ++i)
            for (int64_t l = 0; l < L; ++l) x[i][l] = p[i][j][ch + l];
        bt6<L>(x, q[j]);
    }
    for (int i = 0; i < 6; ++i) {
        float x[6][L], r[6][L];
        for (int j = 0; j < 6; ++j)
            for (int64_t l = 0; l < L; ++l) x[j][l] = q[j][i][l];
        bt6<L>(x, r);
        float* o = dst + int64_t(6 * i) * vt + ch;
        for (int j = 0; j < 6; ++j)
            for (int64_t l = 0; l < L; ++l) o[j * vt + l] = r[j][l];
    }
}

// One column (or row) of A^T m for m = m0..m5.
template <int64_t L>
static inline void at6(const float (&m)[6][L], float (&r)[4][L]) {
    for (int64_t l = 0; l < L; ++l) {
        const float s12 = m[1][l] + m[2][l], d12 = m[1][l] - m[2][l];
        const float s34 = m[3][l] + m[4][l], d34 = m[3][l] - m[4][l];
        r[0][l] = (m[0][l] + s12) + s34;
        r[1][l] = d12 + 2.0f * d34;
        r[2][l] = s12 + 4.0f * s34;
        r[3][l] = (d12 + 8.0f * d34) + m[5][l];
    }
}

// Y = A^T m A for channels [ch, ch + L) of one tile, + bias, ReLU; y[k] is
// output pixel (k / 4, k % 4) of the tile, null when outside the image.
template <int64_t L>
static inline void output_block4(const float* src, int64_t pt, int64_t ch, const float* bias, bool relu,
                          float* const (&y)[16]) {
    float a[6][4][L];  // a[j] = A^T applied to column j of m
    for (int j = 0; j < 6; ++j) {
        float m[6][L];
        for (int i = 0; i < 6; ++i)
            for (int64_t l = 0; l < L; ++l) m[i][l] = src[int64_t(6 * i + j) * pt + ch + l];
        at6<L>(m, a[j]);
    }
    float r[16][L];
    for (int i = 0; i < 4; ++i) {
        float m[6][L], o[4][L];
        for (int j = 0; j < 6; ++j)
            for (int64_t l = 0; l < L; ++l) m[j][l] = a[j][i][l];
        at6<L>(m, o);
        for (int k = 0; k < 4; ++k)
            for (int64_t l = 0; l < L; ++l) r[4 * i + k][l] = o[k][l];
    }
    store_block<16, L>(r, ch, bias, relu, y);
}

// Stride 2: the 3x3 kernel splits by the parity of its taps into four
// stride-1 convolutions over the input's row and column phases -- taps
// (even, even) a 2x2 kernel, (even, odd) 2x1, (odd, even) 1x2, (odd, odd)
// 1x1 -- and each two-tap direction runs F(2, 2): inputs d0..d2 become
// d0 - d1, d1, d2 - d1, taps g0, g1 become g0, g0 + g1, g1, and outputs are
// m0 + m1, m1 + m2. A 2x2 output tile then takes 9 + 3*2 + 2*3 + 4 = 25
// products per channel pair instead of 36, against 16 transformed weight
// matrices (the one-tap directions share theirs between the two outputs).
//
// Blocks of T rows (T tiles) in V and P, in product order:
//   0..8    (even, even) position 3i + j
//   9..14   (even, odd) transformed row i, column j at 9 + 2i + j
//   15..20  (odd, even) row i, transformed column j at 15 + 2j + i
//   21..24  (odd, odd) pixel (i, j) at 21 + 2i + j
// so the positions sharing a weight matrix are consecutive: 16 products,
// weight k over kS2Rows[k] blocks from kS2Block[k].
constexpr int kS2Blocks = 25, kS2Products = 16;
constexpr int kS2Block[kS2Products] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 13, 15, 17, 19, 21};
constexpr int kS2Rows[kS2Products] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 4};

// One F(2, 2) input triple: d0 - d1, d1, d2 - d1.
template <int64_t L>
static inline void bt3(const float* d0, const float* d1, const float* d2, float (&r)[3][L]) {
    for (int64_t l = 0; l < L; ++l) {
        r[0][l] = d0[l] - d1[l];
        r[1][l] = d1[l];
        r[2][l] = d2[l] - d1[l];
    }
}

// The 25 transformed values of channels [ch, ch + L) of one 5x5 patch (its
// even rows and columns are the two-tap phases).
template <int64_t L>
static inline void input_block_s2(const float* const (&p)[5][5], int64_t ch, int64_t vt, float* dst) {
    auto put = [&](int block, const float* x) {
        float* o = dst + int64_t(block) * vt + ch;
        for (int64_t l = 0; l < L; ++l) o[l] = x[l];
    };
    // (even, even): rows of the even columns, then along each row.
    float q[3][3][L];  // q[j]: column 2j transformed down its even rows
    for (int j = 0; j < 3; ++j) {
        float x[3][L];
        for (int i = 0; i < 3; ++i)
            for (int64_t l = 0; l < L; ++l) x[i][l] = p[2 * i][2 * j][ch + l];
        bt3<L>(x[0], x[1], x[2], q[j]);
    }
    for (int i = 0; i < 3; ++i) {
        float r[3][L];
        bt3<L>(q[0][i], q[1][i], q[2][i], r);
        for (int j = 0; j < 3; ++j) put(3 * i + j, r[j]);
    }
    // (even, odd): the odd columns down the even rows.
    for (int j = 0; j < 2; ++j) {
        float r[3][L];
        bt3<L>(p[0][2 * j + 1] + ch, p[2][2 * j + 1] + ch, p[4][2 * j + 1] + ch, r);
        for (int i = 0; i < 3; ++i) put(9 + 2 * i + j, r[i]);
    }
    // (odd, even): the odd rows along the even columns.
    for (int i = 0; i < 2; ++i) {
        float r[3][L];
        bt3<L>(p[2 * i + 1][0] + ch, p[2 * i + 1][2] + ch, p[2 * i + 1][4] + ch, r);
        for (int j = 0; j < 3; ++j) put(15 + 2 * j + i, r[j]);
    }
    // (odd, odd): the pixels themselves.
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) put(21 + 2 * i + j, p[2 * i + 1][2 * j + 1] + ch);
}

// The 2x2 outputs of channels [ch, ch + L) of one tile from its 25
// products: ((even, even) + (even, odd)) + (odd, even) + (odd, odd), each
// summed over its F(2, 2) directions; + bias, ReLU; y[k] is output pixel
// (k / 2, k % 2) of the tile, null when outside the output.
template <int64_t L>
static inline void output_block_s2(const float* src, int64_t pt, int64_t ch, const float* bias, bool relu,
                                   float* const (&y)[4]) {
    auto m = [&](int block, int64_t l) { return src[int64_t(block) * pt + ch + l]; };
    float r[4][L];
    for (int64_t l = 0; l < L; ++l) {
        float a[2][3];  // rows of A^T M over the (even, even) block
        for (int j = 0; j < 3; ++j) {
            a[0][j] = m(j, l) + m(3 + j, l);
            a[1][j] = m(3 + j, l) + m(6 + j, l);
        }
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) {
                const float ee = a[i][j] + a[i][j + 1];
                const float eo = m(9 + 2 * i + j, l) + m(9 + 2 * (i + 1) + j, l);
                const float oe = m(15 + 2 * j + i, l) + m(15 + 2 * (j + 1) + i, l);
                r[2 * i + j][l] = ((ee + eo) + oe) + m(21 + 2 * i + j, l);
            }
    }
    store_block<4, L>(r, ch, bias, relu, y);
}

// The input transform of every tile in [n0, n1): tile n's N x N patch
// starts kStep * (n / tw, n % tw) less the padding, and Wide and One
// transform kLanes channels and one. Patch pixels outside the image read a
// zero row, so the channel loop stays branch-free.
template <int N, int64_t kStep, int64_t kLanes, void (*Wide)(const float* const (&)[N][N], int64_t, int64_t, float*),
          void (*One)(const float* const (&)[N][N], int64_t, int64_t, float*)>
static void input_tiles(const float* in, const float* zeros, const WinoShape& s, int64_t n0, int64_t n1, float* v) {
    const int64_t c = s.cin, vt = s.tiles * c;  // stride between the blocks
    for (int64_t n = n0; n < n1; ++n) {
        const float* p[N][N];
        wino_patch_f32<N>(in, zeros, s, kStep * (n / s.tw + s.ty0), kStep * (n % s.tw), p);
        float* dst = v + n * c;
        int64_t ch = 0;
        for (; ch + kLanes <= c; ch += kLanes) Wide(p, ch, vt, dst);
        for (; ch < c; ++ch) One(p, ch, vt, dst);
    }
}

// The output transform of every tile in [n0, n1), + bias, ReLU, then `epi`,
// valid pixels only: tile n's M x M outputs start at M * (n / tw, n % tw),
// and Wide and One make kLanes channels and one of them.
template <int M, int64_t kLanes,
          void (*Wide)(const float*, int64_t, int64_t, const float*, bool, float* const (&)[M * M]),
          void (*One)(const float*, int64_t, int64_t, const float*, bool, float* const (&)[M * M])>
static void output_tiles(const float* pm, const float* bias, bool relu, const WinoShape& s, int64_t n0, int64_t n1,
                         float* out, const ConvEpilogueF32* epi) {
    const int64_t c = s.cout, pt = s.tiles * c;
    for (int64_t n = n0; n < n1; ++n) {
        const int64_t oy = M * (n / s.tw + s.ty0), ox = M * (n % s.tw);
        float* y[M * M];
        for (int k = 0; k < M * M; ++k) {
            const int64_t yy = oy + k / M, xx = ox + k % M;
            y[k] = yy < s.oh && xx < s.ow ? out + (yy * s.ow + xx) * c : nullptr;
        }
        const float* src = pm + n * c;
        int64_t ch = 0;
        for (; ch + kLanes <= c; ch += kLanes) Wide(src, pt, ch, bias, relu, y);
        for (; ch < c; ++ch) One(src, pt, ch, bias, relu, y);
        if (epi)
            for (float* yk : y)
                if (yk) conv_epilogue_f32(*epi, yk, yk - out, c);
    }
}

// The three phases of each variant: input transform by tile, the
// products (one per position), output transform by tile; each phase is a
// run of the strip pool (tiles in a few strips per thread, one product per
// strip, computed on its thread alone), and a thread the OS runs late takes
// fewer strips instead of holding up the phase.
constexpr int64_t kWinoTileStripsPerThread = 4;

// Bytes of transformed input and products a band of tile rows may hold
// (one tile row at least): a band then stays in its thread's cache between
// its phases.
constexpr int64_t kWinoBandBytes = int64_t(512) << 10;

// kBlocks blocks of T rows in V and P; `products` products, product k
// multiplying rows[k] blocks from block[k] (null: one block each, in order)
// by u[k].
template <int kBlocks, class In, class Out>
static void run_phases(const float* in, const float* const* u, const float* bias, float* out, bool relu,
                       const WinoShape& s, float* v, const ConvEpilogueF32* epi, In input, Out output,
                       int products = kBlocks, const int* block = nullptr, const int* rows = nullptr) {
    const std::vector<float> zeros(size_t(s.cin), 0.0f);
    const int32_t ci = int32_t(s.cin), co = int32_t(s.cout);
    const int team = strip_team();
    // Product k of a pass over `tiles` tiles, from its blocks in pv to pp.
    auto product = [&](int k, const float* pv, float* pp, int64_t tiles) {
        const int64_t b = block ? block[k] : k, r = rows ? rows[k] : 1;
        gemm_f32_plain(pv + b * tiles * s.cin, u[k], pp + b * tiles * s.cout, int32_t(r * tiles), ci, co);
    };
    // An image whose blocks would not stay in cache between the phases
    // (32 -> 64 channels at 147x147 hold 19 MB for F(4x4)) goes in bands
    // of tile rows, each taken through all three phases by one thread in
    // its own part of the scratch, two bands per thread at least, when the
    // weights are small enough to stay in cache too (each band reads all of
    // them; wide layers' bands would be too few rows to pay for that). Each
    // tile's sums are the same in any band.
    const int64_t tile_rows = s.tiles / s.tw;
    const int64_t row_floats = kBlocks * s.tw * (s.cin + s.cout);
    const int64_t band = std::max<int64_t>(1, kWinoBandBytes / (row_floats * int64_t(sizeof(float))));
    const int64_t weight_bytes = products * s.cin * s.cout * int64_t(sizeof(float));
    if (weight_bytes <= kWinoBandBytes && tile_rows >= 2 * band * team) {
        const int64_t bands = (tile_rows + band - 1) / band;
        run_strips(bands, team, [&](int64_t b, int worker) {
            WinoShape sb = s;
            sb.ty0 = b * band;
            sb.tiles = std::min<int64_t>(band, tile_rows - sb.ty0) * s.tw;
            float* vb = v + worker * band * row_floats;
            float* pb = vb + kBlocks * sb.tiles * s.cin;
            input(in, zeros.data(), sb, 0, sb.tiles, vb);
            for (int k = 0; k < products; ++k) product(k, vb, pb, sb.tiles);
            output(pb, bias, relu, sb, 0, sb.tiles, out, epi);
        });
        return;
    }
    float* pm = v + kBlocks * s.tiles * s.cin;
    const int strips = int(std::min<int64_t>(s.tiles, team * kWinoTileStripsPerThread));
    run_strips(strips, team, [&](int64_t i, int) {
        const SplitRange tiles = balanced_split(s.tiles, strips, int(i));
        input(in, zeros.data(), s, tiles.begin, tiles.end, v);
    });
    // Largest products first (they are listed smallest first), so the last
    // strips to start are short ones.
    run_strips(products, team, [&](int64_t i, int) { product(int(products - 1 - i), v, pm, s.tiles); });
    run_strips(strips, team, [&](int64_t i, int) {
        const SplitRange tiles = balanced_split(s.tiles, strips, int(i));
        output(pm, bias, relu, s, tiles.begin, tiles.end, out, epi);
    });
}

// The phases of F(m x m, 3x3), m = 2 or 4, or of the stride-2 form
// (m = kWinoStride2), with channel blocks of kLanes, on an h x w input
// padded by pad_h, pad_w; the caller has checked the output is not empty.
template <int64_t kLanes>
static void conv2d_f32_wino_phases(int32_t m, const float* in, const float* const* u, const float* bias,
                                   float* out, int64_t cin, int64_t h, int64_t w, int64_t cout, int64_t pad_h,
                                   int64_t pad_w, bool relu, float* v, const ConvEpilogueF32* epi) {
    const int64_t stride = m == kWinoStride2 ? 2 : 1, tile = m == kWinoStride2 ? 2 : m;
    WinoShape s{cin, cout, h, w, pad_h, pad_w, (h + 2 * pad_h - 3) / stride + 1, (w + 2 * pad_w - 3) / stride + 1,
                0, 0};
    s.tw = (s.ow + tile - 1) / tile;
    s.tiles = ((s.oh + tile - 1) / tile) * s.tw;
    // Each variant's tile loops: patch size and step, output tile size.
    if (m == kWinoStride2)  // 2x2 output tiles whose 5x5 patches start 4 pixels apart
        run_phases<kS2Blocks>(in, u, bias, out, relu, s, v, epi,
                              input_tiles<5, 4, kLanes, input_block_s2<kLanes>, input_block_s2<1>>,
                              output_tiles<2, kLanes, output_block_s2<kLanes>, output_block_s2<1>>, kS2Products,
                              kS2Block, kS2Rows);
    else if (m == 4)
        run_phases<36>(in, u, bias, out, relu, s, v, epi,
                       input_tiles<6, 4, kLanes, input_block4<kLanes>, input_block4<1>>,
                       output_tiles<4, kLanes, output_block4<kLanes>, output_block4<1>>);
    else
        run_phases<16>(in, u, bias, out, relu, s, v, epi,
                       input_tiles<4, 2, kLanes, input_block<kLanes>, input_block<1>>,
                       output_tiles<2, kLanes, output_block<kLanes>, output_block<1>>);
}

}  // namespace vantrel
