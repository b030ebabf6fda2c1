// Fetches a float32 table whose row count the layer learns from the file:
// the element count must be a non-zero multiple of the row width, so every
// row the layer later indexes is whole.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "layers/common/fetch_f32_tensor.h"

namespace vantrel {

// Returns false when the tensor is absent and not required (out cleared).
// Throws when a required tensor is absent, the bytes are not whole floats,
// the table is empty or its length is not a multiple of `row_width` (>= 1).
inline bool fetch_f32_table(const char* op, const std::string& node, const WeightFetch& fetch,
                            const std::string& tensor, int64_t row_width, bool required,
                            std::vector<float>& out) {
    std::vector<uint8_t> bytes;
    out.clear();
    if (!fetch_f32_bytes(op, node, fetch, tensor, required, bytes)) return false;
    const uint64_t n = bytes.size() / 4;
    if (n == 0) layer_fail(op, node, "weight tensor '" + tensor + "' is empty");
    if (row_width < 1 || n % uint64_t(row_width) != 0)
        layer_fail(op, node, "weight tensor '" + tensor + "' holds " + std::to_string(n) +
                                 " floats, not a whole number of rows of " + std::to_string(row_width));
    out.resize(size_t(n));
    std::memcpy(out.data(), bytes.data(), bytes.size());
    return true;
}

}  // namespace vantrel
