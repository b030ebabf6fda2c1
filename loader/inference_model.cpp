#include "loader/inference_model.h"

#include <cmath>
#include <stdexcept>

#include "engine/backend.h"
#include "engine/duration_scaled.h"
#include "engine/channel_scale_fusion.h"
#include "engine/concat_fusion.h"
#include "engine/expand_fusion.h"
#include "engine/activation_fusion.h"
#include "engine/residual_fusion.h"
#include "loader/graph_validation.h"
#include "loader/op_table.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

namespace {
// Empties the packed-weight registry on every way out of a load.
struct RegistryScope {
    RegistryScope() { clear_packed_weight_registry(); }
    ~RegistryScope() { clear_packed_weight_registry(); }
};
}  // namespace

void load_weights(const std::string& weights_path, std::vector<std::unique_ptr<ILayer>>& layers,
                  WeightLoadMemoryStats* stats, uint64_t index_limit) {
    RegistryScope scope;
    WeightsReader reader(weights_path, index_limit);
    WeightFetch fetch = make_weight_fetch(reader, stats);
    for (auto& layer : layers) layer->load_weights(fetch);
    reader.close();
    if (stats) {
        PackedSharingCounts c = packed_weight_sharing_counts();
        stats->packed_blocks = c.blocks;
        stats->shared_packed_blocks = c.shared_blocks;
        stats->shared_packed_bytes = c.shared_bytes;
    }
}

InferenceModel::InferenceModel(const std::string& arch_path, const std::string& weights_path,
                               uint64_t memory_limit) {
    allocator_ = active_backend_or_throw().k_get_allocator();
    budget_.limit = memory_limit ? memory_limit : default_memory_limit();
    tensor_alloc_ = std::make_unique<BudgetedAllocator>(*allocator_, budget_);
    staging_alloc_ = std::make_unique<BudgetedAllocator>(host_staging_allocator(), budget_);
    graph_ = load_arch(arch_path);
    validate_graph(graph_, arch_path);
    for (const ArchNode& n : graph_.nodes) {
        const char* op = op_name_from_code(n.op);
        node_op_names_[n.name] = (n.op != OP_UNKNOWN && op && *op) ? op : "unknown";
    }
    WeightLoadMemoryStats stats;
    load_weights(weights_path, graph_.layers, &stats, budget_.limit);
    load_stats_ = stats;
    fuse_product_activations(graph_);
    fuse_silu_activations(graph_);
    fuse_residual_adds(graph_);
    fuse_expand_depthwise(graph_);
    fuse_depthwise_project(graph_);
    fuse_channel_scales(graph_);
    share_concat_buffers(graph_);
    exec_.prepare(graph_, tensor_alloc_.get(), staging_alloc_.get());
    for (auto& layer : graph_.layers) layer->upload_weights(*allocator_);
}

void InferenceModel::set_speed(float speed) {
    if (!(speed > 0.0f) || !std::isfinite(speed)) throw std::runtime_error("speed must be a positive finite value");
    speed_ = speed;
    float factor = 1.0f / speed;
    if (!(factor > 0.0f)) factor = 1.0f;
    // Every length-regulation layer gets the factor. Pairing layers with
    // nodes by position would skew after a node that has no layer (unknown
    // op) and reach the wrong layer, so the layers are asked directly.
    for (auto& layer : graph_.layers)
        if (auto* d = dynamic_cast<DurationScaled*>(layer.get())) d->set_duration_scale(factor);
}

}  // namespace vantrel
