// The weights of the int8 layers that requantise per output channel: int8
// ".weight", ".req_scale" (finite floats >= 0) and ".eff_bias" (int64), and
// the fixed-point factors and row sums derived from them at load.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "kernels/quantize.h"
#include "layers/common/fetch_typed_tensor.h"

namespace vantrel {

inline void fetch_requant_weights(const char* op, const std::string& node, const WeightFetch& fetch,
                                  int64_t weight_count, int32_t C_out, std::vector<int8_t>& weight,
                                  std::vector<float>& req_scale, std::vector<int64_t>& eff_bias) {
    fetch_typed_tensor(op, node, fetch, node + ".weight", weight_count, "int8", weight);
    fetch_typed_tensor(op, node, fetch, node + ".req_scale", C_out, "float32", req_scale);
    require_scales(op, node, node + ".req_scale", req_scale);
    fetch_typed_tensor(op, node, fetch, node + ".eff_bias", C_out, "int64", eff_bias);
}

// Per output channel: req_scale as multiplier and shift, and the wrapping
// 32-bit sum of the channel's K weights.
inline void requant_rows(const std::vector<float>& req_scale, const std::vector<int8_t>& weight, int64_t K,
                         std::vector<int32_t>& multiplier, std::vector<int32_t>& shift,
                         std::vector<int32_t>& row_sums) {
    const size_t n_out = req_scale.size();
    multiplier.resize(n_out);
    shift.resize(n_out);
    row_sums.resize(n_out);
    for (size_t n = 0; n < n_out; ++n) {
        QuantMultiplier q = quantize_multiplier(req_scale[n]);
        multiplier[n] = q.multiplier;
        shift[n] = q.shift;
        int64_t s = 0;
        for (size_t k = 0; k < size_t(K); ++k) s += weight[n * size_t(K) + k];
        row_sums[n] = int32_t(uint32_t(uint64_t(s)));
    }
}

}  // namespace vantrel
