// An int8 weight block packed by the active backend, owned by a Buffer whose
// deleter returns it through that backend's k_free_packed_s8, then offered
// to the packed-weight registry so identical blocks of one model load are
// kept once.
#pragma once
#include <memory>
#include <string>

#include "engine/backend.h"
#include "kernels/gemm/gemm_s8.h"
#include "layers/common/layer_checks.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

inline Buffer pack_s8_shared(const char* op, const std::string& node, const std::string& key,
                             const int8_t* w, int32_t n, int32_t k,
                             std::shared_ptr<SharedPackedWeight>& owner) {
    const Backend& be = active_backend_or_throw();
    if (!be.k_pack_s8 || !be.k_free_packed_s8)
        layer_fail(op, node, "the active backend cannot pack int8 weights");
    KFreePackedS8 release = be.k_free_packed_s8;
    Buffer block(be.k_pack_s8(w, n, k), 0, packed_s8_bytes(n, k),
                 [release](void* p) { release(static_cast<int8_t*>(p)); });
    return share_host_packed_weight(key, std::move(block), owner);
}

// A view of `b` that never releases it (a second name for a block owned
// elsewhere).
inline Buffer borrowed_view(const Buffer& b) { return Buffer(b.data, b.on_device, b.size, nullptr); }

}  // namespace vantrel
