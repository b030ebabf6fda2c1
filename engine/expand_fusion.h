// Load-time rewrite of the graph: a convolution whose only reader is a
// depthwise convolution (an inverted-residual block's 1x1 expansion, or a
// network's stem) is taken into that convolution, which then computes both in row bands so the
// expanded tensor never goes to memory whole; likewise the 1x1 projection
// reading a depthwise convolution's output. Only the in-memory node list
// changes; VANTREL_NO_FUSION=1 turns the rewrite off (and the SiLU fold
// below).
#pragma once
#include <string>

#include "loader/arch_loader.h"

namespace vantrel {

// Layers that can compute the pixelwise layer feeding them themselves. The
// fused node reads that layer's input.
class ExpandFusable {
public:
    // Asks the layer to take on `expand`, whose output is its only input.
    // Returns false, changing nothing, when it cannot give the same bits as
    // the two layers run one after the other.
    virtual bool fuse_expand(ILayer& expand) = 0;
    virtual ~ExpandFusable() = default;

protected:
    ExpandFusable() = default;
    ExpandFusable(const ExpandFusable&) = default;
    ExpandFusable& operator=(const ExpandFusable&) = default;
};

// Applies the rewrite to `g` (layers created, weights loaded; after the
// residual folds); returns the number of layers taken in.
int fuse_expand_depthwise(ArchGraph& g);

// Layers that can compute the pixelwise layer reading their output
// themselves, that layer's folded residual add included.
class ProjectFusable {
public:
    // Asks the layer to take on `project`, whose input 0 is its output and
    // which is that output's only reader. Returns false, changing nothing,
    // when it cannot give the same bits as the two layers one after the
    // other.
    virtual bool fuse_project(ILayer& project) = 0;
    virtual ~ProjectFusable() = default;

protected:
    ProjectFusable() = default;
    ProjectFusable(const ProjectFusable&) = default;
    ProjectFusable& operator=(const ProjectFusable&) = default;
};

// The projection that ends an inverted-residual block is taken into the
// depthwise node before it (after the expansion fold, so that node may
// already hold its expansion): the fused node reads the depthwise input
// (and the projection's residual as input 1) where the projection ran, and
// writes the projection's output. Returns the number of layers taken in.
int fuse_depthwise_project(ArchGraph& g);

// Layers that can run a SiLU on their own output while it is in cache.
class SiluFusable {
public:
    // Asks the layer to take on SiLU node `silu_node` (the backend's
    // k_silu_f32 after everything else the layer applies). Returns false,
    // changing nothing, when it cannot give that node's bits.
    virtual bool fuse_silu(const std::string& silu_node) = 0;
    virtual ~SiluFusable() = default;

protected:
    SiluFusable() = default;
    SiluFusable(const SiluFusable&) = default;
    SiluFusable& operator=(const SiluFusable&) = default;
};

// A SiLU node whose input only it reads, written by a layer that can take
// it, runs on that layer's output tiles (EfficientNet's convolutions)
// instead of in a pass of its own. Runs before the residual and expansion
// folds, so a convolution can take its SiLU and then be folded itself.
// Returns the number of SiLU nodes folded.
int fuse_silu_activations(ArchGraph& g);

}  // namespace vantrel
