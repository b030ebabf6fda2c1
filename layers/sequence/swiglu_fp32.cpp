#include "layers/sequence/swiglu_fp32.h"

#include <algorithm>

#include "kernels/parallel/strip_pool.h"
#include "layers/common/checked_extent.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "swiglu_fp32";
// Below this many outputs one thread finishes before a team would start.
constexpr int64_t kParallelMin = int64_t(1) << 15;
}  // namespace

Shape3 SwigluFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                           ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    const TensorView& in = inputs[0];
    if (in.c < 0 || in.c % 2)
        layer_fail(kOp, name, "input width " + std::to_string(in.c) +
                                  " is not even (expected the gate and up halves of each row)");
    require_input_holds(kOp, name, inputs, 0, 4);
    const int64_t f = in.c / 2;
    const int64_t rows = checked_elements(kOp, name, "rows", 1, in.h, in.w, 4);
    require_output_extent(kOp, name, output, rows * f, 4);
    if (!be.k_silu_f32) layer_fail(kOp, name, "the active backend has no k_silu_f32 kernel");
    if (!be.k_mul_f32) layer_fail(kOp, name, "the active backend has no k_mul_f32 kernel");
    const float* x = static_cast<const float*>(in.data);
    float* y = static_cast<float*>(output->data);
    void* stream = ctx ? ctx->stream : nullptr;
    // Row by row: each row sees the same calls whatever the team, so the
    // thread count changes nothing.
    auto row = [&](int64_t r) {
        float* out = y + r * f;
        be.k_silu_f32(x + r * 2 * f, out, int32_t(f), stream);
        be.k_mul_f32(out, x + r * 2 * f + f, out, int32_t(f), stream);
    };
    const int team = be.kind == kBackendHost && rows > 1 && rows * f >= kParallelMin ? strip_team() : 1;
    if (team <= 1) {
        for (int64_t r = 0; r < rows; ++r) row(r);
    } else {
        // Strips of rows from a shared counter: a thread the OS runs late
        // leaves its rows to the others.
        const int64_t strips = std::min<int64_t>(rows, int64_t(team) * 8), per = (rows + strips - 1) / strips;
        run_strips((rows + per - 1) / per, team, [&](int64_t s, int) {
            for (int64_t r = s * per, e = std::min(rows, r + per); r < e; ++r) row(r);
        });
    }
    return Shape3{int32_t(f), in.h, in.w};
}

std::unique_ptr<ILayer> create_swiglu_fp32(const LayerInit& init) {
    return std::make_unique<SwigluFp32>(init.name);
}

}  // namespace vantrel
