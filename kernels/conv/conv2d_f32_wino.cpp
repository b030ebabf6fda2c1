#include "kernels/conv/conv2d_f32_wino.h"

#include <omp.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/conv/conv2d_f32_wino_loops.h"
#include "kernels/conv/im2col_f32.h"
#include "kernels/kernel_path.h"

namespace vantrel {

namespace {

struct WinoBuffer;  // tags the buffer of calls without scratch

// Throws when `stack` blocks of the tiles of an m x m tile grid over an
// oh x ow output exceed the GEMM's 32-bit rows.
void check_tiles(const char* who, int64_t m, int64_t oh, int64_t ow, int64_t stack) {
    const int64_t tiles = ((oh + m - 1) / m) * ((ow + m - 1) / m);
    if (tiles > INT32_MAX / stack)
        throw std::runtime_error(std::string(who) + ": " + std::to_string(tiles) +
                                 " tiles exceed the GEMM's 32-bit extents");
}

// The phases on the active kernel path (the same bits on every path).
void run_on_path(int32_t m, const float* in, const float* const* u, const float* bias, float* out, int32_t cin,
                 int32_t h, int32_t w_in, int32_t cout, int32_t pad_h, int32_t pad_w, bool relu, float* v,
                 const ConvEpilogueF32* epi) {
    switch (active_kernel_path()) {
#if defined(__x86_64__)
        case KernelPath::Avx512:
            conv2d_f32_wino_phases_avx512(m, in, u, bias, out, cin, h, w_in, cout, pad_h, pad_w, relu, v, epi);
            return;
        case KernelPath::Avx2:
            conv2d_f32_wino_phases_avx2(m, in, u, bias, out, cin, h, w_in, cout, pad_h, pad_w, relu, v, epi);
            return;
#endif
        default:
            conv2d_f32_wino_phases<8>(m, in, u, bias, out, cin, h, w_in, cout, pad_h, pad_w, relu, v, epi);
    }
}

// F(m x m, 3x3) on the active path with its scratch (the caller's, else
// the thread's own); nothing to do for an empty input or output.
void wino_run(const char* who, int32_t m, const float* in, const float* const* u, const float* bias, float* out,
              int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t pad_h, int32_t pad_w, bool relu,
              float* scratch, const ConvEpilogueF32* epi) {
    if (epi && !epi->active()) epi = nullptr;
    if (pad_h < 0 || pad_w < 0) throw std::runtime_error(std::string(who) + ": negative padding");
    const int64_t span_h = int64_t(h) + 2 * int64_t(pad_h) - 3, span_w = int64_t(w_in) + 2 * int64_t(pad_w) - 3;
    if (cin <= 0 || cout <= 0 || h <= 0 || w_in <= 0 || span_h < 0 || span_w < 0) return;
    const int64_t stride = m == kWinoStride2 ? 2 : 1, oh = span_h / stride + 1, ow = span_w / stride + 1;
    // The stride-2 form's largest product stacks 4 blocks of tiles.
    check_tiles(who, m == kWinoStride2 ? 2 : m, oh, ow, m == kWinoStride2 ? 4 : 1);
    float* v = scratch ? scratch
                       : conv_thread_floats<WinoBuffer>(conv2d_f32_wino_scratch_floats(m, cin, oh, ow, cout));
    run_on_path(m, in, u, bias, out, cin, h, w_in, cout, pad_h, pad_w, relu, v, epi);
}

}  // namespace

void winograd_weight_transform_f32(const float* g, float* u) {
    // t = G g (4x3), then u = t G^T (4x4).
    float t[4][3];
    for (int j = 0; j < 3; ++j) {
        const float g0 = g[j], g1 = g[3 + j], g2 = g[6 + j];
        t[0][j] = g0;
        t[1][j] = 0.5f * (g0 + g1 + g2);
        t[2][j] = 0.5f * (g0 - g1 + g2);
        t[3][j] = g2;
    }
    for (int i = 0; i < 4; ++i) {
        const float a = t[i][0], b = t[i][1], c = t[i][2];
        u[4 * i + 0] = a;
        u[4 * i + 1] = 0.5f * (a + b + c);
        u[4 * i + 2] = 0.5f * (a - b + c);
        u[4 * i + 3] = c;
    }
}

void k_conv2d_f32_wino(const float* in, const float* const u[16], const float* bias, float* out,
                       int32_t cin, int32_t h, int32_t w_in, int32_t cout, bool relu,
                       float* scratch, void*, const float*) {
    conv2d_f32_wino_epi(in, u, bias, out, cin, h, w_in, cout, 1, 1, relu, scratch, nullptr);
}

void conv2d_f32_wino_epi(const float* in, const float* const u[16], const float* bias, float* out,
                         int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t pad_h, int32_t pad_w,
                         bool relu, float* scratch, const ConvEpilogueF32* epi) {
    wino_run("k_conv2d_f32_wino", 2, in, u, bias, out, cin, h, w_in, cout, pad_h, pad_w, relu, scratch, epi);
}

int64_t conv2d_f32_wino_scratch_floats(int32_t m, int64_t cin, int64_t oh, int64_t ow, int64_t cout) {
    const int64_t tile = m == kWinoStride2 ? 2 : m, blocks = m == kWinoStride2 ? 25 : (m + 2) * (m + 2);
    return blocks * ((oh + tile - 1) / tile) * ((ow + tile - 1) / tile) * (cin + cout);
}

void winograd_s2_weight_transform_f32(const float* g, float* u) {
    // G x for taps x0, x1: x0, x0 + x1, x1.
    float t[3][2];  // G g' of the even taps
    for (int j = 0; j < 2; ++j) {
        const float a = g[2 * j], b = g[6 + 2 * j];
        t[0][j] = a;
        t[1][j] = a + b;
        t[2][j] = b;
    }
    for (int i = 0; i < 3; ++i) {
        u[3 * i] = t[i][0];
        u[3 * i + 1] = t[i][0] + t[i][1];
        u[3 * i + 2] = t[i][1];
    }
    u[9] = g[1];
    u[10] = g[1] + g[7];
    u[11] = g[7];
    u[12] = g[3];
    u[13] = g[3] + g[5];
    u[14] = g[5];
    u[15] = g[4];
}

void conv2d_f32_wino_s2_epi(const float* in, const float* const u[16], const float* bias, float* out,
                            int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t pad_h, int32_t pad_w,
                            bool relu, float* scratch, const ConvEpilogueF32* epi) {
    wino_run("conv2d_f32_wino_s2", kWinoStride2, in, u, bias, out, cin, h, w_in, cout, pad_h, pad_w, relu, scratch,
             epi);
}

void winograd4_weight_transform_f32(const float* g, float* u) {
    // t = G g (6x3), then u = t G^T (6x6), in double and rounded once.
    static const double G[6][3] = {{1.0 / 4, 0, 0},
                                   {-1.0 / 6, -1.0 / 6, -1.0 / 6},
                                   {-1.0 / 6, 1.0 / 6, -1.0 / 6},
                                   {1.0 / 24, 1.0 / 12, 1.0 / 6},
                                   {1.0 / 24, -1.0 / 12, 1.0 / 6},
                                   {0, 0, 1}};
    double t[6][3];
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 3; ++j)
            t[i][j] = G[i][0] * g[j] + G[i][1] * g[3 + j] + G[i][2] * g[6 + j];
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j)
            u[6 * i + j] = float(t[i][0] * G[j][0] + t[i][1] * G[j][1] + t[i][2] * G[j][2]);
}

void conv2d_f32_wino4_epi(const float* in, const float* const u[36], const float* bias, float* out,
                          int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t pad_h, int32_t pad_w,
                          bool relu, float* scratch, const ConvEpilogueF32* epi) {
    wino_run("conv2d_f32_wino4", 4, in, u, bias, out, cin, h, w_in, cout, pad_h, pad_w, relu, scratch, epi);
}

}  // namespace vantrel
