// The style fully connected layer shared by the style-conditioned
// normalisation layers: h = style * W^T + b with W of 2C rows and S
// columns; gamma = h[0, C), beta = h[C, 2C).
//
// Weights: "<node>.fc.weight_i8" (2C x S int8) with "<node>.fc.w_scales"
// (2C floats, one per row, W = q * scale), or else "<node>.fc.weight"
// (2C x S floats); "<node>.fc.bias" (2C floats) may be absent or empty.
// Every tensor must hold exactly its element count.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

class StyleProjection {
public:
    void load(const char* op, const std::string& node, const WeightFetch& fetch, int32_t c,
              int32_t s);
    bool loaded() const { return loaded_; }
    // gamma (C values) followed by beta (C values), recomputed on every call.
    const float* project(const Backend& be, const float* style, void* stream);
    void upload(Allocator& alloc);
    // On a device: the device projection of `style` (a device pointer).
    const float* project_on_device(const Backend& be, const float* style, void* stream);
    bool on_device() const { return !device_weight_.empty(); }
    void release_host();

    std::vector<float> weight;  // [2C][S], row-major
    std::vector<float> bias;    // [2C] or empty

private:
    int32_t c_ = 0, s_ = 0;
    bool loaded_ = false;
    Buffer packed_;
    std::shared_ptr<SharedPackedWeight> packed_owner_;
    std::vector<float> proj_;
    Buffer device_weight_, device_bias_, device_proj_;
};

}  // namespace vantrel
