// Load-time rewrite of the graph: the per-channel scale that ends a
// squeeze-and-excitation block (channel_mul_fp32), when a pixelwise
// convolution is its only reader, is taken into that convolution, which
// scales each band of input rows in cache before its product, so the scaled
// tensor never goes to memory whole. Only the in-memory node list changes;
// VANTREL_NO_FUSION=1 turns the rewrite off.
#pragma once
#include <string>

#include "loader/arch_loader.h"

namespace vantrel {

// Layers that can scale their own input per channel first.
class ChannelScaleFusable {
public:
    // Asks the layer to take on channel_mul node `mul_node`, whose output is
    // its input 0. Returns false, changing nothing, when it cannot give the
    // same bits as the two layers one after the other.
    virtual bool fuse_channel_scale(const std::string& mul_node) = 0;
    virtual ~ChannelScaleFusable() = default;

protected:
    ChannelScaleFusable() = default;
    ChannelScaleFusable(const ChannelScaleFusable&) = default;
    ChannelScaleFusable& operator=(const ChannelScaleFusable&) = default;
};

// Applies the rewrite to `g` (layers created, weights loaded; after the
// other folds, whose node shapes it leaves alone): the fused node reads the
// unscaled image as input 0, keeps a folded residual as input 1, and takes
// the scale as its last input. Returns the number of scales taken in.
int fuse_channel_scales(ArchGraph& g);

}  // namespace vantrel
