#include "layers/audio/concat1d_fp32.h"

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "concat1d_fp32";
}

Concat1dFp32::Concat1dFp32(const std::string& node_name, int32_t C2_) : C2(C2_) {
    name = node_name;
    require_arg_at_least(kOp, name, "C2", C2, 0);
}

Shape3 Concat1dFp32::output_shape(Shape3 in) const {
    const int64_t c = int64_t(nonnegative(in.c)) + C2;
    return Shape3{int32_t(c > INT32_MAX ? INT32_MAX : c), in.h, in.w};
}

Shape3 Concat1dFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                             ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const auto [a, c1, rows] = channel_rows_input(kOp, name, inputs, num_inputs, 1, 4);
    // 32-bit row counts keep every product below in 64 bits.
    checked_int32_count(kOp, name, rows);
    require_view_holds(kOp, name, "input 0", a.bytes, c1 * rows, 4);
    const float* bdata = nullptr;
    bool broadcast = true;
    if (num_inputs < 2) {
        if (C2 > 0)
            layer_fail(kOp, name, "has one input but C2 = " + std::to_string(C2) +
                                      " channels to concatenate; a second input is required");
    } else {
        const TensorView& b = inputs[1];
        if (b.c != C2)
            layer_fail(kOp, name, "input 1 has " + std::to_string(b.c) + " channels, expected C2 = " +
                                      std::to_string(C2));
        const int64_t brows = checked_elements(kOp, name, "input 1", 1, b.h, b.w, 4);
        broadcast = brows < 2;
        if (C2 > 0 && rows > 0) {
            if (!broadcast && brows != rows)
                layer_fail(kOp, name, "input 1 has " + std::to_string(brows) + " rows, input 0 has " +
                                          std::to_string(rows) + " (only equal rows or one row to repeat)");
            if (brows == 0) layer_fail(kOp, name, "input 1 has no row to repeat over " + std::to_string(rows) + " rows");
            require_view_holds(kOp, name, "input 1", b.bytes, int64_t(C2) * (broadcast ? 1 : rows), 4);
        }
        bdata = static_cast<const float*>(b.data);
    }
    const int64_t c = c1 + C2;
    require_output_extent(kOp, name, output, c * rows, 4);
    const int32_t c_out = checked_int32_count(kOp, name, c);
    checked_int32_count(kOp, name, c * rows);
    if (!be.k_concat1d_f32) layer_fail(kOp, name, "the active backend has no k_concat1d_f32 kernel");
    be.k_concat1d_f32(static_cast<const float*>(a.data), bdata, static_cast<float*>(output->data),
                      int32_t(rows), int32_t(c1), C2, broadcast, ctx ? ctx->stream : nullptr);
    return Shape3{c_out, a.h, a.w};
}

std::unique_ptr<ILayer> create_concat1d_fp32(const LayerInit& in) {
    return std::make_unique<Concat1dFp32>(in.name, in.args.i("C2"));
}

}  // namespace vantrel
