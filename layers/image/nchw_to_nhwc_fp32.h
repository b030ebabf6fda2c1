// Layout change at a model's image input ("nchw_to_nhwc_fp32"): the caller
// passes an image as C planes of H x W values (PyTorch's and ONNX's NCHW
// order without the batch axis), declared so that the raw buffer reads as
// {h = C, w = H, c = W}; the output is the engine's channels-last image
// {C, H, W}. It runs once, on the input, so nothing else in the graph needs
// to know the caller's layout.
#pragma once
#include "layers/common/layer_base.h"

namespace vantrel {

class NchwToNhwcFp32 final : public Fp32Layer {
public:
    using Fp32Layer::Fp32Layer;

    // Input {c = W, h = C, w = H} -> output {c = C, h = H, w = W}.
    Shape3 output_shape(Shape3 input) const override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
};

}  // namespace vantrel
