#include "layers/image/channel_shuffle_int8.h"

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "channel_shuffle_int8";
}

ChannelShuffleInt8::ChannelShuffleInt8(const std::string& node_name, int32_t groups_)
    : ShapeKeeping(node_name), groups(groups_) {
    require_arg_at_least(kOp, name, "groups", groups, 1);
}

Shape3 ChannelShuffleInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                   ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    const TensorView& x = inputs[0];
    const int32_t c = nonnegative(x.c);
    if (c % groups != 0)
        layer_fail(kOp, name, "input has " + std::to_string(c) + " channels, not a multiple of groups = " +
                                  std::to_string(groups));
    const int64_t rows = checked_elements(kOp, name, "input 0", 1, x.h, x.w, 1);
    const int64_t n = checked_elements(kOp, name, "input 0", x.c, x.h, x.w, 1);
    require_input_holds(kOp, name, inputs, 0, 1);
    require_output_extent(kOp, name, output, n, 1);
    checked_int32_count(kOp, name, n);
    if (n > 0)
        require_kernel(kOp, name, be.k_channel_shuffle_s8, "k_channel_shuffle_s8")(
            static_cast<const int8_t*>(x.data), static_cast<int8_t*>(output->data), int32_t(rows), c, groups,
            stream_of(ctx));
    return x.shape();
}

std::unique_ptr<ILayer> create_channel_shuffle_int8(const LayerInit& in) {
    return std::make_unique<ChannelShuffleInt8>(in.name, in.args.i("groups"));
}

}  // namespace vantrel
