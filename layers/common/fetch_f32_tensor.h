// Fetches one named float32 weight tensor and checks its length, so a layer
// never packs or indexes a tensor of the wrong size.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

// The raw bytes of `tensor`, a whole number of float32 values; false when
// it is absent and not required. Throws when a required tensor is absent or
// the bytes are not whole floats.
inline bool fetch_f32_bytes(const char* op, const std::string& node, const WeightFetch& fetch,
                            const std::string& tensor, bool required, std::vector<uint8_t>& bytes,
                            uint64_t max_bytes = UINT64_MAX) {
    std::vector<int> shape;
    if (!fetch(tensor, shape, bytes, max_bytes)) {
        if (required) layer_fail(op, node, "weight tensor '" + tensor + "' is missing");
        return false;
    }
    if (bytes.size() % 4 != 0)
        layer_fail(op, node, "weight tensor '" + tensor + "' has " + std::to_string(bytes.size()) +
                                 " bytes, not a whole number of float32 values");
    return true;
}

// Returns false when the tensor is absent and not required (out untouched).
// Throws when a required tensor is absent, its byte count is not a multiple
// of 4, or it does not hold exactly `expected` floats.
inline bool fetch_f32_tensor(const char* op, const std::string& node, const WeightFetch& fetch,
                             const std::string& tensor, int64_t expected, bool required,
                             std::vector<float>& out) {
    std::vector<uint8_t> bytes;
    // A record larger than needed is refused before its data is read; it
    // fails with the same message as after a read.
    uint64_t got;
    try {
        const uint64_t want =
            expected < 0 ? 0 : uint64_t(expected) > UINT64_MAX / 4 ? UINT64_MAX : uint64_t(expected) * 4;
        if (!fetch_f32_bytes(op, node, fetch, tensor, required, bytes, want)) return false;
        got = bytes.size();
    } catch (const WeightRecordTooLarge& e) {
        got = e.data_bytes;
        if (got % 4 != 0)
            layer_fail(op, node, "weight tensor '" + tensor + "' has " + std::to_string(got) +
                                     " bytes, not a whole number of float32 values");
    }
    const uint64_t n = got / 4;
    if (expected < 0 || n != uint64_t(expected))
        layer_fail(op, node, "weight tensor '" + tensor + "' holds " + std::to_string(n) +
                                 " floats, expected " + std::to_string(expected));
    out.resize(size_t(n));
    if (n) std::memcpy(out.data(), bytes.data(), bytes.size());
    return true;
}

}  // namespace vantrel
