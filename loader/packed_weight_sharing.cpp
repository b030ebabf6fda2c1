#include "loader/packed_weight_sharing.h"

#include <unordered_map>

#include "engine/backend.h"

namespace vantrel {

namespace {
using Registry = std::unordered_map<std::string, std::weak_ptr<SharedPackedWeight>>;
Registry& registry() {
    thread_local Registry r;
    return r;
}
PackedSharingCounts& counts() {
    thread_local PackedSharingCounts c;
    return c;
}
}  // namespace

void clear_packed_weight_registry() {
    registry().clear();
    counts() = PackedSharingCounts{};
}

PackedSharingCounts packed_weight_sharing_counts() { return counts(); }

Buffer share_host_packed_weight(const std::string& key, Buffer&& packed,
                                std::shared_ptr<SharedPackedWeight>& owner) {
    owner.reset();
    if (active_backend_or_throw().kind != kBackendHost) return std::move(packed);
    std::weak_ptr<SharedPackedWeight>& slot = registry()[key];
    std::shared_ptr<SharedPackedWeight> shared = slot.lock();
    ++counts().blocks;
    if (!shared) {
        shared = std::make_shared<SharedPackedWeight>();
        shared->block = std::move(packed);
        slot = shared;
    } else {
        ++counts().shared_blocks;
        counts().shared_bytes += shared->block.size;
    }
    // else: `packed` stays with the caller and is freed when it drops it.
    owner = shared;
    const Buffer& b = shared->block;
    return Buffer(b.data, b.on_device, b.size, [](void*) {});
}

}  // namespace vantrel
