// Checks and helpers shared by the two sequence matrix-product layers.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>

#include "engine/backend.h"
#include "engine/tensor.h"
#include "kernels/activation.h"
#include "layers/layer_checks.h"
#include "layers/sequence/sequence_extent.h"

namespace vantrel {

struct SeqGemmIo {
    const float* x;
    float* y;
    int64_t tokens;    // h*w
    int32_t tokens32;  // the same, for the kernels' 32-bit counts
};

// Input 0 is T tokens of exactly k features and the output buffer holds T*n
// floats.
inline SeqGemmIo seq_gemm_io(const char* op, const std::string& node, const TensorView* inputs,
                             int num_inputs, const BufferView* output, int32_t k, int32_t n) {
    require_inputs(op, node, num_inputs, 1);
    const TensorView& in = inputs[0];
    if (in.c != k)
        layer_fail(op, node, "input has " + std::to_string(in.c) + " features per token, expected C_in = " +
                                 std::to_string(k));
    require_input_extent(op, node, inputs, 0, 4);
    const int64_t t = token_count(in);
    require_output_extent(op, node, output, checked_product(op, node, "output", t, n), 4);
    return SeqGemmIo{static_cast<const float*>(in.data), static_cast<float*>(output->data), t,
                     checked_int32_count(op, node, t)};
}

// The backend's GELU; the host kernel stands in for an empty slot only
// where memory is host memory.
inline KInplaceF32 seq_gelu_kernel(const char* op, const std::string& node, const Backend& be) {
    if (be.k_gelu_f32) return be.k_gelu_f32;
    if (be.kind != kBackendHost) layer_fail(op, node, "the active backend has no k_gelu_f32 kernel");
    return &k_gelu_f32;
}

// GELU over `total` outputs in chunks the 32-bit kernel count can take;
// whole 4-element groups per chunk give the values of one call.
inline void seq_gelu(KInplaceF32 fn, float* y, int64_t total, void* stream) {
    const int64_t chunk = int64_t(1) << 30;
    for (int64_t i = 0; i < total; i += chunk) fn(y + i, int32_t(std::min(chunk, total - i)), stream);
}

}  // namespace vantrel
