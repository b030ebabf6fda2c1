// Stateful layers whose node declares how many positions their cache should
// hold expose it, so that the executor can size every cache before the first
// forward.
#pragma once
#include <cstdint>

namespace vantrel {

class DeclaresCacheCapacity {
public:
    // Positions the node asks for; 0 when it declares none.
    virtual int32_t declared_cache_capacity() const = 0;
    virtual ~DeclaresCacheCapacity() = default;
};

}  // namespace vantrel
