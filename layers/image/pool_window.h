// Window geometry of the max-pooling layers: kernel size, strides and pads,
// validated when the layer is built.
#pragma once
#include <cstdint>
#include <string>

#include "engine/tensor.h"

namespace vantrel {

struct PoolWindow {
    // Throws, naming the node and the argument, when a kernel size or stride
    // is below 1 or a pad is negative.
    PoolWindow(const char* op, const std::string& node, int32_t kH, int32_t kW, int32_t stride_h,
               int32_t stride_w, int32_t pad_h, int32_t pad_w);

    // {c, (h + 2*pad_h - kH) / stride_h + 1, ...} with floor division: a
    // window larger than the padded input gives an extent of 0. An extent
    // beyond int32 also reads as 0 here (no buffer is planned for it);
    // checked_output refuses it.
    Shape3 output(Shape3 input) const;
    // forward's version: throws when an output extent does not fit int32.
    Shape3 checked_output(const char* op, const std::string& node, Shape3 input) const;

    int32_t kH, kW, stride_h, stride_w, pad_h, pad_w;
};

}  // namespace vantrel
