// What the 1-D convolution layers (plain, int8-weight and transposed) share:
// the geometry arguments, the optional bias, forward's checks on a float
// [C_in][L] input and [C_out][L_out] output, and the device copies of the
// weights. Each class gives its output length and its computation.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "layers/common/conv_geometry.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/layer_base.h"
#include "layers/common/layer_buffers.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

// `tensor` as float32 values when present; an empty one means no bias, like
// an absent one.
inline void fetch_conv1d_bias(const char* op, const std::string& node, const WeightFetch& fetch,
                              const std::string& tensor, int64_t count, std::vector<float>& out) {
    const WeightFetch bias_fetch = [&](const std::string& n, std::vector<int>& shape,
                                       std::vector<uint8_t>& bytes, uint64_t max_bytes) {
        return fetch(n, shape, bytes, max_bytes) && !bytes.empty();
    };
    fetch_f32_tensor(op, node, bias_fetch, tensor, count, false, out);
}

// Checks one float32 input of C_in channels and loaded weights; returns L.
inline int64_t conv1d_input_length(const char* op, const std::string& node, const TensorView* inputs,
                                   int num_inputs, int32_t C_in, bool loaded) {
    require_inputs(op, node, num_inputs, 1);
    const TensorView& x = inputs[0];
    require_input_channels(op, node, x.c, C_in);
    if (!loaded) layer_fail(op, node, "weights are not loaded");
    const int64_t l = x.h < 0 ? 0 : x.h;
    // Both factors are 32-bit, so the product cannot wrap.
    require_view_holds(op, node, "input 0", x.bytes, int64_t(C_in) * l, 4);
    return l;
}

// [C_out][L_out] with the length clamped to 32 bits (forward refuses more).
inline Shape3 conv1d_output_shape(int32_t C_out, int64_t l_out) {
    return Shape3{C_out, int32_t(l_out > INT32_MAX ? INT32_MAX : l_out), 1};
}

// A checked forward call: input x of length l, output of l_out > 0 rows.
struct Conv1dIo {
    const TensorView& x;
    int64_t l, l_out;
    const float* in;
    float* out;
    const float* bias;  // null without one
};

class Conv1dLayer : public Fp32Layer {
public:
    // Checks the input, the weights and the output, then runs the
    // convolution unless the output is empty.
    Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                   ExecContext* ctx) final;
    Shape3 output_shape(Shape3 in) const final {
        return conv1d_output_shape(C_out, output_length(in.h < 0 ? 0 : in.h));
    }

    int32_t C_out, C_in, kernel_size, stride, padding, groups;
    std::vector<float> bias;  // [C_out] or empty

protected:
    // `extra` is dilation (at least 1) or output_padding (at least 0);
    // `size_what` names an output size that overflows 64 bits.
    Conv1dLayer(const char* op, const char* size_what, const std::string& node_name, int32_t C_out,
                int32_t C_in, int32_t kernel_size, int32_t stride, int32_t padding, const char* extra_key,
                int32_t extra, int32_t extra_min, int32_t groups);

    virtual int64_t output_length(int64_t l) const = 0;
    virtual void run(const Backend& be, const Conv1dIo& io, ExecContext* ctx) = 0;

    // load_weights' first step: nothing stays bound from an earlier load.
    void unbind() {
        loaded_ = false;
        device_weight_ = Buffer();
        device_bias_ = Buffer();
    }
    // load_weights' last step. Device backends take the whole convolution
    // from `weight` as bound; the host paths only need their packed blocks.
    template <typename T>
    void finish_load(const Backend& be, std::vector<T>& weight) {
        if (be.kind == kBackendHost) std::vector<T>().swap(weight);
        loaded_ = true;
    }
    template <typename T>
    void upload_weight_and_bias(Allocator& alloc, const std::vector<T>& weight) {
        device_weight_ = device_copy(alloc, weight);
        device_bias_ = device_copy(alloc, bias);
    }
    // A device backend keeps using its uploaded copy.
    template <typename T>
    void release_uploaded(std::vector<T>& weight) {
        if (!device_weight_.empty()) std::vector<T>().swap(weight);
    }
    const float* device_bias() const {
        return device_bias_.empty() ? nullptr : static_cast<const float*>(device_bias_.data);
    }

    const char* op_;
    const char* size_what_;
    bool loaded_ = false;
    Buffer device_weight_, device_bias_;
};

inline Conv1dLayer::Conv1dLayer(const char* op, const char* size_what, const std::string& node_name,
                                int32_t C_out_, int32_t C_in_, int32_t kernel_size_, int32_t stride_,
                                int32_t padding_, const char* extra_key, int32_t extra, int32_t extra_min,
                                int32_t groups_)
    : Fp32Layer(node_name), C_out(C_out_), C_in(C_in_), kernel_size(kernel_size_), stride(stride_),
      padding(padding_), groups(groups_), op_(op), size_what_(size_what) {
    require_conv1d_args(op, name, C_out, C_in, kernel_size, stride, padding, extra_key, extra, extra_min, groups);
}

inline Shape3 Conv1dLayer::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                   ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const int64_t l = conv1d_input_length(op_, name, inputs, num_inputs, C_in, loaded_);
    const int64_t l_out = output_length(l);
    require_output_extent(op_, name, output, checked_mul(op_, name, C_out, l_out, size_what_), 4);
    const Shape3 os{C_out, checked_int32_count(op_, name, l_out), 1};
    if (l_out == 0) return os;
    run(be, Conv1dIo{inputs[0], l, l_out, static_cast<const float*>(inputs[0].data),
                     static_cast<float*>(output->data), bias.empty() ? nullptr : bias.data()},
        ctx);
    return os;
}

}  // namespace vantrel
