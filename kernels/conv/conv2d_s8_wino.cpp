#include "kernels/conv/conv2d_s8_wino.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/conv/conv2d_s8_wino_rescale.h"
#include "kernels/conv/wino_patch.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

namespace {

struct WinoShape {
    int64_t cin, cout, h, w, tw, tiles;
};

// Channels per block of the transforms: fixed-length lane loops that the
// compiler turns into vector code; integer lanes, so blocking changes nothing.
constexpr int64_t kInLanes = 16;
constexpr int64_t kOutLanes = 4;

inline int8_t narrow_quarter(int32_t v) {
    const int32_t q = (v + 2) >> 2;
    return int8_t(q < -128 ? -128 : (q > 127 ? 127 : q));
}

// V = B^T d B for channels [ch, ch + L) of one tile in 16-bit lanes, then
// narrowed by the rounding shift of 2; p[i][j] is patch pixel (i, j).
template <int64_t L>
inline void input_block(const int8_t* const (&p)[4][4], int64_t ch, int64_t vt, int8_t* dst) {
    int16_t q[4][4][L];
    // Rows of B^T d: r0 - r2, r1 + r2, r2 - r1, r1 - r3.
    for (int j = 0; j < 4; ++j)
        for (int64_t l = 0; l < L; ++l) {
            const int16_t d0 = p[0][j][ch + l], d1 = p[1][j][ch + l], d2 = p[2][j][ch + l],
                          d3 = p[3][j][ch + l];
            q[0][j][l] = int16_t(d0 - d2);
            q[1][j][l] = int16_t(d1 + d2);
            q[2][j][l] = int16_t(d2 - d1);
            q[3][j][l] = int16_t(d1 - d3);
        }
    // Then the same combination along the columns.
    for (int i = 0; i < 4; ++i) {
        int8_t* o = dst + int64_t(4 * i) * vt + ch;
        for (int64_t l = 0; l < L; ++l) {
            o[l] = narrow_quarter(q[i][0][l] - q[i][2][l]);
            o[vt + l] = narrow_quarter(q[i][1][l] + q[i][2][l]);
            o[2 * vt + l] = narrow_quarter(q[i][2][l] - q[i][1][l]);
            o[3 * vt + l] = narrow_quarter(q[i][1][l] - q[i][3][l]);
        }
    }
}

// Bound of a rescaled product: nine of them plus a 32-bit bias stay below
// 2^63, so the output transform cannot overflow 64 bits.
constexpr int64_t kRescaleLimit = kWinoRescaleLimit;

// Steps 2 and 3 of requantize: saturating rounding doubling high multiply,
// then the rounding shift, in 64 bits. A left shift saturates at
// +-kRescaleLimit rather than wrapping: a scale the layer derives from int8
// weights shifts by at most 4, so only a foreign scale ever reaches the cap.
inline int64_t rescale(int32_t x, int32_t m, int32_t e) {
    int32_t t;
    if (x == INT32_MIN && m == INT32_MIN) {
        t = INT32_MAX;
    } else {
        const int64_t p = int64_t(x) * int64_t(m);
        t = int32_t((2 * p + (int64_t(1) << 31)) >> 32);
    }
    if (e >= 0) {
        const int c = e > 58 ? 58 : e;
        const int64_t cap = kRescaleLimit >> c;  // largest |t| that shifts exactly
        return t > cap ? kRescaleLimit : t < -cap ? -kRescaleLimit : int64_t(t) * (int64_t(1) << c);
    }
    const int s = e < -32 ? 32 : -e;
    return (int64_t(t) + (int64_t(1) << (s - 1))) >> s;
}

// Y + bias, exact in 64 bits, saturated to 32 bits for the requantize steps.
// Where the true sum fits 32 bits this equals the wrapping sum of the
// integer pipeline; beyond, it keeps the sign instead of wrapping.
inline int32_t saturate32(int64_t v) {
    return int32_t(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);
}

// Y = A^T r A for channels [ch, ch + L) of one tile in exact 64-bit sums,
// then requantize; y[k] is output pixel (k / 2, k % 2) of the tile, null
// when outside the image.
template <int64_t L>
inline void output_block(const int32_t* src, int64_t pt, int64_t ch, const WinoS8Output& op,
                         int8_t* const (&y)[4]) {
    int64_t r[4][4][L];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            const int t = 4 * i + j;
            const int32_t* row = src + int64_t(t) * pt + ch;
            for (int64_t l = 0; l < L; ++l) r[i][j][l] = rescale(row[l], op.pos_multiplier[t], op.pos_shift[t]);
        }
    // Rows of A^T r: r0 + r1 + r2, r1 - r2 - r3.
    int64_t a[2][4][L];
    for (int j = 0; j < 4; ++j)
        for (int64_t l = 0; l < L; ++l) {
            a[0][j][l] = r[0][j][l] + r[1][j][l] + r[2][j][l];
            a[1][j][l] = r[1][j][l] - r[2][j][l] - r[3][j][l];
        }
    for (int i = 0; i < 2; ++i)
        for (int64_t l = 0; l < L; ++l) {
            const int64_t o = ch + l;
            // As on the other int8 paths, bits above the bias's low word do not count.
            const int64_t b = op.wino_bias ? int32_t(uint32_t(uint64_t(op.wino_bias[o]))) : 0;
            const int32_t y0 = saturate32(a[i][0][l] + a[i][1][l] + a[i][2][l] + b);
            const int32_t y1 = saturate32(a[i][1][l] - a[i][2][l] - a[i][3][l] + b);
            if (y[2 * i]) y[2 * i][o] = requantize(y0, 0, op.multiplier[o], op.shift[o], op.out_zp);
            if (y[2 * i + 1]) y[2 * i + 1][o] = requantize(y1, 0, op.multiplier[o], op.shift[o], op.out_zp);
        }
}

