#include "layers/image/channel_mul_fp32.h"

#include "layers/common/elementwise_io.h"
#include "layers/common/layer_checks.h"
#include "layers/common/row_split.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "channel_mul_fp32";
}

Shape3 ChannelMulFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                               ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const auto [x, c, rows] = channel_rows_input(kOp, name, inputs, num_inputs, 2, 4);
    const int64_t n = operand_elements(kOp, name, inputs, 0, 4);
    // Input 1 (s) is read as a flat vector of one factor per channel ({C, 1, 1}).
    const int64_t ns = operand_elements(kOp, name, inputs, 1, 4);
    if (ns != c)
        layer_fail(kOp, name, "input 1 has " + std::to_string(ns) + " elements, expected one per channel of input 0 (" +
                                  std::to_string(c) + ")");
    // 32-bit counts keep every product in the kernel within the tensor.
    two_operand_count(kOp, name, inputs, output, n, 4);
    if (n <= 0) return x.shape();
    KChannelMulF32 fn = require_kernel(kOp, name, be.k_channel_mul_f32, "k_channel_mul_f32");
    const float* xs = static_cast<const float*>(x.data);
    const float* sv = static_cast<const float*>(inputs[1].data);
    float* y = static_cast<float*>(output->data);
    void* stream = stream_of(ctx);
    // One multiply per element: splitting the rows between threads changes no bit.
    const int64_t cols = c;  // a structured binding cannot be captured in C++17
    split_rows(rows, n, be.kind == kBackendHost, [&](int64_t r0, int64_t r1) {
        fn(xs + r0 * cols, sv, y + r0 * cols, int32_t(r1 - r0), int32_t(cols), stream);
    });
    return x.shape();
}

std::unique_ptr<ILayer> create_channel_mul_fp32(const LayerInit&) { return std::make_unique<ChannelMulFp32>(); }

}  // namespace vantrel
