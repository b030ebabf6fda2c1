// Pixel loop shared by every depthwise path: geometry, the thread split of
// output rows and the list of taps inside the image for each output pixel.
// Each path supplies Pixel::run(taps, tap_index, ntaps, w_taps, bias, out,
// cout, mult, relu), which computes the cout outputs of one pixel; taps[i]
// points at channel 0 of the input pixel of valid tap i, whose weights are
// the row w_taps + tap_index[i] * cout.
//
// An epilogue (gemm_f32_epilogue.h), when given, runs on each pixel's cout
// outputs right after they are written.
//
// The template is static so each instruction-set file keeps its own copy.

// Defines conv2d_f32_depthwise_<path> and conv2d_f32_depthwise_epi_<path>
// on a Pixel.
#define VANTREL_DEPTHWISE_F32_ENTRY_POINTS(path, Pixel)                                               \
    void conv2d_f32_depthwise_epi_##path(VANTREL_DEPTHWISE_F32_ARGS, const ConvEpilogueF32* epi) {   \
        depthwise_f32<Pixel>(in, w_taps, bias, out, cin, h, w_in, cout, kh, kw, stride_h, stride_w,    \
                             pad_h, pad_w, dilation_h, dilation_w, relu, epi);                        \
    }                                                                                                 \
    void conv2d_f32_depthwise_##path(VANTREL_DEPTHWISE_F32_ARGS) {                                    \
        conv2d_f32_depthwise_epi_##path(in, w_taps, bias, out, cin, h, w_in, cout, kh, kw, stride_h,  \
                                        stride_w, pad_h, pad_w, dilation_h, dilation_w, relu, stream, \
                                        nullptr);                                                     \
    }
#pragma once
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "kernels/conv/im2col_f32.h"
#include "kernels/gemm/gemm_f32_epilogue.h"
#include "kernels/quantize.h"

