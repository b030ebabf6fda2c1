// A ready-to-run model: the architecture with its layers, their bound
// weights and the executor's planned memory.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/executor.h"
#include "engine/memory_budget.h"
#include "loader/arch_loader.h"
#include "loader/weights_file.h"

namespace vantrel {

// Binds the weights of every layer, in order, from one open weights file.
// `index_limit` bounds the memory the file's index may take.
void load_weights(const std::string& weights_path, std::vector<std::unique_ptr<ILayer>>& layers,
                  WeightLoadMemoryStats* stats, uint64_t index_limit = UINT64_MAX);

class InferenceModel {
public:
    // `memory_limit` caps the bytes of tensors, scratch, staging and caches
    // (0: default_memory_limit()); allocations past it throw before they
    // are made.
    InferenceModel(const std::string& arch_path, const std::string& weights_path, uint64_t memory_limit = 0);
    uint64_t memory_limit() const { return budget_.limit; }
    uint64_t memory_in_use() const { return budget_.in_use; }

    OutputMap run(const InputMap& inputs) { return exec_.run(inputs); }
    // Step API of decoders (GraphExecutor::run_step and its cache calls).
    OutputMap run_step(const InputMap& inputs, bool last_only = false) {
        return exec_.run_step(inputs, last_only);
    }
    void reserve_cache(int32_t capacity) { exec_.reserve_cache(capacity); }
    void reset_cache() { exec_.reset_cache(); }
    int32_t position() const { return exec_.position(); }
    int32_t cache_capacity() const { return exec_.cache_capacity(); }

    const ArchGraph& graph() const { return graph_; }
    int input_read_dtype(const std::string& name) const { return exec_.input_read_dtype(name); }
    uint64_t peak_tensor_bytes() const { return load_stats_.peak_tensor_bytes; }
    const WeightLoadMemoryStats& load_stats() const { return load_stats_; }
    const std::unordered_map<std::string, std::string>& node_op_names() const { return node_op_names_; }

    bool profile_enabled() const { return exec_.profile_enabled; }
    void set_profile_enabled(bool on) { exec_.profile_enabled = on; }
    const std::unordered_map<std::string, double>& op_profile() const { return exec_.op_profile; }
    const std::unordered_map<std::string, double>& layer_profile() const { return exec_.layer_profile; }
    void reset_profile() {
        exec_.op_profile.clear();
        exec_.layer_profile.clear();
    }

    float speed() const { return speed_; }
    // Rejects non-positive or non-finite speeds; scales every
    // length-regulation layer's durations by 1/speed.
    void set_speed(float speed);

    GraphExecutor& executor() { return exec_; }

private:
    // Declared before the graph and executor: their buffers and the layers'
    // caches give memory back through these allocators when destroyed.
    MemoryBudget budget_;
    std::unique_ptr<BudgetedAllocator> tensor_alloc_, staging_alloc_;
    ArchGraph graph_;
    Allocator* allocator_ = nullptr;
    WeightLoadMemoryStats load_stats_;
    std::unordered_map<std::string, std::string> node_op_names_;
    float speed_ = 1.0f;
    GraphExecutor exec_;
};

}  // namespace vantrel
