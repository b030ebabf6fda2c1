// Int8 windowed and adaptive average pooling ("avgpool2d_int8",
// "adaptive_avgpool_int8"): the windows and divisors of avgpool2d_fp32 and
// adaptive_avgpool_fp32 on int8 values, each window's sum of (q - in_zp)
// requantised by in_scale / (out_scale * divisor) onto out_zp. A window
// that reads no input gives out_zp.
#pragma once
#include <string>

#include "layers/image/pool_window.h"

namespace vantrel {

// The quantisation arguments both layers take.
struct AvgQuant {
    // Throws when out_scale is not finite and positive, in_scale is not
    // finite or a zero point is outside [-128, 127].
    AvgQuant(const char* op, const std::string& node, float in_scale, float out_scale, int32_t in_zp,
             int32_t out_zp);
    float ratio;  // in_scale / out_scale
    int32_t in_zp, out_zp;
};

class AvgPool2dInt8 final : public WindowPoolLayer<kDtypeInt8>, public AvgQuant {
public:
    // Also throws when a kernel size or stride is below 1, or a pad is
    // negative or more than half its kernel size.
    AvgPool2dInt8(const std::string& node_name, int32_t kH, int32_t kW, int32_t stride_h, int32_t stride_w,
                  int32_t pad_h, int32_t pad_w, bool ceil_mode, bool count_include_pad, float in_scale,
                  float out_scale, int32_t in_zp, int32_t out_zp);
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    bool count_include_pad;
};

class AdaptiveAvgPoolInt8 final : public Int8Layer, public AvgQuant {
public:
    // Also throws when out_h or out_w is below 1.
    AdaptiveAvgPoolInt8(const std::string& node_name, int32_t out_h, int32_t out_w, float in_scale,
                        float out_scale, int32_t in_zp, int32_t out_zp);
    Shape3 output_shape(Shape3 input) const override;
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) override;

    int32_t out_h, out_w;
};

}  // namespace vantrel
