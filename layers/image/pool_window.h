// Shapes and forward checks of the pooling layers, shared by their float and
// int8 classes: the window geometry of max and windowed average pooling,
// validated when the layer is built, and the one-value-per-channel shape of
// global average pooling.
#pragma once
#include <cstdint>
#include <string>

#include "engine/tensor.h"
#include "layers/common/checked_extent.h"
#include "layers/common/layer_base.h"

namespace vantrel {

struct PoolWindow {
    // Throws, naming the node and the argument, when a kernel size or stride
    // is below 1 or a pad is negative.
    PoolWindow(const char* op, const std::string& node, int32_t kH, int32_t kW, int32_t stride_h,
               int32_t stride_w, int32_t pad_h, int32_t pad_w, bool ceil_mode = false);

    // {c, (h + 2*pad_h - kH) / stride_h + 1, ...} with floor division: a
    // window larger than the padded input gives an extent of 0. In ceil mode
    // the division rounds up, dropping a last window that would start in the
    // right padding (pool_out_extent_ceil). An extent
    // beyond int32 also reads as 0 here (no buffer is planned for it);
    // checked_output refuses it.
    Shape3 output(Shape3 input) const;
    // forward's version: throws when an output extent does not fit int32.
    Shape3 checked_output(const char* op, const std::string& node, Shape3 input) const;

    int32_t kH, kW, stride_h, stride_w, pad_h, pad_w;
    bool ceil_mode;
};

// forward of a pooling layer: one input that holds its own shape.
inline Shape3 pool_input(const char* op, const std::string& node, const TensorView* inputs, int num_inputs,
                         int64_t elem_bytes) {
    require_inputs(op, node, num_inputs, 1);
    require_input_holds(op, node, inputs, 0, elem_bytes);
    return inputs[0].shape();
}

// Pooling over the window; the output element type is the input's.
template <int Dtype>
class WindowPoolLayer : public TypedLayer<Dtype>, public PoolWindow {
public:
    WindowPoolLayer(const char* op, const std::string& node, int32_t kH, int32_t kW, int32_t stride_h,
                    int32_t stride_w, int32_t pad_h, int32_t pad_w, bool ceil_mode = false)
        : TypedLayer<Dtype>(node), PoolWindow(op, node, kH, kW, stride_h, stride_w, pad_h, pad_w, ceil_mode) {}
    Shape3 output_shape(Shape3 input) const override { return PoolWindow::output(input); }

protected:
    // forward's checks: the input, then an output buffer that holds the
    // window output; returns its shape, `n` its element count.
    Shape3 checked_io(const char* op, const TensorView* inputs, int num_inputs, const BufferView* output,
                      int64_t elem_bytes, int64_t& n) const {
        const Shape3 out = checked_output(op, this->name, pool_input(op, this->name, inputs, num_inputs, elem_bytes));
        n = checked_elements(op, this->name, "output", out.c, out.h, out.w, elem_bytes);
        require_output_extent(op, this->name, output, n, elem_bytes);
        return out;
    }
};

// Global average pooling: one value per channel, output {c, 1, 1}.
template <int Dtype>
class GlobalPoolLayer : public TypedLayer<Dtype> {
public:
    using TypedLayer<Dtype>::TypedLayer;
    Shape3 output_shape(Shape3 in) const override { return Shape3{nonnegative(in.c), 1, 1}; }
};

}  // namespace vantrel
