// Sharing of identical packed weight blocks between the layers of one model
// load. The registry is per thread and emptied around every load, so two
// loads never share.
#pragma once
#include <memory>
#include <string>

#include "engine/allocator.h"

namespace vantrel {

struct SharedPackedWeight {
    Buffer block;
};

// On a host backend returns a non-owning view of the block shared under
// `key` (creating it from `packed` when none is alive) and makes `owner` a
// shared owner of it. On a device backend returns `packed` itself and
// leaves `owner` empty.
Buffer share_host_packed_weight(const std::string& key, Buffer&& packed,
                                std::shared_ptr<SharedPackedWeight>& owner);

// Empties this thread's registry and its counts; the model loader calls it
// before and after binding weights.
void clear_packed_weight_registry();

// What this thread's registry has seen since it was last emptied.
struct PackedSharingCounts {
    uint64_t blocks = 0;         // calls on a host backend
    uint64_t shared_blocks = 0;  // calls that reused a live block
    uint64_t shared_bytes = 0;   // bytes of the reused blocks
};
PackedSharingCounts packed_weight_sharing_counts();

}  // namespace vantrel
