// Construction-time checks shared by the 2-D convolution layers.
#pragma once
#include <cstdint>
#include <string>

#include "layers/layer_checks.h"

namespace vantrel {

// Validates the kernel, stride, padding and group arguments and returns K,
// the weights per output channel; throws naming the node and argument.
inline int32_t require_conv2d_geometry(const char* op, const std::string& name, int32_t C_out,
                                       int32_t C_in, int32_t kH, int32_t kW, int32_t stride_h,
                                       int32_t stride_w, int32_t pad_h, int32_t pad_w,
                                       int32_t groups) {
    require_arg_at_least(op, name, "C_out", C_out, 1);
    require_arg_at_least(op, name, "C_in", C_in, 1);
    require_arg_at_least(op, name, "kH", kH, 1);
    require_arg_at_least(op, name, "kW", kW, 1);
    require_arg_at_least(op, name, "stride_h", stride_h, 1);
    require_arg_at_least(op, name, "stride_w", stride_w, 1);
    require_arg_at_least(op, name, "pad_h", pad_h, 0);
    require_arg_at_least(op, name, "pad_w", pad_w, 0);
    require_arg_at_least(op, name, "groups", groups, 1);
    if (C_in % groups != 0 || C_out % groups != 0)
        layer_fail(op, name, "argument 'groups' (" + std::to_string(groups) + ") must divide C_in (" +
                                 std::to_string(C_in) + ") and C_out (" + std::to_string(C_out) + ")");
    // The im2col row of the dense path spans every input channel.
    checked_int32_count(op, name, int64_t(C_in) * kH * kW);
    return checked_int32_count(op, name, int64_t(C_in / groups) * kH * kW);
}

}  // namespace vantrel
