// What the float and int8 2-D convolution layers share: the geometry
// arguments and their checks, the output shape, forward's checks on the
// input and output, the keys of their packed blocks and the device copies of
// those blocks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "kernels/conv/im2col_f32.h"
#include "layers/common/conv_geometry.h"
#include "layers/common/layer_base.h"
#include "layers/common/layer_buffers.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

template <int Dtype>
class Conv2dLayer : public TypedLayer<Dtype> {
public:
    int32_t C_out, C_in, kH, kW, stride_h, stride_w, pad_h, pad_w, groups;
    int32_t K;  // weights per output channel: (C_in / groups) * kH * kW

protected:
    // Throws when a size, stride or group count is below 1, a pad is
    // negative, or groups does not divide C_in and C_out.
    Conv2dLayer(const char* op, const std::string& node_name, int32_t C_out_, int32_t C_in_, int32_t kH_,
                int32_t kW_, int32_t stride_h_, int32_t stride_w_, int32_t pad_h_, int32_t pad_w_, int32_t groups_)
        : TypedLayer<Dtype>(node_name), C_out(C_out_), C_in(C_in_), kH(kH_), kW(kW_), stride_h(stride_h_),
          stride_w(stride_w_), pad_h(pad_h_), pad_w(pad_w_), groups(groups_),
          K(require_conv2d_geometry(op, node_name, C_out, C_in, kH, kW, stride_h, stride_w, pad_h, pad_w,
                                    groups)) {}

    // {C_out, OH, OW}; an extent is 0 when the dilated kernel exceeds the
    // padded input, and saturates at the int32 range.
    Shape3 conv_output(Shape3 in, int32_t dilation_h, int32_t dilation_w) const {
        auto clamp = [](int64_t v) { return int32_t(v > INT32_MAX ? INT32_MAX : v); };
        return Shape3{C_out, clamp(conv_out_extent(in.h, kH, stride_h, pad_h, dilation_h)),
                      clamp(conv_out_extent(in.w, kW, stride_w, pad_w, dilation_w))};
    }

    // forward's checks: one input of C_in channels that holds its shape,
    // loaded weights and an output buffer for the output shape, returned.
    Shape3 checked_io(const char* op, const TensorView* inputs, int num_inputs, const BufferView* output,
                      int64_t elem_bytes, bool loaded) const {
        require_inputs(op, this->name, num_inputs, 1);
        require_input_channels(op, this->name, inputs[0].c, C_in);
        if (!loaded) layer_fail(op, this->name, "weights are not loaded");
        require_input_extent(op, this->name, inputs, 0, elem_bytes);
        const Shape3 os = this->output_shape(inputs[0].shape());
        require_output_extent(op, this->name, output, int64_t(C_out) * os.h * os.w, elem_bytes);
        return os;
    }

    // The packed-weight registry's key of block `what`: class, node and
    // geometry, so only identical blocks are shared.
    std::string key(const char* cls, const std::string& what) const {
        return std::string(cls) + ":" + this->name + what + ":" + std::to_string(C_out) + "x" +
               std::to_string(C_in) + "x" + std::to_string(kH) + "x" + std::to_string(kW) + "/" +
               std::to_string(groups);
    }

    // upload_weights: device copies of the host blocks, kept for the
    // layer's life.
    void upload_blocks(Allocator& alloc, const std::vector<const Buffer*>& blocks) {
        if (!alloc.is_device()) return;
        device_blocks_.clear();
        for (const Buffer* b : blocks) add_device_copy(alloc, *b, device_blocks_);
    }

    bool loaded_ = false;
    std::vector<Buffer> device_blocks_;
};

}  // namespace vantrel
