#include "layers/audio/upsample_nearest1d_fp32.h"

#include "kernels/pool/upsample_nearest1d_f32.h"
#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "upsample_nearest1d_fp32";
}

UpsampleNearest1dFp32::UpsampleNearest1dFp32(const std::string& node_name, int32_t s) : scale_factor(s) {
    name = node_name;
    require_arg_at_least(kOp, name, "scale_factor", scale_factor, 1);
}

Shape3 UpsampleNearest1dFp32::output_shape(Shape3 in) const {
    const int64_t l = int64_t(nonnegative(in.h)) * scale_factor;
    return Shape3{in.c, int32_t(l > INT32_MAX ? INT32_MAX : l), in.w};
}

Shape3 UpsampleNearest1dFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                      ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const auto [x, c, rows] = channel_rows_input(kOp, name, inputs, num_inputs, 1, 4);
    const int64_t n_in = checked_elements(kOp, name, "input 0", c, x.h, x.w, 4);
    require_view_holds(kOp, name, "input 0", x.bytes, n_in, 4);
    const int64_t rows_out = rows * scale_factor;  // both below 2^31
    const int32_t out_rows = checked_int32_count(kOp, name, rows_out);
    const int64_t n_out = checked_elements(kOp, name, "output", c, rows_out, 1, 4);
    checked_int32_count(kOp, name, n_out);
    require_output_extent(kOp, name, output, n_out, 4);
    if (rows > 0 && c > 0) {
        KUpsampleNearest1dF32 k = be.k_upsample_nearest1d_f32 ? be.k_upsample_nearest1d_f32 : &k_upsample_nearest1d_f32;
        k(static_cast<const float*>(x.data), static_cast<float*>(output->data), int32_t(rows), int32_t(c),
          scale_factor, ctx ? ctx->stream : nullptr);
    }
    return Shape3{x.c, out_rows, 1};
}

std::unique_ptr<ILayer> create_upsample_nearest1d_fp32(const LayerInit& in) {
    return std::make_unique<UpsampleNearest1dFp32>(in.name, in.args.i("scale_factor"));
}

}  // namespace vantrel
