// Fetches one named weight tensor of a fixed element type and checks it, so
// a layer never packs or indexes a tensor of the wrong size or type.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

// Throws when the tensor is absent, its byte count is not exactly
// `expected` elements of T, or its recorded shape does not hold `expected`
// elements. The fetch reports no element type, so a tensor stored with a
// different element size is caught by the byte count against the shape: an
// int32 ".eff_bias" of C_out elements has half the bytes of an int64 one.
template <typename T>
void fetch_typed_tensor(const char* op, const std::string& node, const WeightFetch& fetch,
                        const std::string& tensor, int64_t expected, const char* type_name,
                        std::vector<T>& out) {
    std::vector<int> shape;
    std::vector<uint8_t> bytes;
    if (!fetch(tensor, shape, bytes)) layer_fail(op, node, "weight tensor '" + tensor + "' is missing");
    const std::string label = "weight tensor '" + tensor + "' ";
    if (bytes.size() % sizeof(T) != 0)
        layer_fail(op, node, label + "has " + std::to_string(bytes.size()) + " bytes, not a whole number of " +
                                 type_name + " values");
    const uint64_t n = bytes.size() / sizeof(T);
    if (expected < 0 || n != uint64_t(expected))
        layer_fail(op, node, label + "holds " + std::to_string(n) + " " + type_name + " values, expected " +
                                 std::to_string(expected));
    if (!shape.empty()) {
        // Saturating product; a negative dimension never matches.
        int64_t dims = 1;
        for (int d : shape) dims = d < 0 ? -1 : (dims < 0 || (d != 0 && dims > INT64_MAX / d)) ? -1 : dims * d;
        if (dims != expected)
            layer_fail(op, node, label + "has " + std::to_string(bytes.size()) + " bytes but a shape of " +
                                     std::to_string(shape.size()) + " dimensions that does not hold " +
                                     std::to_string(expected) + " " + type_name + " values");
    }
    out.resize(size_t(n));
    if (n) std::memcpy(out.data(), bytes.data(), bytes.size());
}

// Requantisation scales must be usable by quantize_multiplier.
inline void require_scales(const char* op, const std::string& node, const std::string& tensor,
                           const std::vector<float>& s) {
    for (size_t i = 0; i < s.size(); ++i)
        if (!std::isfinite(s[i]) || s[i] < 0.0f)
            layer_fail(op, node, "weight tensor '" + tensor + "' entry " + std::to_string(i) + " is " +
                                     std::to_string(s[i]) + "; scales must be finite and at least 0");
}

}  // namespace vantrel
