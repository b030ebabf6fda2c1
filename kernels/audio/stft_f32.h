// Direct (non-FFT) short-time Fourier transform, frame by frame.
//
// For n_fft = N (even), F = N/2 + 1 bins and frame f starting at padded
// sample f*hop:
//   re = sum_n p[f*hop + n] * w_re[k][n],  im = sum_n p[f*hop + n] * w_im[k][n]
//   out[f][k] = sqrt(re*re + im*im),  out[f][F + k] = atan2f(im, re)
// Each sum starts at 0 and runs over n ascending, one fused multiply-add per
// term; re*re + im*im is two rounded products and a rounded sum, and the
// square root is correctly rounded. Vector paths compute several bins of a
// frame at once in that same order, so they equal the portable path bit for
// bit. The entry stft_f32 shares blocks of frames among the threads (each
// frame is computed alone, so the split changes no bit); the path functions
// run on the calling thread.
#pragma once
#include <cstdint>

namespace vantrel {

// p: frames rows need (frames - 1)*hop + n_fft samples; w_re, w_im: [F][N];
// out: frames rows of 2F floats.
#define VANTREL_STFT_F32_ARGS                                                                \
    const float *p, int64_t frames, int32_t hop, const float *w_re, const float *w_im, \
        int32_t n_fft, float *out

using StftF32Fn = void (*)(VANTREL_STFT_F32_ARGS);

// Hann-windowed analysis bases: w[n] = 0.5*(1 - cosf(6.2831855*n / N)),
// a = (k*6.2831855*n) / N, w_re[k][n] = w[n]*cosf(a), w_im[k][n] = -w[n]*sinf(a).
void stft_hann_basis_f32(int32_t n_fft, float* w_re, float* w_im);
// p[i] = x[clamp(i - half, 0, s - 1)] for i < s + 2*half (edge replication);
// s must be at least 1.
void stft_pad_edges_f32(const float* x, int64_t s, int32_t half, float* p);

// Entry through the CPU kernel table (kernels/cpu_kernels.h).
void stft_f32(VANTREL_STFT_F32_ARGS);
// fn over blocks of frames on the team.
void stft_f32_blocks(StftF32Fn fn, VANTREL_STFT_F32_ARGS);

void stft_f32_portable(VANTREL_STFT_F32_ARGS);
#if defined(__x86_64__)
void stft_f32_avx2(VANTREL_STFT_F32_ARGS);
void stft_f32_avx512(VANTREL_STFT_F32_ARGS);
#endif
#if defined(__aarch64__)
void stft_f32_neon(VANTREL_STFT_F32_ARGS);
#endif

}  // namespace vantrel
