// The memory budget of one model: its tensors, scratch areas, staging
// buffers and caches are allocated through BudgetedAllocators, which refuse an
// allocation that would take the model past its limit before making it.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>

#include "engine/allocator.h"

namespace vantrel {

// Default limit: a quarter of physical memory (a small file must not be able
// to make the engine take the whole machine), or VANTREL_MEMORY_LIMIT when set
// (bytes, with an optional K, M or G suffix for powers of 1024).
uint64_t default_memory_limit();
// Parses a limit such as "512M"; throws std::runtime_error naming `what`.
uint64_t parse_memory_limit(const std::string& text, const std::string& what);

// One model's limit and the bytes its budgeted allocators hold.
struct MemoryBudget {
    uint64_t limit = UINT64_MAX;
    uint64_t in_use = 0;
    // Throws when `bytes` more would pass the limit.
    void check(uint64_t bytes, const char* what) const;
};

class BudgetedAllocator final : public Allocator {
public:
    BudgetedAllocator(Allocator& inner, MemoryBudget& budget) : inner_(&inner), budget_(&budget) {}

    bool is_device() const override { return inner_->is_device(); }
    void* allocate(size_t bytes) override;
    void deallocate(void* p) override;
    void copy_to_device(void* dst, const void* src, size_t bytes) override { inner_->copy_to_device(dst, src, bytes); }
    void copy_to_host(void* dst, const void* src, size_t bytes) override { inner_->copy_to_host(dst, src, bytes); }
    void copy_device(void* dst, const void* src, size_t bytes) override { inner_->copy_device(dst, src, bytes); }
    void synchronize() override { inner_->synchronize(); }
    void fill_zero(void* p, size_t bytes) override { inner_->fill_zero(p, bytes); }

private:
    Allocator* inner_;
    MemoryBudget* budget_;
    std::unordered_map<void*, size_t> sizes_;
};

}  // namespace vantrel
