// Construction-time checks shared by the convolution layers.
#pragma once
#include <cstdint>
#include <string>

#include "layers/common/layer_checks.h"

namespace vantrel {

// Groups must split both channel counts evenly.
inline void require_conv_groups(const char* op, const std::string& name, int32_t groups,
                                int32_t C_in, int32_t C_out) {
    if (C_in % groups != 0 || C_out % groups != 0)
        layer_fail(op, name, "argument 'groups' (" + std::to_string(groups) + ") must divide C_in (" +
                                 std::to_string(C_in) + ") and C_out (" + std::to_string(C_out) + ")");
}

// The arguments of a 1-D convolution, in order: `extra` is dilation (at
// least 1) or a transposed convolution's output_padding (at least 0).
inline void require_conv1d_args(const char* op, const std::string& name, int32_t C_out,
                                int32_t C_in, int32_t kernel_size, int32_t stride,
                                int32_t padding, const char* extra_key, int32_t extra,
                                int32_t extra_min, int32_t groups) {
    require_arg_at_least(op, name, "C_out", C_out, 1);
    require_arg_at_least(op, name, "C_in", C_in, 1);
    require_arg_at_least(op, name, "kernel_size", kernel_size, 1);
    require_arg_at_least(op, name, "stride", stride, 1);
    require_arg_at_least(op, name, "padding", padding, 0);
    require_arg_at_least(op, name, extra_key, extra, extra_min);
    require_arg_at_least(op, name, "groups", groups, 1);
}

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
    require_conv_groups(op, name, groups, C_in, C_out);
    // The im2col row of the dense path spans every input channel.
    // Three 31-bit factors can overflow 64 bits: an overflow counts as too large.
    const auto product = [](int64_t a, int64_t b, int64_t c) {
        int64_t r = 0;
        return __builtin_mul_overflow(a * b, c, &r) ? INT64_MAX : r;
    };
    checked_int32_count(op, name, product(C_in, kH, kW));
    return checked_int32_count(op, name, product(C_in / groups, kH, kW));
}

}  // namespace vantrel
