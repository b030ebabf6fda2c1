// Kernel choice for a backend table slot that a layer may leave empty.
#pragma once
#include <string>

#include "engine/backend.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

// The slot's kernel, or `host` when the slot is empty: the host kernel stands
// in only where memory is host memory.
template <typename Fn>
Fn slot_or_host(const char* op, const std::string& node, const Backend& be, Fn slot, Fn host,
                const char* slot_name) {
    if (slot) return slot;
    if (be.kind != kBackendHost)
        layer_fail(op, node, std::string("the active backend has no ") + slot_name + " kernel");
    return host;
}

}  // namespace vantrel
