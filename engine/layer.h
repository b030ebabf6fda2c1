// The interface every layer implements; the executor knows layers only
// through it.
#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/allocator.h"
#include "engine/backend.h"
#include "engine/tensor.h"

namespace vantrel {

// Thrown by a weight fetch for a record holding more data bytes than the
// caller asked for at most; nothing was allocated or read for its data.
struct WeightRecordTooLarge : std::runtime_error {
    WeightRecordTooLarge(const std::string& what, uint64_t data_bytes)
        : std::runtime_error(what), data_bytes(data_bytes) {}
    uint64_t data_bytes;
};

// Fills the shape and raw bytes of the named tensor; false when absent. A
// caller that knows the size it needs passes max_bytes, so that a record
// claiming more is refused before its data is allocated or read (a source
// that cannot check this early may ignore it; the caller checks again).
class WeightFetch {
public:
    using Fn = std::function<bool(const std::string& name, std::vector<int>& shape,
                                  std::vector<uint8_t>& bytes, uint64_t max_bytes)>;
    WeightFetch() = default;
    template <class F, std::enable_if_t<std::is_invocable_r_v<bool, F&, const std::string&, std::vector<int>&,
                                                              std::vector<uint8_t>&, uint64_t>,
                                        int> = 0>
    WeightFetch(F f) : fn_(std::move(f)) {}
    template <class F, std::enable_if_t<std::is_invocable_r_v<bool, F&, const std::string&, std::vector<int>&,
                                                              std::vector<uint8_t>&> &&
                                            !std::is_invocable_v<F&, const std::string&, std::vector<int>&,
                                                                 std::vector<uint8_t>&, uint64_t>,
                                        int> = 0>
    WeightFetch(F f)
        : fn_([f = std::move(f)](const std::string& name, std::vector<int>& shape, std::vector<uint8_t>& bytes,
                                 uint64_t) mutable { return f(name, shape, bytes); }) {}

    bool operator()(const std::string& name, std::vector<int>& shape, std::vector<uint8_t>& bytes,
                    uint64_t max_bytes = UINT64_MAX) const {
        return fn_(name, shape, bytes, max_bytes);
    }
    explicit operator bool() const { return bool(fn_); }

private:
    Fn fn_;
};

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
    // True when each output pixel (one row of c channels; h*w of them)
    // depends only on the same pixel of every input, the layer keeps no
    // state, and it takes any pixel count. The executor may then run it on
    // several samples stacked into one tensor, or on a subset of rows.
    virtual bool pixelwise() const { return false; }
};

}  // namespace vantrel
