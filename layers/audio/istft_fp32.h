// Inverse short-time Fourier transform layer ("istft_fp32"): input 0 holds
// T = L*W frames of n_fft/2 + 1 magnitudes, input 1 as many phases; the
// output is (T - 1)*hop_size samples of windowed overlap-add
// (kernels/audio/istft_f32.h). With `normalized` unset the overlap-add is neither
// divided by the window envelope nor are the middle bins doubled; stored
// models rely on that scaling.
#pragma once
#include <string>

#include "layers/common/layer_base.h"

namespace vantrel {

class IstftFp32 final : public HostOnKinds1And2<Fp32Layer> {
public:
    // Throws when n_fft is below 2 or odd, or hop_size is below 1.
    IstftFp32(const std::string& node_name, int32_t n_fft, int32_t hop_size, bool normalized);

    // Needs both inputs, each with n_fft/2 + 1 channels and the same number
    // of frames; returns {1, (T - 1)*hop_size, 1} (0 samples for T <= 1).
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    // {1, n_fft + (T - 1)*hop_size, 1}, at least 0: the untrimmed length, so
    // the planned buffer always holds what forward writes.
    Shape3 output_shape(Shape3 input) const override;

    int32_t n_fft, hop_size;
    bool normalized;
};

}  // namespace vantrel
