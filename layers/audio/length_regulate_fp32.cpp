#include "layers/audio/length_regulate_fp32.h"

#include <cmath>
#include <cstring>

#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "length_regulate_fp32";
}

void LengthRegulateFp32::set_duration_scale(float factor) {
    duration_scale = (std::isfinite(factor) && factor > 0.0f) ? factor : 1.0f;
}

int32_t LengthRegulateFp32::repeats(float scale, float duration) {
    const float r = std::round(scale * duration);
    int32_t n;
    if (std::isnan(r)) n = 0;
    else if (r >= 2147483648.0f) n = INT32_MAX;
    else if (r <= -2147483648.0f) n = INT32_MIN;
    else n = int32_t(r);
    return n < 1 ? 1 : n;
}

int64_t LengthRegulateFp32::total_repeats(float scale, const float* d, int64_t n) {
    // Four rows per step; the sum is
    // exact in 64 bits whatever the grouping (n * INT32_MAX < 2^63).
    int64_t total = 0, i = 0;
    for (; i + 4 <= n; i += 4)
        total += int64_t(repeats(scale, d[i])) + repeats(scale, d[i + 1]) + repeats(scale, d[i + 2]) +
                 repeats(scale, d[i + 3]);
    for (; i < n; ++i) total += repeats(scale, d[i]);
    return total;
}

Shape3 LengthRegulateFp32::output_shape_from_data(const void* const* data, const Shape3* in, int count) const {
    if (count <= 0) return Shape3{0, 0, 0};
    if (count < 2 || !data || !data[1]) return output_shape(in[0]);
    const int64_t rows = element_count(Shape3{1, in[0].h, in[0].w});
    if (element_count(in[1]) != rows) return Shape3{in[0].c, 0, 1};
    const int64_t total = total_repeats(duration_scale, static_cast<const float*>(data[1]), rows);
    return Shape3{in[0].c, total > INT32_MAX ? 0 : int32_t(total), 1};
}

Shape3 LengthRegulateFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                   ExecContext*) {
    active_backend_or_throw();
    if (num_inputs < 2)
        layer_fail(kOp, name, "needs the features and the durations (2 inputs), got " + std::to_string(num_inputs));
    const TensorView& x = inputs[0];
    const TensorView& d = inputs[1];
    const int64_t c = nonnegative(x.c);
    const int64_t rows = checked_elements(kOp, name, "input 0", 1, x.h, x.w, 4);
    require_view_holds(kOp, name, "input 0", x.bytes, checked_elements(kOp, name, "input 0", c, x.h, x.w, 4), 4);
    const int64_t nd = checked_elements(kOp, name, "input 1", d.c, d.h, d.w, 4);
    if (nd != rows)
        layer_fail(kOp, name, "durations (input 1) hold " + std::to_string(nd) + " values for " +
                                  std::to_string(rows) + " rows");
    require_view_holds(kOp, name, "input 1", d.bytes, rows, 4);
    if (rows < 1) return Shape3{x.c, 0, 1};
    const float* dur = static_cast<const float*>(d.data);
    const int64_t total = total_repeats(duration_scale, dur, rows);
    if (total > INT32_MAX)
        layer_fail(kOp, name, "expanded length " + std::to_string(total) + " exceeds " + std::to_string(INT32_MAX) +
                                  " rows (duration scale " + std::to_string(duration_scale) + ")");
    const int64_t n_out = checked_elements(kOp, name, "output", c, total, 1, 4);
    require_output_extent(kOp, name, output, n_out, 4);
    const float* src = static_cast<const float*>(x.data);
    float* dst = static_cast<float*>(output->data);
    const size_t row_bytes = size_t(c) * sizeof(float);
    int64_t o = 0;
    for (int64_t i = 0; i < rows; ++i) {
        const int32_t r = repeats(duration_scale, dur[i]);
        for (int32_t k = 0; k < r; ++k, ++o)
            if (row_bytes) std::memcpy(dst + o * c, src + i * c, row_bytes);
    }
    return Shape3{x.c, int32_t(total), 1};
}

std::unique_ptr<ILayer> create_length_regulate_fp32(const LayerInit&) {
    return std::make_unique<LengthRegulateFp32>();
}

}  // namespace vantrel
