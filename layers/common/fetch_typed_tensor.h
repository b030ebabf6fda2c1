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

// The record of `tensor` with at most max_bytes of data: false when absent;
// otherwise `got` is its byte count. A larger record is refused by the
// source before its data is read (bytes stays empty), so the caller's size
// check must fail on `got` before it reads bytes.
inline bool fetch_record(const WeightFetch& fetch, const std::string& tensor, uint64_t max_bytes,
                         std::vector<int>& shape, std::vector<uint8_t>& bytes, uint64_t& got) {
    try {
        if (!fetch(tensor, shape, bytes, max_bytes)) return false;
        got = bytes.size();
    } catch (const WeightRecordTooLarge& e) {
        got = e.data_bytes;
        bytes.clear();
    }
    return true;
}

// A recorded shape (none is fine) must hold exactly `count` values: the
// fetch reports no element type, so a tensor stored with another element
// size shows up as bytes that disagree with its shape.
inline void require_shape_holds(const char* op, const std::string& node, const std::string& tensor,
                                const std::vector<int>& shape, uint64_t bytes, int64_t count,
                                const char* type_name) {
    if (shape.empty()) return;
    // Saturating product; a negative dimension never matches.
    int64_t dims = 1;
    for (int d : shape) dims = d < 0 ? -1 : (dims < 0 || (d != 0 && dims > INT64_MAX / d)) ? -1 : dims * d;
    if (dims != count)
        layer_fail(op, node, "weight tensor '" + tensor + "' has " + std::to_string(bytes) + " bytes but a shape of " +
                                 std::to_string(shape.size()) + " dimensions that does not hold " +
                                 std::to_string(count) + " " + type_name + " values");
}

// Returns false when the tensor is absent and not required (out untouched).
// Throws when a required tensor is absent, its byte count is not exactly
// `expected` elements of T, or its recorded shape does not hold `expected`
// elements (an int32 ".eff_bias" of C_out elements has half the bytes of
// an int64 one).
template <typename T>
bool fetch_typed_tensor_if(const char* op, const std::string& node, const WeightFetch& fetch,
                           const std::string& tensor, int64_t expected, const char* type_name, bool required,
                           std::vector<T>& out) {
    std::vector<int> shape;
    std::vector<uint8_t> bytes;
    const std::string label = "weight tensor '" + tensor + "' ";
    // A record larger than needed is refused before its data is read; it
    // fails with the same message as after a read.
    const uint64_t want = expected < 0 ? 0
                          : uint64_t(expected) > UINT64_MAX / sizeof(T) ? UINT64_MAX
                                                                        : uint64_t(expected) * sizeof(T);
    uint64_t got = 0;
    if (!fetch_record(fetch, tensor, want, shape, bytes, got)) {
        if (required) layer_fail(op, node, label + "is missing");
        return false;
    }
    if (got % sizeof(T) != 0)
        layer_fail(op, node, label + "has " + std::to_string(got) + " bytes, not a whole number of " + type_name +
                                 " values");
    const uint64_t n = got / sizeof(T);
    if (expected < 0 || n != uint64_t(expected))
        layer_fail(op, node, label + "holds " + std::to_string(n) + " " + type_name + " values, expected " +
                                 std::to_string(expected));
    require_shape_holds(op, node, tensor, shape, bytes.size(), expected, type_name);
    out.resize(size_t(n));
    if (n) std::memcpy(out.data(), bytes.data(), bytes.size());
    return true;
}

// The required form: throws when the tensor is absent.
template <typename T>
void fetch_typed_tensor(const char* op, const std::string& node, const WeightFetch& fetch,
                        const std::string& tensor, int64_t expected, const char* type_name,
                        std::vector<T>& out) {
    fetch_typed_tensor_if(op, node, fetch, tensor, expected, type_name, true, out);
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
