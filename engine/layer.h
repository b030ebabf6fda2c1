// The interface every layer implements; the executor knows layers only
// through it.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/allocator.h"
#include "engine/backend.h"
#include "engine/tensor.h"

namespace vantrel {

// Fills the shape and raw bytes of the named tensor; false when absent.
using WeightFetch =
    std::function<bool(const std::string& name, std::vector<int>& shape, std::vector<uint8_t>& bytes)>;

enum LayerDtype : int { kDtypeFp32 = 0, kDtypeInt8 = 1 };

class ILayer {
public:
    std::string name;
    // Fused ReLU requested by the node; set by the factory for every class.
    bool relu = false;

    virtual ~ILayer() = default;

    virtual void load_weights(const WeightFetch& /*fetch*/) {}
    virtual Shape3 forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                           ExecContext* ctx) = 0;
    virtual int dtype() const = 0;
    virtual Shape3 output_shape(Shape3 input) const = 0;
    virtual Shape3 output_shape_multi(const Shape3* inputs, int count) const {
        return count <= 0 ? output_shape(Shape3{0, 0, 0}) : output_shape(inputs[0]);
    }
    virtual Shape3 output_shape_from_data(const void* const* /*input_data*/, const Shape3* inputs,
                                          int count) const {
        return count > 0 ? output_shape(inputs[0]) : Shape3{0, 0, 0};
    }
    virtual void plan_scratch(Shape3 /*input*/, ScratchRequest& /*req*/) const {}
    virtual void upload_weights(Allocator& /*alloc*/) {}
    virtual void release_host_weights() {}
    virtual bool is_stateful() const { return false; }
    virtual void reserve_state(int /*capacity*/, Allocator& /*alloc*/) {}
    virtual BackendKind device_kind() const { return active_backend_or_throw().kind; }
    // Element type the layer reads from its inputs (the executor refuses
    // tensors of the other type). Most layers read what they write.
    virtual int input_dtype() const { return dtype(); }
};

}  // namespace vantrel
