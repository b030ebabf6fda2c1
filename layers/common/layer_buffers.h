// Sizes and buffers a layer works with: saturating scratch requests, checked
// extents, borrowed scratch areas and device copies of host weights.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/allocator.h"
#include "engine/tensor.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

// plan_scratch sizes: too large saturates, and the request then fails.
inline uint64_t mul_sat(uint64_t a, uint64_t b) {
    if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
    return a * b;
}

// Products of extents that index memory: a layer failure instead of a wrap.
inline int64_t checked_mul(const char* op, const std::string& node, int64_t a, int64_t b,
                           const char* what = "scratch size") {
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r)) layer_fail(op, node, std::string(what) + " overflows 64 bits");
    return r;
}

// Scratch area `area` when it is host memory holding `count` elements of T,
// else `own` grown to that size.
template <typename T>
T* scratch_or_own(const ExecContext* ctx, int area, int64_t count, std::vector<T>& own) {
    if (ctx && ctx->scratch[area].data && !ctx->scratch[area].on_device &&
        ctx->scratch[area].bytes >= byte_count(count, sizeof(T)))
        return static_cast<T*>(ctx->scratch[area].data);
    if (own.size() < size_t(count)) own.resize(size_t(count));
    return own.data();
}

// A device copy of `bytes` host bytes; empty when there are none.
inline Buffer device_copy(Allocator& alloc, const void* host, size_t bytes) {
    if (bytes == 0) return Buffer();
    Buffer d = alloc.make_buffer(bytes);
    alloc.copy_to_device(d.data, host, bytes);
    return d;
}

inline Buffer device_copy(Allocator& alloc, const Buffer& host) {
    return device_copy(alloc, host.data, size_t(host.size));
}

// Appends a device copy of `host` to `blocks` unless it is empty.
inline void add_device_copy(Allocator& alloc, const Buffer& host, std::vector<Buffer>& blocks) {
    if (!host.empty()) blocks.push_back(device_copy(alloc, host));
}

template <typename T>
Buffer device_copy(Allocator& alloc, const std::vector<T>& host) {
    return device_copy(alloc, host.data(), host.size() * sizeof(T));
}

}  // namespace vantrel