namespace vantrel {

// Whether a path has Pixel::span, which computes a run of consecutive
// output pixels of one row that read the same tap columns (multiplier 1
// only): span(rows, tap_base, nrows, nkx, dil_c, step_c, w_taps, bias, out,
// cout, npix, relu), where rows[j] points at the input of the first read tap
// of valid tap row j for the run's first pixel and tap_base[j] is that tap's
// index ky * kw + kx0; the run reads taps kx0 .. kx0 + nkx - 1. Sharing each
// weight vector between several pixels is what makes such a path fast; it
// sums the same terms in the same order as run().
// A path's span() in blocks of its span_block<P>: each width of Ws in turn
// as often as it fits, then single pixels.
template <class Pixel, int... Ws>
inline void depthwise_span_blocks(const float* const* rows, const int64_t* tap_base, int nrows, int64_t nkx,
                                  int64_t dil_c, int64_t step_c, const float* w_taps, const float* bias,
                                  float* out, int64_t cout, int64_t npix, bool relu) {
    int64_t p = 0;
    auto blocks = [&](auto width) {
        constexpr int P = decltype(width)::value;
        for (; p + P <= npix; p += P)
            Pixel::template span_block<P>(rows, tap_base, nrows, nkx, dil_c, step_c, p * step_c, w_taps, bias,
                                          out + p * cout, cout, relu);
    };
    (blocks(std::integral_constant<int, Ws>{}), ...);
    blocks(std::integral_constant<int, 1>{});
}

template <class Pixel, class = void>
struct depthwise_has_span : std::false_type {};
template <class Pixel>
struct depthwise_has_span<Pixel, std::void_t<decltype(&Pixel::span)>> : std::true_type {};

template <class Pixel>
static void depthwise_rows_f32(const float* in, const float* w_taps, const float* bias,
                               float* out, const Conv2dGeometry& g, int64_t cout, bool relu,
                               int64_t oy0, int64_t oy1, const ConvEpilogueF32* epi) {
    const int64_t c = g.c_total, mult = cout / c;
    if constexpr (depthwise_has_span<Pixel>::value) {
        if (mult == 1) {
            std::vector<const float*> at(size_t(g.kh));
            std::vector<int64_t> iy_of(size_t(g.kh)), base(size_t(g.kh)), tb(size_t(g.kh));
            // Output columns [lo, hi) read every tap column.
            const int64_t lo = std::min(g.ow, (g.pad_w + g.stride_w - 1) / g.stride_w);
            const int64_t last = g.w - 1 + g.pad_w - (g.kw - 1) * g.dil_w;  // largest ox * stride_w
            const int64_t hi = last < 0 ? lo : std::max(lo, std::min(g.ow, last / g.stride_w + 1));
            for (int64_t oy = oy0; oy < oy1; ++oy) {
                int nrows = 0;
                for (int64_t ky = 0; ky < g.kh; ++ky) {
                    const int64_t iy = oy * g.stride_h - g.pad_h + ky * g.dil_h;
                    if (iy < 0 || iy >= g.h) continue;
                    iy_of[size_t(nrows)] = iy;
                    base[size_t(nrows)] = ky * g.kw;
                    ++nrows;
                }
                // Pixels [ox, ox + np) reading tap columns [kx0, kx0 + nkx).
                auto run = [&](int64_t ox, int64_t np, int64_t kx0, int64_t nkx) {
                    const int64_t ix = ox * g.stride_w - g.pad_w + kx0 * g.dil_w;
                    for (int j = 0; j < nrows; ++j) {
                        at[size_t(j)] = in + (iy_of[size_t(j)] * g.w + ix) * c;
                        tb[size_t(j)] = base[size_t(j)] + kx0;
                    }
                    const int64_t flat = (oy * g.ow + ox) * cout;
                    Pixel::span(at.data(), tb.data(), nrows, nkx, g.dil_w * c, g.stride_w * c, w_taps, bias,
                                out + flat, cout, np, relu);
                    if (epi)
                        for (int64_t p = 0; p < np; ++p)
                            conv_epilogue_f32(*epi, out + flat + p * cout, flat + p * cout, cout);
                };
                // A border pixel reads the tap columns inside the image, a contiguous range.
                auto border = [&](int64_t ox) {
                    int64_t kx0 = 0, kx1 = g.kw;
                    const int64_t x0 = ox * g.stride_w - g.pad_w;
                    while (kx0 < g.kw && x0 + kx0 * g.dil_w < 0) ++kx0;
                    while (kx1 > kx0 && x0 + (kx1 - 1) * g.dil_w >= g.w) --kx1;
                    run(ox, 1, kx0, kx1 - kx0);
                };
                for (int64_t ox = 0; ox < lo; ++ox) border(ox);
                // Pieces of 16 pixels keep the outputs in cache for the epilogue.
                for (int64_t p0 = lo; p0 < hi; p0 += 16) run(p0, std::min<int64_t>(16, hi - p0), 0, g.kw);
                for (int64_t ox = hi; ox < g.ow; ++ox) border(ox);
            }
            return;
        }
    }
    std::vector<const float*> taps(size_t(g.kh * g.kw));
    std::vector<int64_t> index(size_t(g.kh * g.kw));
    for (int64_t oy = oy0; oy < oy1; ++oy) {
        for (int64_t ox = 0; ox < g.ow; ++ox) {
            int n = 0;
            for (int64_t ky = 0; ky < g.kh; ++ky) {
                const int64_t iy = oy * g.stride_h - g.pad_h + ky * g.dil_h;
                if (iy < 0 || iy >= g.h) continue;
                for (int64_t kx = 0; kx < g.kw; ++kx) {
                    const int64_t ix = ox * g.stride_w - g.pad_w + kx * g.dil_w;
                    if (ix < 0 || ix >= g.w) continue;
                    taps[size_t(n)] = in + (iy * g.w + ix) * c;
                    index[size_t(n)] = ky * g.kw + kx;
                    ++n;
                }
            }
            const int64_t flat = (oy * g.ow + ox) * cout;
            Pixel::run(taps.data(), index.data(), n, w_taps, bias, out + flat, cout, mult, relu);
            if (epi) conv_epilogue_f32(*epi, out + flat, flat, cout);
        }
    }
}

template <class Pixel>
static void depthwise_f32(const float* in, const float* w_taps, const float* bias, float* out,
                          int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t kh,
                          int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                          int32_t pad_w, int32_t dilation_h, int32_t dilation_w, bool relu,
                          const ConvEpilogueF32* epi) {
    if (epi && !epi->active()) epi = nullptr;
    if (cin <= 0 || cout <= 0 || h <= 0 || w_in <= 0) return;
    if (cout % cin != 0)
        throw std::runtime_error("conv2d_f32_depthwise: output channels " + std::to_string(cout) +
                                 " are not a multiple of input channels " + std::to_string(cin));
    const Conv2dGeometry g =
        conv2d_geometry(cin, h, w_in, kh, kw, stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w);
    if (g.oh <= 0 || g.ow <= 0) return;
    const int threads = omp_get_max_threads();
    if (threads < 2) {
        depthwise_rows_f32<Pixel>(in, w_taps, bias, out, g, cout, relu, 0, g.oh, epi);
        return;
    }
#pragma omp parallel num_threads(threads)
    {
        SplitRange rows = balanced_split(g.oh, omp_get_num_threads(), omp_get_thread_num());
        depthwise_rows_f32<Pixel>(in, w_taps, bias, out, g, cout, relu, rows.begin, rows.end, epi);
    }
}

// One output channel, the reference order every path follows.
static inline float depthwise_channel_f32(const float* const* taps, const int64_t* index, int n,
                                          const float* w_taps, const float* bias, int64_t o,
                                          int64_t ci, int64_t cout, bool relu) {
    float s = 0.0f;
    for (int i = 0; i < n; ++i) s = std::fmaf(taps[i][ci], w_taps[index[i] * cout + o], s);
    if (bias) s = s + bias[o];
    if (relu) s = s > 0.0f ? s : 0.0f;
    return s;
}

}  // namespace vantrel
