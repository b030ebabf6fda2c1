#include "kernels/conv/conv2d_f32.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/cpu_kernels.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/conv/im2col_f32.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

namespace {
struct Im2colBuffer;  // tags the im2col buffer of calls without scratch
struct ChunkBuffer;   // tags the im2col chunks of the threads
struct PadBuffer;     // tags the zero-padded input of the in-place product

// The chunked form: when the packed weights are small enough to stay in
// cache across chunks, each thread builds the im2col rows of a chunk of
// output pixels in its own small buffer and multiplies it at once, instead of
// writing the whole matrix to memory and reading it back (the 7x7 stem's
// matrix is 7 MB at 224 x 224). Chunks are multiples of 24 rows, whole tiles
// of every path; every output is still the GEMM's, whatever the tiling.
constexpr int64_t kChunkBytes = 128 * 1024;
constexpr int64_t kChunkWeightBytes = 256 * 1024;
constexpr int64_t kChunkRowMultiple = 24;
// Output rows of the whole im2col matrix come in a few strips per thread.
constexpr int64_t kIm2colStripsPerThread = 4;

int64_t chunk_pixels(int64_t k) {
    const int64_t rows = kChunkBytes / (k * int64_t(sizeof(float))) / kChunkRowMultiple * kChunkRowMultiple;
    return rows > kChunkRowMultiple ? rows : kChunkRowMultiple;
}

// Output pixels [p0, p1) through one chunk buffer, on the calling thread.
void conv_chunk(const float* in, const Conv2dGeometry& g, const float* bp, const float* bias, float* out,
                bool relu, int64_t k, int32_t cout, int64_t p0, int64_t p1, const ConvEpilogueF32* epi,
                float* a) {
    im2col_pixels_f32(in, g, p0, p1, a);
    ConvEpilogueF32 local;
    if (epi) {
        // The epilogue indexes the whole output; this call sees it from p0.
        local = *epi;
        const int64_t shift = p0 * cout;
        if (local.residual) local.residual += shift;
        local.relu_tail_from -= shift;
    }
    gemm_f32_epi(a, bp, bias, out + p0 * cout, relu, int32_t(p1 - p0), int32_t(k), cout, false,
                 epi ? &local : nullptr);
}

// Windows over few channels (the 7x7 stem over RGB): an im2col row is then
// kh runs of kw*cin floats that lie contiguous in the input, and gathering
// them costs about a quarter of the product. Where the path has
// gemm_f32_rows, the product reads them in place from a zero-padded copy of
// the input instead, one output row at a time; the padding supplies the
// zeros im2col would, so every output is the same sum.
constexpr int64_t kInPlaceMaxChannels = 4;

bool in_place_fits(const Conv2dGeometry& g, int64_t cin, int64_t k, int32_t cout) {
    return cpu_kernels().gemm_f32_rows && cin <= kInPlaceMaxChannels && g.dil_h == 1 && g.dil_w == 1 &&
           cout * k * int64_t(sizeof(float)) <= kChunkWeightBytes;
}

// Rows [y0, y1) of the padded input: pad_w zeros, the input row (or zeros
// in the padding rows), pad_w zeros.
void pad_rows(const float* in, const Conv2dGeometry& g, int64_t y0, int64_t y1, float* padded) {
    const int64_t c = g.c_total, wp = g.w + 2 * g.pad_w;
    for (int64_t y = y0; y < y1; ++y) {
        float* row = padded + y * wp * c;
        const int64_t iy = y - g.pad_h;
        if (iy < 0 || iy >= g.h) {
            std::memset(row, 0, size_t(wp * c) * sizeof(float));
            continue;
        }
        std::memset(row, 0, size_t(g.pad_w * c) * sizeof(float));
        std::memcpy(row + g.pad_w * c, in + iy * g.w * c, size_t(g.w * c) * sizeof(float));
        std::memset(row + (g.pad_w + g.w) * c, 0, size_t(g.pad_w * c) * sizeof(float));
    }
}

void conv_in_place_row(const float* padded, const Conv2dGeometry& g, const float* bp, const float* bias,
                       float* out, bool relu, int64_t k, int32_t cout, int64_t oy, const ConvEpilogueF32* epi) {
    const int64_t c = g.c_total, wp = g.w + 2 * g.pad_w;
    ConvEpilogueF32 local;
    const int64_t shift = oy * g.ow * cout;
    if (epi) {
        local = *epi;  // indexes the whole output; this call sees it from row oy
        if (local.residual) local.residual += shift;
        local.relu_tail_from -= shift;
    }
    cpu_kernels().gemm_f32_rows(padded + oy * g.stride_h * wp * c, g.stride_w * c, g.kw * c, wp * c, bp, bias,
                                out + shift, relu, int32_t(g.ow), int32_t(k), cout, epi ? &local : nullptr);
}

void conv_in_place(const float* in, const Conv2dGeometry& g, const float* bp, const float* bias, float* out,
                   bool relu, int64_t k, int32_t cout, const ConvEpilogueF32* epi, int threads) {
    const int64_t hp = g.h + 2 * g.pad_h, wp = g.w + 2 * g.pad_w;
    float* padded = conv_thread_floats<PadBuffer>(hp * wp * g.c_total);
    // Padded once, by every thread a share of the rows (one thread copying
    // the whole image held the others for 2 to 3% of the stem), then output
    // rows from the strip pool.
    run_shares(hp, threads, [&](int64_t y0, int64_t y1) { pad_rows(in, g, y0, y1, padded); });
    run_strips(g.oh, threads, [&](int64_t oy, int) {
        conv_in_place_row(padded, g, bp, bias, out, relu, k, cout, oy, epi);
    });
}
}  // namespace