// Tiles per chunk: a chunk's transformed inputs (16 cin bytes a tile) and
// products (64 cout bytes) are laid out compactly and stay in L2 from one
// phase to the next, where the whole image's would go out to memory and
// back. Several of the GEMM's 12-row tiles, since each product call also
// sums its weights once.
constexpr int64_t kChunkBytes = 512 * 1024;
int64_t chunk_tiles(const WinoShape& s) {
    const int64_t per_tile = 16 * (s.cin + 4 * s.cout);
    return std::max<int64_t>(24, kChunkBytes / per_tile / 12 * 12);
}

// All three phases for tiles [n0, n1), chunk by chunk. v and pm hold
// 16 * (n1 - n0) rows of cin bytes and of cout int32 (the range's own part
// of the scratch areas); a chunk of nc tiles uses the first 16 * nc of each,
// as [16][nc][cin] and [16][nc][cout].
void run_tiles(const int8_t* in, const int8_t* zp_row, const int8_t* const u[16], const WinoShape& s,
               const WinoS8Output& op, int64_t n0, int64_t n1, int8_t* v, int32_t* pm) {
    // Chunks of nearly equal size, their count rounded to the nearest: 49
    // tiles as 25 and 24, not 24, 24 and one tile that streams all 16
    // weight matrices for a single row.
    const int64_t n = n1 - n0, nb = chunk_tiles(s);
    if (n <= 0) return;
    const int64_t chunks = std::max<int64_t>(1, (2 * n + nb) / (2 * nb));
    WinoS8Output o = op;
    o.pm = pm;
    for (int64_t ci = 0; ci < chunks; ++ci) {
        const int64_t c0 = n0 + ci * n / chunks, c1 = n0 + (ci + 1) * n / chunks, nc = c1 - c0;
        conv2d_s8_wino_input(in, zp_row, s.h, s.w, s.cin, s.tw, nc * s.cin, c0, c1, v);
        for (int64_t t = 0; t < 16; ++t)
            gemm_s8_s32(v + t * nc * s.cin, u[t], pm + t * nc * s.cout, int32_t(nc), int32_t(s.cin),
                        int32_t(s.cout));
        o.pos_stride = nc * s.cout;
        conv2d_s8_wino_output(o, c0, c1);
    }
}

// Products and output stage of every tile for output channels [c0, c1)
// (c0 on a packed panel), from the whole image's V as [16][tiles][cin].
// The slice's products sit at pm + 16 * tiles * c0 as [16][tiles][c1 - c0],
// inside the [16][tiles][cout] area.
void run_channels(const int8_t* v, const int8_t* const u[16], const WinoShape& s, const WinoS8Output& op,
                  int64_t c0, int64_t c1, int32_t* pm) {
    if (c1 <= c0) return;
    const int64_t nc = c1 - c0;
    const int64_t panel_bytes = (s.cin + 3) / 4 * 32;  // one packed panel of 8 channels
    int32_t* p = pm + 16 * s.tiles * c0;
    for (int64_t t = 0; t < 16; ++t)
        gemm_s8_s32(v + t * s.tiles * s.cin, u[t] + c0 / 8 * panel_bytes, p + t * s.tiles * nc,
                    int32_t(s.tiles), int32_t(s.cin), int32_t(nc));
    WinoS8Output o = op;
    o.pm = p;
    o.pos_stride = s.tiles * nc;
    o.cout = nc;
    o.out = op.out + c0;
    o.multiplier = op.multiplier + c0;
    o.shift = op.shift + c0;
    o.wino_bias = op.wino_bias ? op.wino_bias + c0 : nullptr;
    conv2d_s8_wino_output(o, 0, s.tiles);
}

}  // namespace

void conv2d_s8_wino_input_portable(VANTREL_WINO_S8_INPUT_ARGS) {
    for (int64_t n = n0; n < n1; ++n) {
        const int8_t* p[4][4];
        wino_patch(in, zp_row, h, w, c, tw, n, p);
        int8_t* dst = v + (n - n0) * c;
        int64_t ch = 0;
        for (; ch + kInLanes <= c; ch += kInLanes) input_block<kInLanes>(p, ch, vt, dst);
        for (; ch < c; ++ch) input_block<1>(p, ch, vt, dst);
    }
}

