// One LSTM step's gates and state update, after the recurrent product:
//
//   z[j] += g[j]                      (j < 4h; g is the step's input projection)
//   i = sig(z[j]), f = sig(z[h+j]), c~ = tanh(z[2h+j]), o = sig(z[3h+j])
//   c[j] = f*c[j] + i*c~,  hs[j] = o*tanh(c[j])        (j < h)
//
// Gate order in z: input, forget, cell candidate, output. Units in whole
// groups of 4 (j < 4*floor(h/4)) use sig(x) = recip(1 + vexp(-x)) and
// tanh(x) = 2*recip(1 + vexp(-2x)) - 1 from vmath.h; the last h mod 4 units
// use 1/(1 + expf(-x)) and tanhf. Every product and sum is rounded on its
// own (no fusing), and a group lane is the one-lane vmath function, so every
// vector path equals the portable one bit for bit.
//
// z is overwritten with z + g; c and hs are updated in place (hs may not
// alias z or c).
#pragma once
#include <cstdint>

namespace vantrel {

#define VANTREL_LSTM_CELL_F32_ARGS float *z, const float *g, float *c, float *hs, int32_t h

using LstmCellF32Fn = void (*)(VANTREL_LSTM_CELL_F32_ARGS);

// Entry through the CPU kernel table (kernels/cpu_kernels.h).
void lstm_cell_f32(VANTREL_LSTM_CELL_F32_ARGS);

void lstm_cell_f32_portable(VANTREL_LSTM_CELL_F32_ARGS);
#if defined(__x86_64__)
void lstm_cell_f32_avx2(VANTREL_LSTM_CELL_F32_ARGS);
void lstm_cell_f32_avx512(VANTREL_LSTM_CELL_F32_ARGS);
#endif
#if defined(__aarch64__)
void lstm_cell_f32_neon(VANTREL_LSTM_CELL_F32_ARGS);
#endif

}  // namespace vantrel
