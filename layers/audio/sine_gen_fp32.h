// Harmonic sine source ("sine_gen_fp32"): an f0 track in Hz, T = L*W values
// of a {C, L, W} tensor (C is normally 1; the first T floats are read),
// becomes {harmonic_num + 1, L, W}: row t holds harmonics 1..H of sample t.
// upsample_scale < 1: running phases plus optional deterministic noise;
// upsample_scale >= 1: phases accumulated over T / upsample_scale frames
// (at least one frame is required), no noise. See kernels/audio/sine_gen_f32.h.
#pragma once
#include <string>

#include "layers/common/layer_base.h"

namespace vantrel {

class SineGenFp32 final : public HostOnly<Fp32Layer> {
public:
    // Throws when sample_rate is below 1, harmonic_num below 0 (or at the
    // int32 limit), upsample_scale below 0, or an amplitude is not finite.
    SineGenFp32(const std::string& node_name, int32_t sample_rate, int32_t harmonic_num,
                float sine_amp, float voiced_threshold, float noise_std, int32_t upsample_scale);

    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    Shape3 output_shape(Shape3 input) const override { return Shape3{harmonic_num + 1, input.h, input.w}; }

    int32_t sample_rate, harmonic_num;
    float sine_amp, voiced_threshold, noise_std;
    int32_t upsample_scale;
};

}  // namespace vantrel
