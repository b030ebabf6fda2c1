// Float bilinear 2-D upsampling ("upsample_bilinear_fp32") with half-pixel
// centres: {c, h, w} to {c, OH, OW}, OH = (int)(h * scale_h + 0.5) as one
// float32 fused multiply-add truncated toward zero (OW alike).
#pragma once
#include <string>

#include "layers/common/layer_base.h"

namespace vantrel {

class UpsampleBilinearFp32 final : public Fp32Layer {
public:
    // Throws when a scale is not finite and positive.
    UpsampleBilinearFp32(const std::string& node_name, float scale_h, float scale_w);

    // Throws when OH or OW does not fit 32 bits.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;
    // An extent beyond int32 reads as 0 here, so no buffer is planned for it.
    Shape3 output_shape(Shape3 input) const override;

    float scale_h, scale_w;
};

// (int)(n * scale + 0.5) with one fused multiply-add; -1 when the value does
// not fit int32.
int64_t upsampled_extent(int32_t n, float scale);

}  // namespace vantrel
