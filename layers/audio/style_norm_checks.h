// What the style-conditioned normalisation layers share: their arguments
// and checks, the style projection and its device copy.
#pragma once
#include <cmath>
#include <string>

#include "engine/backend.h"
#include "engine/tensor.h"
#include "layers/common/checked_extent.h"
#include "layers/common/layer_base.h"
#include "layers/common/layer_checks.h"
#include "layers/audio/style_projection.h"

namespace vantrel {

inline void check_style_norm_args(const char* op, const std::string& node, int32_t c, int32_t s, float eps) {
    require_arg_at_least(op, node, "C", c, 1);
    require_arg_at_least(op, node, "C_style", s, 1);
    if (!std::isfinite(eps) || eps < 0.0f)
        layer_fail(op, node, "argument 'eps' must be finite and at least 0, got " + std::to_string(eps));
}

// Checks x (C channels, its rows held), the style vector (exactly S floats
// held), the output and then the weights; returns the row count T = L*W.
inline int32_t check_style_norm_inputs(const char* op, const std::string& node, const TensorView* in,
                                       int num_inputs, const BufferView* out, int32_t c, int32_t s,
                                       bool loaded) {
    if (num_inputs < 2) layer_fail(op, node, "needs the signal and the style vector (2 inputs), got " +
                                                 std::to_string(num_inputs));
    const TensorView& x = in[0];
    if (x.c != c)
        layer_fail(op, node, "input 0 has " + std::to_string(x.c) + " channels, expected C = " + std::to_string(c));
    const int64_t rows = checked_elements(op, node, "input 0", 1, x.h, x.w, 4);
    const int32_t t = checked_int32_count(op, node, rows);
    const int64_t n = checked_elements(op, node, "input 0", c, x.h, x.w, 4);
    checked_int32_count(op, node, n);
    require_view_holds(op, node, "input 0", x.bytes, n, 4);
    const TensorView& st = in[1];
    const int64_t sn = checked_elements(op, node, "input 1", st.c, st.h, st.w, 4);
    if (sn != s)
        layer_fail(op, node, "style vector (input 1) has " + std::to_string(sn) + " values, expected C_style = " +
                                 std::to_string(s));
    require_view_holds(op, node, "input 1", st.bytes, s, 4);
    require_output_extent(op, node, out, n, 4);
    if (!loaded) layer_fail(op, node, "weights are not loaded");
    return t;
}

class StyleNormLayer : public ShapeKeeping<Fp32Layer> {
public:
    int32_t C, C_style;
    float eps;
    StyleProjection fc;

protected:
    // Throws when C or C_style is below 1 or eps is negative or not finite.
    StyleNormLayer(const char* op, const std::string& node_name, int32_t C_, int32_t C_style_, float eps_)
        : ShapeKeeping(node_name), C(C_), C_style(C_style_), eps(eps_) {
        check_style_norm_args(op, name, C, C_style, eps);
    }

    // forward of the style-conditioned normalisations: checks, projects the
    // style vector to the 2*C {scale, shift} values on the side x is on, and
    // runs the backend's `kernel` there (on the host its portable `fallback`
    // when the backend has none) as apply(k, x, out, h, t, stream, on_device).
    template <class Kernel, class Apply>
    Shape3 style_norm_forward(const char* op, Kernel Backend::*kernel, Kernel fallback, const TensorView* inputs,
                              int num_inputs, const BufferView* output, ExecContext* ctx, Apply apply) {
        const Backend& be = active_backend_or_throw();
        const int32_t t = check_style_norm_inputs(op, name, inputs, num_inputs, output, C, C_style, fc.loaded());
        const TensorView& x = inputs[0];
        const float* style = static_cast<const float*>(inputs[1].data);
        float* out = static_cast<float*>(output->data);
        void* stream = stream_of(ctx);
        if (t == 0) return x.shape();
        if (x.on_device != 0) {
            if (!fc.on_device() || !be.k_linear_f32 || !(be.*kernel))
                layer_fail(op, name, "device input without device weights and kernels");
            const float* h = fc.project_on_device(be, style, stream);
            apply(be.*kernel, static_cast<const float*>(x.data), out, h, t, stream, true);
            return x.shape();
        }
        const float* h = fc.project(be, style, stream);
        apply(be.*kernel ? be.*kernel : fallback, static_cast<const float*>(x.data), out, h, t, stream, false);
        return x.shape();
    }
};

}  // namespace vantrel
