// Eight bins of a frame per register.
#include "kernels/simd/lanes_f32_avx2.h"
#include "kernels/audio/stft_f32.h"
#include "kernels/audio/stft_f32_loops.h"

namespace vantrel {

void stft_f32_avx2(VANTREL_STFT_F32_ARGS) { stft_f32_lanes<LanesF32Avx2>(p, frames, hop, w_re, w_im, n_fft, out); }

}  // namespace vantrel
