// Checks and helpers shared by the two sequence matrix-product layers.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>

#include "engine/allocator.h"
#include "engine/backend.h"
#include "engine/tensor.h"
#include "kernels/elementwise/activation.h"
#include "layers/common/backend_slot.h"
#include "layers/common/layer_checks.h"
#include "layers/sequence/sequence_extent.h"

namespace vantrel {

struct SeqGemmIo {
    const float* x;
    float* y;
    int64_t tokens;    // h*w
    int32_t tokens32;  // the same, for the kernels' 32-bit counts
};

// Input 0 is T tokens of exactly k features, the output buffer holds T*n
// floats and the weights are loaded.
inline SeqGemmIo seq_gemm_io(const char* op, const std::string& node, const TensorView* inputs,
                             int num_inputs, const BufferView* output, int32_t k, int32_t n,
                             bool loaded) {
    require_inputs(op, node, num_inputs, 1);
    const TensorView& in = inputs[0];
    if (in.c != k)
        layer_fail(op, node, "input has " + std::to_string(in.c) + " features per token, expected C_in = " +
                                 std::to_string(k));
    require_input_extent(op, node, inputs, 0, 4);
    const int64_t t = token_count(in);
    require_output_extent(op, node, output, checked_product(op, node, "output", t, n), 4);
    const SeqGemmIo io{static_cast<const float*>(in.data), static_cast<float*>(output->data), t,
                       checked_int32_count(op, node, t)};
    if (!loaded) layer_fail(op, node, "weights are not loaded");
    return io;
}

inline KInplaceF32 seq_gelu_kernel(const char* op, const std::string& node, const Backend& be) {
    return slot_or_host(op, node, be, be.k_gelu_f32, &k_gelu_f32, "k_gelu_f32");
}

// One token through the backend's int8 row kernel, on the device copies of
// the rows and scales once uploaded.
inline void seq_gemm_one_token(const char* op, const std::string& node, const Backend& be,
                               const SeqGemmIo& io, const Buffer& device_rows, const int8_t* rows,
                               const Buffer& device_scales, const float* scales, const float* bias,
                               int32_t k, int32_t n, bool gelu, void* stream) {
    if (device_rows.data) rows = static_cast<const int8_t*>(device_rows.data);
    if (device_scales.data) scales = static_cast<const float*>(device_scales.data);
    be.k_seq_gemm_f32_alt(io.x, rows, scales, bias, io.y, k, n, stream);
    if (gelu) seq_gelu_kernel(op, node, be)(io.y, n, stream);
}

// GELU over `total` outputs in chunks the 32-bit kernel count can take;
// whole 4-element groups per chunk give the values of one call.
inline void seq_gelu(KInplaceF32 fn, float* y, int64_t total, void* stream) {
    const int64_t chunk = int64_t(1) << 30;
    for (int64_t i = 0; i < total; i += chunk) fn(y + i, int32_t(std::min(chunk, total - i)), stream);
}

}  // namespace vantrel
