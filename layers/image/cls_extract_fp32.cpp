#include "layers/image/cls_extract_fp32.h"

#include <cstring>

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "cls_extract_fp32";
}

Shape3 ClsExtractFp32::output_shape(Shape3 in) const { return Shape3{nonnegative(in.c), 1, 1}; }

Shape3 ClsExtractFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                               ExecContext* /*ctx*/) {
    require_inputs(kOp, name, num_inputs, 1);
    require_input_holds(kOp, name, inputs, 0, 4);
    const Shape3 in = inputs[0].shape();
    const Shape3 out = output_shape(in);
    if (out.c > 0 && (in.h < 1 || in.w < 1))
        layer_fail(kOp, name, "input of shape {" + std::to_string(in.c) + ", " +
                                  std::to_string(in.h) + ", " + std::to_string(in.w) +
                                  "} has no token to extract");
    require_output_extent(kOp, name, output, out.c, 4);
    // memmove: an executor may hand the same buffer as input and output.
    if (out.c > 0) std::memmove(output->data, inputs[0].data, size_t(out.c) * sizeof(float));
    return out;
}

std::unique_ptr<ILayer> create_cls_extract_fp32(const LayerInit&) {
    return std::make_unique<ClsExtractFp32>();
}

}  // namespace vantrel
