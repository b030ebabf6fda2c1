#include "layers/audio/reflection_pad1d_fp32.h"

#include <cstring>

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "reflection_pad1d_fp32";
}

Shape3 ReflectionPad1dFp32::output_shape(Shape3 in) const {
    const int64_t rows = element_count(Shape3{1, in.h, in.w}) + 1;
    return Shape3{in.c, int32_t(rows > INT32_MAX ? INT32_MAX : rows), 1};
}

Shape3 ReflectionPad1dFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                    ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const auto [x, c, rows] = channel_rows_input(kOp, name, inputs, num_inputs, 1, 4);
    // The padded row mirrors row 1, so a pad of one needs two rows.
    if (rows < 2)
        layer_fail(kOp, name, "input of " + std::to_string(rows) + " rows is too short to reflect a pad of 1 (needs 2)");
    require_view_holds(kOp, name, "input 0", x.bytes, checked_elements(kOp, name, "input 0", c, x.h, x.w, 4), 4);
    const int32_t out_rows = checked_int32_count(kOp, name, rows + 1);
    const int64_t n_out = checked_elements(kOp, name, "output", c, rows + 1, 1, 4);
    require_output_extent(kOp, name, output, n_out, 4);
    const Shape3 os{x.c, out_rows, 1};
    const float* in = static_cast<const float*>(x.data);
    float* out = static_cast<float*>(output->data);
    if (x.on_device == 3 && be.k_reflection_pad1d_f32) {
        be.k_reflection_pad1d_f32(in, out, checked_int32_count(kOp, name, rows), int32_t(c),
                                  ctx ? ctx->stream : nullptr);
        return os;
    }
    if (c == 0) return os;
    const size_t row_bytes = size_t(c) * sizeof(float);
    std::memcpy(out, in + c, row_bytes);
    std::memcpy(out + c, in, size_t(rows) * row_bytes);
    return os;
}

std::unique_ptr<ILayer> create_reflection_pad1d_fp32(const LayerInit&) {
    return std::make_unique<ReflectionPad1dFp32>();
}

}  // namespace vantrel
