// Short-time Fourier transform layer ("stft_fp32"): the first S = L*W values
// of the input are a mono signal; it is padded by n_fft/2 samples on each
// side by repeating the edge samples, and frame f (f <= S/hop_size) starts at
// padded sample f*hop_size. Output row f: n_fft/2 + 1 magnitudes, then as
// many phases (kernels/audio/stft_f32.h). The analysis bases come from ".w_real" and
// ".w_imag" when both are present (they carry their own window), else the
// periodic Hann-windowed Fourier bases are built for each call.
#pragma once
#include <string>
#include <vector>

#include "layers/common/layer_base.h"

namespace vantrel {

class StftFp32 final : public HostOnly<Fp32Layer> {
public:
    // Throws when n_fft is below 2 or odd (an odd size's frame row and
    // padding do not fit the output shape), or hop_size is below 1.
    StftFp32(const std::string& node_name, int32_t n_fft, int32_t hop_size);

    // ".w_real", ".w_imag": absent, empty, or exactly (n_fft/2 + 1) * n_fft.
    void load_weights(const WeightFetch& fetch) override;
    // Throws for an empty signal.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    // {n_fft + 2, (L*W)/hop_size + 1, 1}.
    Shape3 output_shape(Shape3 input) const override;
    Shape3 output_shape_from_data(const void* const* input_data, const Shape3* inputs,
                                  int count) const override;

    int32_t n_fft, hop_size;
    std::vector<float> w_re, w_im;  // [n_fft/2 + 1][n_fft] or empty
};

}  // namespace vantrel
