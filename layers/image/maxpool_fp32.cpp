#include "layers/image/maxpool_fp32.h"

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "layers/common/row_split.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "maxpool_fp32";
}

MaxPoolFp32::MaxPoolFp32(const std::string& node_name, int32_t kH_, int32_t kW_,
                         int32_t stride_h_, int32_t stride_w_, int32_t pad_h_, int32_t pad_w_,
                         bool ceil_mode_)
    : WindowPoolLayer(kOp, node_name, kH_, kW_, stride_h_, stride_w_, pad_h_, pad_w_, ceil_mode_) {}

Shape3 MaxPoolFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                            ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    int64_t n = 0;
    const Shape3 out = checked_io(kOp, inputs, num_inputs, output, 4, n);
    const int32_t h = nonnegative(inputs[0].h), w = nonnegative(inputs[0].w);
    if (be.kind == kBackendHost && n >= kRowSplitMinElements && be.k_maxpool_ceil_f32 &&
        int64_t(out.h - 1) * stride_h - pad_h < h) {
        // Output rows split between threads: a band of rows is the same
        // pooling on the input rows from its first window on, with the top
        // padding only where that window starts above the image.
        const KMaxPoolCeilF32 k = be.k_maxpool_ceil_f32;
        const float* x = static_cast<const float*>(inputs[0].data);
        float* y = static_cast<float*>(output->data);
        void* stream = stream_of(ctx);
        split_rows(out.h, n, true, [&](int64_t oy0, int64_t oy1) {
            const int64_t start = oy0 * stride_h - pad_h;
            const int64_t skip = start > 0 ? start : 0;
            k(x + skip * w * out.c, y + oy0 * out.w * out.c, out.c, int32_t(h - skip), w, int32_t(oy1 - oy0),
              out.w, kH, kW, stride_h, stride_w, int32_t(skip - start), pad_w, stream);
        });
        return out;
    }
    if (ceil_mode) {
        // Its own slot: the floor-mode kernel derives the extents itself.
        const KMaxPoolCeilF32 k = require_kernel(kOp, name, be.k_maxpool_ceil_f32, "k_maxpool_ceil_f32");
        if (n > 0)
            k(static_cast<const float*>(inputs[0].data), static_cast<float*>(output->data), out.c,
              nonnegative(inputs[0].h), nonnegative(inputs[0].w), out.h, out.w, kH, kW, stride_h, stride_w,
              pad_h, pad_w, stream_of(ctx));
        return out;
    }
    const KMaxPoolF32 k = require_kernel(kOp, name, be.k_maxpool_f32, "k_maxpool_f32");
    if (n > 0)
        k(static_cast<const float*>(inputs[0].data), static_cast<float*>(output->data), out.c,
          nonnegative(inputs[0].h), nonnegative(inputs[0].w), kH, kW, stride_h, stride_w, pad_h, pad_w,
          stream_of(ctx));
    return out;
}

std::unique_ptr<ILayer> create_maxpool_fp32(const LayerInit& in) {
    const LayerArgs& a = in.args;
    return std::make_unique<MaxPoolFp32>(in.name, a.i("kH"), a.i("kW"), a.i("stride_h"), a.i("stride_w"),
                                         a.i("pad_h"), a.i("pad_w"), a.b("ceil_mode"));
}

}  // namespace vantrel
