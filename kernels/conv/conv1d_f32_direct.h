// Direct float 1-D convolution of unit stride over a time-major input that
// already carries its zero padding (rows of cin floats):
//
//   out[t][o] = relu( (sum over k, then c of p[t + k*dilation][c] * W[o][k][c]) + bias[o] )
//
// Each sum starts at 0 and runs over k ascending, then c ascending, one fused
// multiply-add per term; the bias is added afterwards and ReLU is
// x > 0 ? x : +0. That is the im2col + GEMM order of the generic path (its
// reduction order is (k, c) too), so both agree bit for bit, and every vector
// path here equals the portable one.
//
// wp: the weights in blocks of 4 output channels, element [b][k][c][j] =
// W[4b + j][k][c], zero where 4b + j >= cout (conv1d_direct_pack_f32).
// p must hold (l_out - 1) + (k - 1)*dilation + 1 rows; out gets l_out rows of
// cout floats.
//
// Threads: a team is used only outside a parallel region, with more than one
// thread available and cout*k*l_out*cin >= 2,000,000. Of B = ceil(cout/4)
// channel blocks and S = floor(l_out/8) blocks of 8 time steps, thread i of N
// takes blocks [i*B/N, (i+1)*B/N) of all time steps when cout > l_out, else
// time blocks [i*S/N, (i+1)*S/N) of all channels, thread 0 also taking the
// last l_out mod 8 steps. Each output is computed whole by one thread, so the
// result does not depend on the thread count.
#pragma once
#include <cstdint>

namespace vantrel {

#define VANTREL_CONV1D_DIRECT_F32_ARGS                                                        \
    const float *p, const float *wp, const float *bias, float *out, int32_t cin, int32_t l_out, \
        int32_t cout, int32_t k, int32_t dilation, bool relu

using Conv1dDirectF32Fn = void (*)(VANTREL_CONV1D_DIRECT_F32_ARGS);

// Floats of the packed block: ceil(cout/4)*4*k*cin.
int64_t conv1d_direct_packed_floats(int32_t cout, int32_t k, int32_t cin);
// wr: [cout][k][cin]; dst: conv1d_direct_packed_floats(...) floats.
void conv1d_direct_pack_f32(const float* wr, float* dst, int32_t cout, int32_t k, int32_t cin);

// Entry through the CPU kernel table (kernels/cpu_kernels.h).
void conv1d_f32_direct(VANTREL_CONV1D_DIRECT_F32_ARGS);

void conv1d_f32_direct_portable(VANTREL_CONV1D_DIRECT_F32_ARGS);
#if defined(__x86_64__)
void conv1d_f32_direct_avx2(VANTREL_CONV1D_DIRECT_F32_ARGS);
void conv1d_f32_direct_avx512(VANTREL_CONV1D_DIRECT_F32_ARGS);
#endif
#if defined(__aarch64__)
void conv1d_f32_direct_neon(VANTREL_CONV1D_DIRECT_F32_ARGS);
#endif

}  // namespace vantrel
