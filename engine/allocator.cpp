#include "engine/allocator.h"

#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vantrel {

Buffer Allocator::make_buffer(size_t bytes) {
    void* p = allocate(bytes);
    if (p == nullptr && bytes != 0)
        throw std::runtime_error("Allocation of " + std::to_string(bytes) + " bytes failed");
    Allocator* self = this;
    return Buffer(p, is_device() ? 1 : 0, bytes, [self](void* q) { self->deallocate(q); });
}

// Tensors start on a 64-byte line: malloc's 16-byte alignment made every
// 512-bit load of a channel vector straddle two lines.
void* CpuAllocator::allocate(size_t bytes) {
    if (bytes > SIZE_MAX - 63) return nullptr;
    return std::aligned_alloc(64, (bytes + 63) / 64 * 64);
}
void CpuAllocator::deallocate(void* p) { std::free(p); }
void CpuAllocator::copy_to_device(void* dst, const void* src, size_t bytes) {
    if (bytes) std::memcpy(dst, src, bytes);
}
void CpuAllocator::copy_to_host(void* dst, const void* src, size_t bytes) {
    if (bytes) std::memcpy(dst, src, bytes);
}
void CpuAllocator::copy_device(void* dst, const void* src, size_t bytes) {
    if (bytes) std::memcpy(dst, src, bytes);
}
void CpuAllocator::fill_zero(void* p, size_t bytes) {
    if (bytes) std::memset(p, 0, bytes);
}

// Function-local statics: constructed on first use, never destroyed before
// any Buffer deleter that may still reference them at exit.
CpuAllocator& cpu_allocator() {
    static CpuAllocator* a = new CpuAllocator();
    return *a;
}
CpuAllocator& host_staging_allocator() {
    static CpuAllocator* a = new CpuAllocator();
    return *a;
}

}  // namespace vantrel
