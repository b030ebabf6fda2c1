#include "layers/image/channel_shuffle_fp32.h"

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "layers/common/row_split.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "channel_shuffle_fp32";
}

ChannelShuffleFp32::ChannelShuffleFp32(const std::string& node_name, int32_t groups_)
    : ShapeKeeping(node_name), groups(groups_) {
    require_arg_at_least(kOp, name, "groups", groups, 1);
}

Shape3 ChannelShuffleFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                   ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    const TensorView& x = inputs[0];
    const int32_t c = nonnegative(x.c);
    if (c % groups != 0)
        layer_fail(kOp, name, "input has " + std::to_string(c) + " channels, not a multiple of groups = " +
                                  std::to_string(groups));
    const int64_t rows = checked_elements(kOp, name, "input 0", 1, x.h, x.w, 4);
    const int64_t n = checked_elements(kOp, name, "input 0", x.c, x.h, x.w, 4);
    require_input_holds(kOp, name, inputs, 0, 4);
    require_output_extent(kOp, name, output, n, 4);
    checked_int32_count(kOp, name, n);
    if (n > 0) {
        const KChannelShuffleF32 fn = require_kernel(kOp, name, be.k_channel_shuffle_f32, "k_channel_shuffle_f32");
        const float* xs = static_cast<const float*>(x.data);
        float* y = static_cast<float*>(output->data);
        void* stream = stream_of(ctx);
        split_rows(rows, n, be.kind == kBackendHost, [&](int64_t r0, int64_t r1) {
            fn(xs + r0 * c, y + r0 * c, int32_t(r1 - r0), c, groups, stream);
        }, kRowSplitMinCopyElements);
    }
    return x.shape();
}

std::unique_ptr<ILayer> create_channel_shuffle_fp32(const LayerInit& in) {
    return std::make_unique<ChannelShuffleFp32>(in.name, in.args.i("groups"));
}

}  // namespace vantrel
