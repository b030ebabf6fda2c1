// The graph executor: binds inputs, plans tensor and scratch memory (buffers
// only grow), runs the nodes in file order and copies the declared outputs.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/allocator.h"
#include "engine/layer.h"
#include "engine/tensor.h"
#include "loader/arch_loader.h"

namespace vantrel {

struct InputTensor {
    const void* data = nullptr;
    std::vector<int> shape;
    std::string dtype = "float32";
    std::vector<uint8_t> storage;
};

// Allocates elements without value-initialising them: an output's bytes are
// all written by the copy that fills them, so zeroing them first would be a
// wasted pass over a buffer of megabytes.
template <class T>
struct UninitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using OutputBytes = std::vector<uint8_t, UninitAllocator<uint8_t>>;

struct OutputTensor {
    const void* data = nullptr;
    std::vector<int> shape;
    std::string dtype = "float32";
    OutputBytes bytes;
};

using InputMap = std::unordered_map<std::string, InputTensor>;
using OutputMap = std::unordered_map<std::string, OutputTensor>;

// Dimension list (channels last) to {c, h, w}; zeros are filled from
// `fallback` when it is given; h and w are at least 1.
Shape3 shape_to_shape3(const std::vector<int>& dims, const std::vector<int>* fallback);

class GraphExecutor {
public:
    // Builds the tensor index and node-to-layer table for `graph` and runs
    // one planning pass from the declared shapes. `graph` and `alloc` must
    // outlive the executor.
    // `staging` (host memory for layers that run on the other side of a
    // device boundary) defaults to the process-wide staging allocator.
    void prepare(ArchGraph& graph, Allocator* alloc, Allocator* staging = nullptr);
    // `samples` scales every tensor for that many samples held back to back.
    void plan(const InputMap& inputs, int64_t samples = 1);
    // One pass with every stateful layer at position 0: a fresh sequence.
    // The step sequence is dropped (its cache rows are overwritten), so the
    // step position is back at 0 afterwards.
    OutputMap run(const InputMap& inputs);
    // A fresh pass for each of `batch` samples: every input's data holds
    // `batch` samples of its shape back to back. When the samples can share
    // one pass (no stateful or cross-device layer, equal shapes throughout),
    // pixelwise layers run once over all of them stacked and the others once
    // per sample on views; otherwise (or with VANTREL_NO_BATCH_STACK=1) each
    // sample runs alone. Either way sample b's outputs are bit for bit those
    // of run() on sample b alone.
    std::vector<OutputMap> run_batch(const InputMap& inputs, int64_t batch);

    // Step API for decoders. run_step runs with the stateful layers at the
    // current position and then advances it by the tokens they took in (all
    // of them must take the same count); a failing step leaves the position
    // unchanged. Caches are reserved before the first pass, with the largest
    // capacity a node declares ("max_seq_len") or kDefaultCacheCapacity.
    // With `last_only` the caller keeps only the last position (pixel row) of
    // each output: the pixelwise nodes after the last other node then run on
    // that row alone, and their outputs have one row.
    static constexpr int32_t kDefaultCacheCapacity = 2048;
    OutputMap run_step(const InputMap& inputs, bool last_only = false);
    // Re-reserves every cache for `capacity` positions (at least 1, and at
    // least the current position, which is kept with its cached rows).
    void reserve_cache(int32_t capacity);
    void reset_cache() { position_ = 0; }
    int32_t position() const { return position_; }
    int32_t cache_capacity() const;

    bool profile_enabled = false;
    std::unordered_map<std::string, double> op_profile;
    std::unordered_map<std::string, double> layer_profile;

    // Bytes held by tensor buffers, for tests of the no-regrowth rule.
    uint64_t tensor_buffer_bytes() const;
    int tensor_dtype(const std::string& name) const { return dtypes_.at(index_.at(name)); }
    // Element type the nodes reading model input `name` take (float32 when no
    // node reads it): what the caller's array is converted to.
    int input_read_dtype(const std::string& name) const;

private:
    void grow(Buffer& b, uint64_t bytes, Allocator& alloc, bool zero);
    // A zero-filled tensor buffer from the model's allocator; a refused or
    // failed allocation names the tensor, from `what()` (only built then).
    template <class What>
    void grow_for(Buffer& b, uint64_t bytes, What&& what) {
        try {
            grow(b, bytes, *alloc_, true);
        } catch (const std::runtime_error& e) {
            throw std::runtime_error(what() + ": " + e.what());
        }
    }
    void grow_scratch(ILayer& layer, Shape3 in0, bool cross);
    // Copies `samples` samples of each input (back to back in its data).
    void bind_inputs(const InputMap& inputs, int64_t samples = 1);
    // Largest element count of every tensor as planned from the inputs'
    // shapes; `last` receives each tensor's last planned shape.
    std::vector<int64_t> planned_counts(const InputMap& inputs, std::vector<Shape3>* last = nullptr) const;
    // Samples one stacked pass takes (1: run each sample alone).
    int64_t stack_size(const InputMap& inputs, int64_t batch) const;
    // One pass over `samples` stacked samples; false (outputs untouched)
    // when their shapes part somewhere, so they must run one at a time.
    bool execute_stacked(const InputMap& inputs, int64_t samples, std::vector<OutputMap>& outs);
    // The node's input and output tensor indices, checked.
    int node_tensors(size_t node, int* in_idx, int& num_inputs) const;
    void record_profile(const ArchNode& node, std::chrono::steady_clock::time_point t0);
    void check_input_dtype(const std::string& name, const InputTensor& t) const;
    void check_tensor_dtypes() const;
    // The pass itself; stateful layers see `position`. With `step_tokens`
    // set, it receives the token count the stateful layers took in.
    OutputMap execute(const InputMap& inputs, int32_t position, int64_t* step_tokens, bool last_only = false);
    // Tensor `idx` as an output, from `offset` bytes into its buffer.
    OutputTensor copy_output(int idx, uint64_t offset) const;
    // First node of the longest run of pixelwise nodes that ends the graph
    // (the node count when the last node is not pixelwise).
    size_t pixelwise_tail() const;
    // Whether the tail from `start` can run on the last pixel row alone with
    // the shapes the nodes before it produced.
    bool tail_fits_last_row(size_t start) const;
    void ensure_caches();
    std::vector<ILayer*> stateful_layers() const;

    ArchGraph* graph_ = nullptr;
    Allocator* alloc_ = nullptr;
    Allocator* staging_ = nullptr;
    std::vector<ILayer*> node_layers_;
    std::unordered_map<std::string, int> index_;
    // One buffer per slot; slot_ maps each tensor to the slot it shares.
    std::vector<Buffer> buffers_;
    std::vector<int> slot_;
    Buffer& buf(int tensor) { return buffers_[size_t(slot_[size_t(tensor)])]; }
    const Buffer& buf(int tensor) const { return buffers_[size_t(slot_[size_t(tensor)])]; }
    std::vector<Shape3> shapes_;
    std::vector<int> dtypes_;
    // Bytes from one sample to the next within each tensor's buffer during
    // a stacked pass.
    std::vector<uint64_t> strides_;
    Buffer device_scratch_[kScratchAreas];
    Buffer host_scratch_[kScratchAreas];
    Buffer input_staging_[kMaxLayerInputs];
    Buffer output_staging_;
    int32_t capacity_ = 0;  // 0 until resolved
    bool caches_reserved_ = false;
    int32_t position_ = 0;
};

}  // namespace vantrel
