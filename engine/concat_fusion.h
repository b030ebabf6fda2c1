// Load-time rewrite of the graph: concatenations that each extend the one
// before (a DenseNet block concatenates the block input and every layer's
// output so far, for every layer) share the buffer of the largest one.
// Each concat node then copies only the inputs the previous one lacked into
// their channels of that buffer, and the layers that read a smaller concat
// read the leading channels of the shared buffer in place. The block costs
// one copy of each input instead of one per later layer; every value read
// is the one the separate concatenation would have held. Only the in-memory
// node list changes; VANTREL_NO_FUSION=1 turns the rewrite off.
#pragma once
#include <cstdint>

#include "loader/arch_loader.h"

namespace vantrel {

// Layers that can read the leading channels of a wider input tensor.
class ChannelPrefixReader {
public:
    // Channels the layer reads from each pixel of its input 0 (-1 when the
    // layer does not fix them).
    virtual int32_t input_channels() const = 0;
    // Asks the layer to accept an input 0 with more channels per pixel than
    // input_channels() and read the leading ones. Returns false, changing
    // nothing, when it cannot.
    virtual bool read_channel_prefix() = 0;
    virtual ~ChannelPrefixReader() = default;

protected:
    ChannelPrefixReader() = default;
    ChannelPrefixReader(const ChannelPrefixReader&) = default;
    ChannelPrefixReader& operator=(const ChannelPrefixReader&) = default;
};

// Concat layers that can write their inputs into a channel range of a
// wider output.
class ConcatSliceWriter {
public:
    // Asks the layer to write its inputs, one after the other, to channels
    // [begin, end) of an output of `row` channels per pixel, and to report
    // that output's shape. Returns false, changing nothing, when it cannot.
    virtual bool write_channel_slice(int32_t begin, int32_t end, int32_t row) = 0;
    virtual ~ConcatSliceWriter() = default;

protected:
    ConcatSliceWriter() = default;
    ConcatSliceWriter(const ConcatSliceWriter&) = default;
    ConcatSliceWriter& operator=(const ConcatSliceWriter&) = default;
};

// Applies the rewrite to `g` (layers created, weights loaded; after the
// other folds, so the readers are the fused nodes). A chain is rewritten
// when each concat's inputs (a concat read only by another one counts as
// its inputs) begin with all of the previous one's, every reader of a
// concat but the largest reads its leading channels in place, and each
// concat's channel count is fixed by its readers. Returns the number of
// concat nodes that now write into a shared buffer.
int share_concat_buffers(ArchGraph& g);

}  // namespace vantrel
