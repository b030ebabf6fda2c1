// A float weight block packed by the active backend, owned by a Buffer whose
// deleter returns it through that backend's k_free_packed_f32, then offered
// to the packed-weight registry so identical blocks of one model load are
// kept once.
#pragma once
#include <memory>
#include <string>

#include "engine/backend.h"
#include "kernels/gemm/gemm_f32.h"
#include "layers/common/layer_checks.h"
#include "loader/packed_weight_sharing.h"

namespace vantrel {

inline Buffer pack_f32_shared(const char* op, const std::string& node, const std::string& key,
                              const float* w, int32_t n, int32_t k,
                              std::shared_ptr<SharedPackedWeight>& owner) {
    const Backend& be = active_backend_or_throw();
    if (!be.k_pack_f32 || !be.k_free_packed_f32)
        layer_fail(op, node, "the active backend cannot pack float weights");
    KFreePackedF32 release = be.k_free_packed_f32;
    // The block's size is the packing path's, whose panels may be wider
    // than 4 columns.
    Buffer block(be.k_pack_f32(w, n, k), 0, packed_f32_bytes(n, k),
                 [release](void* p) { release(static_cast<float*>(p)); });
    return share_host_packed_weight(key, std::move(block), owner);
}

}  // namespace vantrel
