#include "layers/image/activation_fp32.h"

#include <cmath>
#include <cstring>

#include "kernels/parallel/strip_pool.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr int32_t kLastKind = 10;

const char* op_of(int32_t kind) {
    static const char* const names[] = {"leaky_relu_fp32", "exp_fp32",        "sin_fp32",          "sigmoid_fp32",
                                        "tanh_fp32",       "gelu_fp32",       "silu_fp32",         "clamp_fp32",
                                        "hard_swish_fp32", "hard_sigmoid_fp32", "gelu_erf_fp32"};
    return kind >= 0 && kind <= kLastKind ? names[kind] : "activation_fp32";
}

// Below this many elements one thread finishes before a team would start.
constexpr int64_t kParallelMin = int64_t(1) << 15;

// Runs fn(x + begin, y + begin, count) over [0, n) on the host's threads.
// Piece boundaries fall on multiples of 64, so every whole group of 4 and
// the n mod 4 tail go through the same code as in one call: the result does
// not depend on the thread count.
template <class Fn>
void run_split(const Backend& be, const float* x, float* y, int64_t n, Fn fn) {
    const int team = be.kind == kBackendHost && n >= kParallelMin ? strip_team() : 1;
    if (team < 2) {
        fn(x, y, int32_t(n));
        return;
    }
    const int64_t blocks = (n + 63) / 64;
    run_strips(team, team, [&](int64_t t, int) {
        const int64_t b0 = blocks * t / team, b1 = blocks * (t + 1) / team;
        const int64_t i0 = b0 * 64, i1 = b1 * 64 < n ? b1 * 64 : n;
        if (i0 < i1) fn(x + i0, y + i0, int32_t(i1 - i0));
    });
}

template <class Fn>
Fn need(Fn fn, const char* slot, const char* op, const std::string& node) {
    if (!fn) layer_fail(op, node, std::string("the active backend has no ") + slot + " kernel");
    return fn;
}
}  // namespace

Shape3 ActivationFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                               ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const char* op = op_of(kind);
    require_inputs(op, name, num_inputs, 1);
    if (kind < 0 || kind > kLastKind) return inputs[0].shape();
    const int64_t n = element_count(inputs[0].shape());
    require_input_extent(op, name, inputs, 0, 4);
    require_output_extent(op, name, output, n, 4);
    const int32_t n32 = checked_int32_count(op, name, n);
    const float* x = static_cast<const float*>(inputs[0].data);
    float* y = static_cast<float*>(output->data);
    void* stream = ctx ? ctx->stream : nullptr;
    // Element-wise kinds split across threads; the argument-carrying ones bind
    // their arguments first.
    auto unary = [&](KUnaryF32 fn) {
        run_split(be, x, y, n, [&](const float* a, float* b, int32_t m) { fn(a, b, m, stream); });
    };
    switch (kind) {
        case 0: {
            KLeakyReluF32 fn = need(be.k_leaky_relu_f32, "k_leaky_relu_f32", op, name);
            const float a_ = alpha;
            run_split(be, x, y, n, [&](const float* a, float* b, int32_t m) { fn(a, b, m, stream, a_); });
            break;
        }
        case 1: unary(need(be.k_exp_f32, "k_exp_f32", op, name)); break;
        case 2: unary(need(be.k_sin_f32, "k_sin_f32", op, name)); break;
        case 3: unary(need(be.k_sigmoid_f32, "k_sigmoid_f32", op, name)); break;
        case 4: unary(need(be.k_tanh_f32, "k_tanh_f32", op, name)); break;
        case 5: {
            KInplaceF32 gelu = need(be.k_gelu_f32, "k_gelu_f32", op, name);
            if (x != y && n > 0) {
                const size_t bytes = size_t(n) * sizeof(float);
                Allocator* alloc = be.k_get_allocator ? be.k_get_allocator() : nullptr;
                if (be.kind == kBackendHost || !alloc) std::memmove(y, x, bytes);
                else alloc->copy_device(y, x, bytes);
            }
            gelu(y, n32, stream);
            break;
        }
        case 6:
            if (be.k_silu_f32) {
                unary(be.k_silu_f32);
            } else {
                for (int64_t i = 0; i < n; ++i) y[i] = x[i] / (1.0f + std::exp(-x[i]));
            }
            break;
        case 7: {
            KClampF32 fn = need(be.k_clamp_f32, "k_clamp_f32", op, name);
            const float l = lo, h = hi;
            run_split(be, x, y, n, [&](const float* a, float* b, int32_t m) { fn(a, b, m, stream, l, h); });
            break;
        }
        case 8: unary(need(be.k_hard_swish_f32, "k_hard_swish_f32", op, name)); break;
        case 9: unary(need(be.k_hard_sigmoid_f32, "k_hard_sigmoid_f32", op, name)); break;
        case 10: unary(need(be.k_gelu_erf_f32, "k_gelu_erf_f32", op, name)); break;
    }
    return inputs[0].shape();
}

std::unique_ptr<ILayer> create_activation_fp32(const LayerInit& in) {
    // Only leaky ReLU declares "alpha"; the other kinds keep 0.2. Only clamp
    // declares "min" and "max".
    const auto arg = [&](const char* key, float dflt) { return in.args.has(key) ? in.args.f(key) : dflt; };
    return std::make_unique<ActivationFp32>(activation_kind(in.op), arg("alpha", 0.2f), arg("min", 0.0f),
                                            arg("max", 6.0f));
}

}  // namespace vantrel