void reorder_conv_weights_f32(const float* w, float* r, int32_t cout, int32_t cin_g, int32_t kh,
                              int32_t kw) {
    reorder_conv_weights_taps(w, r, cout, cin_g, int64_t(kh) * kw);
}

void k_conv2d_f32(const float* in, const float* w, const float* bias, float* out, int32_t cin,
                  int32_t h, int32_t w_in, int32_t cout, int32_t kh, int32_t kw, int32_t stride_h,
                  int32_t stride_w, int32_t pad_h, int32_t pad_w, bool relu, const float* bp,
                  float* scratch, int32_t dilation_h, int32_t dilation_w, void*) {
    conv2d_f32_epi(in, w, bias, out, cin, h, w_in, cout, kh, kw, stride_h, stride_w, pad_h, pad_w, relu, bp,
                   scratch, dilation_h, dilation_w, nullptr);
}

void conv2d_f32_epi(const float* in, const float* w, const float* bias, float* out, int32_t cin,
                    int32_t h, int32_t w_in, int32_t cout, int32_t kh, int32_t kw, int32_t stride_h,
                    int32_t stride_w, int32_t pad_h, int32_t pad_w, bool relu, const float* bp,
                    float* scratch, int32_t dilation_h, int32_t dilation_w, const ConvEpilogueF32* epi) {
    const Conv2dGeometry g =
        conv2d_geometry(cin, h, w_in, kh, kw, stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w);
    if (g.oh <= 0 || g.ow <= 0 || cin <= 0 || cout <= 0) return;
    const int64_t m = g.oh * g.ow, k = g.kh * g.kw * cin;
    if (m > INT32_MAX || k > INT32_MAX)
        throw std::runtime_error("k_conv2d_f32: im2col matrix of " + std::to_string(m) + " x " +
                                 std::to_string(k) + " exceeds the GEMM's 32-bit extents");
    const bool direct = kh == 1 && kw == 1 && pad_h == 0 && pad_w == 0 && stride_h == 1 &&
                        stride_w == 1 && dilation_h == 1 && dilation_w == 1;

    float* temp_bp = nullptr;
    if (!bp) {
        if (kh == 1 && kw == 1) {
            temp_bp = pack_f32(w, cout, cin);
        } else {
            std::vector<float> r(size_t(cout) * size_t(k));
            reorder_conv_weights_f32(w, r.data(), cout, cin, kh, kw);
            temp_bp = pack_f32(r.data(), cout, int32_t(k));
        }
        bp = temp_bp;
    }
    const int threads = strip_team();
    if (!direct && in_place_fits(g, cin, k, cout)) {
        conv_in_place(in, g, bp, bias, out, relu, k, cout, epi, threads);
        free_packed_f32(temp_bp);
        return;
    }
    const int64_t chunk = chunk_pixels(k);
    const int64_t chunks = (m + chunk - 1) / chunk;
    if (!direct && cout * k * int64_t(sizeof(float)) <= kChunkWeightBytes && chunks >= threads && chunks > 1) {
        // One slice per thread, allocated here so a failure throws normally.
        float* slices = conv_thread_floats<ChunkBuffer>(int64_t(threads) * chunk * k);
        // Chunks from the strip pool, each worker through its own slice.
        run_strips(chunks, threads, [&](int64_t c, int worker) {
            conv_chunk(in, g, bp, bias, out, relu, k, cout, c * chunk, std::min(m, (c + 1) * chunk), epi,
                       slices + int64_t(worker) * chunk * k);
        });
        free_packed_f32(temp_bp);
        return;
    }
    float* a = nullptr;
    if (!direct) {
        a = scratch ? scratch : conv_thread_floats<Im2colBuffer>(m * k);
        const int strips = int(std::min<int64_t>(g.oh, int64_t(threads) * kIm2colStripsPerThread));
        run_strips(strips, threads, [&](int64_t i, int) {
            const SplitRange rows = balanced_split(g.oh, strips, int(i));
            im2col_rows_f32(in, g, 0, cin, rows.begin, rows.end, a);
        });
    }
    // The GEMM hands out its own strips, so a thread that wakes late does
    // less rather than delaying the rest.
    gemm_f32_epi(direct ? in : a, bp, bias, out, relu, int32_t(m), int32_t(k), cout, false, epi);
    free_packed_f32(temp_bp);
}

}  // namespace vantrel