void conv2d_s8_wino_output_portable(VANTREL_WINO_S8_OUTPUT_ARGS) {
    const int64_t c = o.cout;
    for (int64_t n = n0; n < n1; ++n) {
        int8_t* y[4];
        wino_s8_tile_outputs(o, n, y);
        const int32_t* src = o.pm + (n - n0) * c;
        int64_t ch = 0;
        for (; ch + kOutLanes <= c; ch += kOutLanes) output_block<kOutLanes>(src, o.pos_stride, ch, o, y);
        for (; ch < c; ++ch) output_block<1>(src, o.pos_stride, ch, o, y);
    }
}

void k_conv2d_s8_wino(const int8_t* in, const int8_t* const u[16], const float u_scale[16],
                      const int64_t* wino_bias, const int32_t* multiplier, const int32_t* shift,
                      const float*, int8_t in_zp, float input_transform_scale, int8_t out_zp,
                      int8_t* out, int32_t cin, int32_t h, int32_t w_in, int32_t cout,
                      int8_t* scratch0, int32_t* scratch1, const int32_t* const*, void*) {
    if (cin <= 0 || cout <= 0 || h <= 0 || w_in <= 0) return;
    WinoShape s{cin, cout, h, w_in, (int64_t(w_in) + 1) / 2, 0};
    s.tiles = ((int64_t(h) + 1) / 2) * s.tw;
    if (s.tiles > INT32_MAX)
        throw std::runtime_error("k_conv2d_s8_wino: " + std::to_string(s.tiles) +
                                 " tiles exceed the GEMM's 32-bit extents");
    for (int t = 0; t < 16; ++t)
        if (!u[t]) throw std::runtime_error("k_conv2d_s8_wino: missing weights of position " + std::to_string(t));
    WinoS8Output op{};
    op.wino_bias = wino_bias;
    op.multiplier = multiplier;
    op.shift = shift;
    op.out_zp = out_zp;
    op.cout = s.cout;
    op.h = s.h;
    op.w = s.w;
    op.tw = s.tw;
    op.product_bound = int64_t(s.cin) * 128 * 128;
    op.out = out;
    op.out_ld = s.cout;
    op.pos_stride = s.tiles * s.cout;
    for (int t = 0; t < 16; ++t) {
        const float pos_scale = (1.0f / input_transform_scale) * u_scale[t];
        if (!std::isfinite(pos_scale))
            throw std::runtime_error("k_conv2d_s8_wino: scale of position " + std::to_string(t) +
                                     " is not finite");
        const QuantMultiplier q = quantize_multiplier(pos_scale);
        op.pos_multiplier[t] = q.multiplier;
        op.pos_shift[t] = q.shift;
    }
    std::vector<int8_t> own_v;
    std::vector<int32_t> own_p;
    if (!scratch0) {
        own_v.resize(size_t(16 * s.tiles * s.cin));
        scratch0 = own_v.data();
    }
    if (!scratch1) {
        own_p.resize(size_t(16 * s.tiles * s.cout));
        scratch1 = own_p.data();
    }
    const std::vector<int8_t> zp_row(size_t(cin), in_zp);
    op.pm = scratch1;

    const int nt = strip_team();
    if (nt < 2) {
        run_tiles(in, zp_row.data(), u, s, op, 0, s.tiles, scratch0, scratch1);
        return;
    }
    // Few tiles (the small late images with many channels): split the
    // channels, so each thread reads its own part of the weights, not all of
    // them for a handful of rows; the transform is shared, so it comes first
    // on its own. Otherwise each thread owns a tile range end to end.
    auto shares = [&](auto&& fn) {
        run_strips(nt, nt, [&](int64_t t, int) { fn(int(t)); });
    };
    if (s.tiles < s.cout) {
        shares([&](int t) {
            const SplitRange tiles = proportional_split(s.tiles, nt, t);
            conv2d_s8_wino_input(in, zp_row.data(), s.h, s.w, s.cin, s.tw, s.tiles * s.cin, tiles.begin,
                                 tiles.end, scratch0 + tiles.begin * s.cin);
        });
        // Slices of 16 channels, the vector paths' widest step.
        shares([&](int t) {
            const SplitRange blocks = proportional_split((s.cout + 15) / 16, nt, t);
            run_channels(scratch0, u, s, op, blocks.begin * 16, std::min(s.cout, blocks.end * 16), scratch1);
        });
        return;
    }
    shares([&](int t) {
        const SplitRange tiles = proportional_split(s.tiles, nt, t);
        run_tiles(in, zp_row.data(), u, s, op, tiles.begin, tiles.end, scratch0 + 16 * tiles.begin * s.cin,
                  scratch1 + 16 * tiles.begin * s.cout);
    });
}

}  // namespace vantrel
