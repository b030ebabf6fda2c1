#include "layers/image/concat_fp32.h"

#include "kernels/elementwise/concat_f32.h"
#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "layers/common/row_split.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "concat_fp32";
}

Shape3 ConcatFp32::output_shape_multi(const Shape3* inputs, int count) const {
    if (count <= 0) return Shape3{0, 0, 0};
    if (slice_row_ > 0) return Shape3{slice_row_, inputs[0].h, inputs[0].w};
    int64_t c = 0;
    for (int i = 0; i < count; ++i) c += nonnegative(inputs[i].c);
    return Shape3{int32_t(c > INT32_MAX ? INT32_MAX : c), inputs[0].h, inputs[0].w};
}

Shape3 ConcatFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                           ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, slice_row_ > 0 ? 1 : 2);
    if (num_inputs > kMaxLayerInputs)
        layer_fail(kOp, name, "has " + std::to_string(num_inputs) + " inputs (max " +
                                  std::to_string(kMaxLayerInputs) + ")");
    const TensorView& a = inputs[0];
    const int64_t rows = checked_elements(kOp, name, "input 0", 1, a.h, a.w, 4);
    // 32-bit row counts keep every product below in 64 bits.
    checked_int32_count(kOp, name, rows);
    const float* data[kMaxLayerInputs];
    int32_t chans[kMaxLayerInputs];
    int64_t c = 0;
    for (int i = 0; i < num_inputs; ++i) {
        const TensorView& v = inputs[i];
        if (v.h != a.h || v.w != a.w)
            layer_fail(kOp, name, "input " + std::to_string(i) + " is " + std::to_string(v.h) + "x" +
                                      std::to_string(v.w) + " (h x w), input 0 is " + std::to_string(a.h) + "x" +
                                      std::to_string(a.w) + "; concatenated inputs must have equal h and w");
        require_input_holds(kOp, name, inputs, i, 4);
        chans[i] = nonnegative(v.c);
        data[i] = static_cast<const float*>(v.data);
        c += chans[i];
    }
    const int32_t c_out = checked_int32_count(kOp, name, c);
    if (slice_row_ > 0) {
        if (c != int64_t(slice_end_) - slice_begin_)
            layer_fail(kOp, name, "inputs have " + std::to_string(c) + " channels, expected " +
                                      std::to_string(slice_end_ - slice_begin_) + " for channels [" +
                                      std::to_string(slice_begin_) + ", " + std::to_string(slice_end_) + ") of " +
                                      std::to_string(slice_row_));
        require_output_extent(kOp, name, output, int64_t(slice_row_) * rows, 4);
        checked_int32_count(kOp, name, int64_t(slice_row_) * rows);
        float* y = static_cast<float*>(output->data) + slice_begin_;
        split_rows(rows, c * rows, true, [&](int64_t r0, int64_t r1) {
            const float* part[kMaxLayerInputs];
            for (int i = 0; i < num_inputs; ++i) part[i] = data[i] + r0 * chans[i];
            concat_f32_into(part, chans, num_inputs, y + r0 * slice_row_, slice_row_, int32_t(r1 - r0));
        }, kRowSplitMinCopyElements);
        return Shape3{slice_row_, a.h, a.w};
    }
    require_output_extent(kOp, name, output, c * rows, 4);
    checked_int32_count(kOp, name, c * rows);
    if (c * rows > 0) {
        const KConcatF32 fn = require_kernel(kOp, name, be.k_concat_f32, "k_concat_f32");
        float* y = static_cast<float*>(output->data);
        void* stream = stream_of(ctx);
        split_rows(rows, c * rows, be.kind == kBackendHost, [&](int64_t r0, int64_t r1) {
            const float* part[kMaxLayerInputs];
            for (int i = 0; i < num_inputs; ++i) part[i] = data[i] + r0 * chans[i];
            fn(part, chans, num_inputs, y + r0 * c, int32_t(r1 - r0), stream);
        }, kRowSplitMinCopyElements);
    }
    return Shape3{c_out, a.h, a.w};
}

bool ConcatFp32::write_channel_slice(int32_t begin, int32_t end, int32_t row) {
    if (begin == 0 && end == 0 && row == 0) {
        slice_begin_ = slice_end_ = slice_row_ = 0;
        return true;
    }
    if (active_backend_or_throw().kind != kBackendHost || begin < 0 || end <= begin || row < end) return false;
    slice_begin_ = begin;
    slice_end_ = end;
    slice_row_ = row;
    return true;
}

std::unique_ptr<ILayer> create_concat_fp32(const LayerInit&) { return std::make_unique<ConcatFp32>(); }

}  // namespace vantrel
