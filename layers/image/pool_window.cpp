#include "layers/image/pool_window.h"

#include "kernels/pool/pool_geometry.h"
#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

PoolWindow::PoolWindow(const char* op, const std::string& node, int32_t kH_, int32_t kW_,
                       int32_t stride_h_, int32_t stride_w_, int32_t pad_h_, int32_t pad_w_, bool ceil_mode_)
    : kH(kH_), kW(kW_), stride_h(stride_h_), stride_w(stride_w_), pad_h(pad_h_), pad_w(pad_w_), ceil_mode(ceil_mode_) {
    require_arg_at_least(op, node, "kH", kH, 1);
    require_arg_at_least(op, node, "kW", kW, 1);
    require_arg_at_least(op, node, "stride_h", stride_h, 1);
    require_arg_at_least(op, node, "stride_w", stride_w, 1);
    require_arg_at_least(op, node, "pad_h", pad_h, 0);
    require_arg_at_least(op, node, "pad_w", pad_w, 0);
}

// Output extents in 64 bits, before any int32 check.
static void pool_extents(const PoolWindow& p, Shape3 in, int64_t& oh, int64_t& ow) {
    oh = pool_out_extent(nonnegative(in.h), p.kH, p.stride_h, p.pad_h, p.ceil_mode);
    ow = pool_out_extent(nonnegative(in.w), p.kW, p.stride_w, p.pad_w, p.ceil_mode);
}

Shape3 PoolWindow::output(Shape3 in) const {
    int64_t oh, ow;
    pool_extents(*this, in, oh, ow);
    return Shape3{nonnegative(in.c), oh > INT32_MAX ? 0 : int32_t(oh), ow > INT32_MAX ? 0 : int32_t(ow)};
}

Shape3 PoolWindow::checked_output(const char* op, const std::string& node, Shape3 in) const {
    int64_t oh, ow;
    pool_extents(*this, in, oh, ow);
    if (oh > INT32_MAX || ow > INT32_MAX)
        layer_fail(op, node, "output extent " + std::to_string(oh) + " x " + std::to_string(ow) +
                                 " does not fit 32 bits");
    return Shape3{nonnegative(in.c), int32_t(oh), int32_t(ow)};
}

}  // namespace vantrel
