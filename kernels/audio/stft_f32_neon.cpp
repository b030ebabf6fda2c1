// Four bins of a frame per register.
#include "kernels/simd/lanes_f32_neon.h"
#include "kernels/audio/stft_f32.h"
#include "kernels/audio/stft_f32_loops.h"

namespace vantrel {

void stft_f32_neon(VANTREL_STFT_F32_ARGS) { stft_f32_lanes<LanesF32Neon>(p, frames, hop, w_re, w_im, n_fft, out); }

}  // namespace vantrel
