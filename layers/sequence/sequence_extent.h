// Counts of the sequence layers, computed so that no product wraps.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/tensor.h"
#include "layers/common/layer_base.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

// Tokens of a sequence input: h*w, negative extents counting as 0.
inline int64_t token_count(const TensorView& v) {
    return int64_t(v.h < 0 ? 0 : v.h) * int64_t(v.w < 0 ? 0 : v.w);
}

// Token-id inputs hold one id per position. Ids declared as a flat vector
// of c values would be read as one position and all but the first dropped.
inline void require_one_id_per_position(const char* op, const std::string& node, const TensorView& v) {
    if (v.c != 1)
        layer_fail(op, node, "token ids must have one channel per position, got " + std::to_string(v.c) +
                                 " (declare T ids with shape [T, 1], not [T])");
}

// forward of a per-row normalisation over `gamma`'s c features: one input
// of rows with exactly that width, held along with the output; returns h*w.
inline int64_t norm_layer_rows(const char* op, const std::string& node, const TensorView* inputs,
                               int num_inputs, const BufferView* output, const std::vector<float>& gamma) {
    require_inputs(op, node, num_inputs, 1);
    const TensorView& x = inputs[0];
    if (gamma.empty()) layer_fail(op, node, "weights are not loaded");
    if (int64_t(x.c) != int64_t(gamma.size()))
        layer_fail(op, node, "input has " + std::to_string(x.c) + " features, '" + node + ".gamma' holds " +
                                 std::to_string(gamma.size()));
    require_input_extent(op, node, inputs, 0, 4);
    const int64_t rows = token_count(x);
    require_output_extent(op, node, output, rows * x.c, 4);
    return rows;
}

// A normalisation of every row over its c features, scaled by `gamma`.
class RowNormLayer : public ShapeKeeping<Fp32Layer> {
public:
    RowNormLayer(const std::string& node_name, float eps_) : ShapeKeeping(node_name), eps(eps_) {}

    float eps;
    std::vector<float> gamma;

    // Each row is normalised on its own.
    bool pixelwise() const override { return true; }

protected:
    // forward's checks; the rows to normalise, 0 when there are none.
    int32_t checked_rows(const char* op, const TensorView* inputs, int num_inputs, const BufferView* output) const {
        const int64_t rows = norm_layer_rows(op, name, inputs, num_inputs, output, gamma);
        return rows == 0 ? 0 : checked_int32_count(op, name, rows);
    }
};

// a*b for non-negative a, b; a layer failure when it does not fit 64 bits.
inline int64_t checked_product(const char* op, const std::string& node, const char* what, int64_t a,
                               int64_t b) {
    int64_t r;
    if (a < 0 || b < 0 || __builtin_mul_overflow(a, b, &r))
        layer_fail(op, node, std::string(what) + " is too large");
    return r;
}

}  // namespace vantrel
