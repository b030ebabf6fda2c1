#include "engine/memory_budget.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include <unistd.h>

namespace vantrel {

uint64_t parse_memory_limit(const std::string& text, const std::string& what) {
    size_t i = 0;
    uint64_t v = 0;
    bool digits = false;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        const uint64_t d = uint64_t(text[i] - '0');
        if (v > (UINT64_MAX - d) / 10) throw std::runtime_error(what + " '" + text + "' is too large");
        v = v * 10 + d;
        digits = true;
        ++i;
    }
    int shift = 0;
    if (i + 1 == text.size()) {
        switch (std::toupper(static_cast<unsigned char>(text[i]))) {
            case 'K': shift = 10; break;
            case 'M': shift = 20; break;
            case 'G': shift = 30; break;
            default: shift = -1;
        }
        ++i;
    }
    if (!digits || i != text.size() || shift < 0 || v == 0)
        throw std::runtime_error(what + " '" + text + "' is not a positive byte count (such as 4096, 512M or 8G)");
    if (shift && v > (UINT64_MAX >> shift)) throw std::runtime_error(what + " '" + text + "' is too large");
    return v << shift;
}

uint64_t default_memory_limit() {
    if (const char* env = std::getenv("VANTREL_MEMORY_LIMIT"))
        if (*env) return parse_memory_limit(env, "VANTREL_MEMORY_LIMIT");
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return UINT64_MAX;
    return uint64_t(pages) / 4 * uint64_t(page);
}

void MemoryBudget::check(uint64_t bytes, const char* what) const {
    if (bytes <= limit && in_use <= limit - bytes) return;
    throw std::runtime_error(std::string(what) + " of " + std::to_string(bytes) + " bytes would take the model to " +
                             std::to_string(in_use + bytes) + " bytes of tensors, scratch and caches; its memory "
                             "limit is " + std::to_string(limit) +
                             " bytes (raise it with InferenceModel(..., memory_limit=) or VANTREL_MEMORY_LIMIT)");
}

void* BudgetedAllocator::allocate(size_t bytes) {
    budget_->check(bytes, "An allocation");
    void* p = inner_->allocate(bytes);
    if (p) {
        sizes_[p] = bytes;
        budget_->in_use += bytes;
    }
    return p;
}

void BudgetedAllocator::deallocate(void* p) {
    auto it = sizes_.find(p);
    if (it != sizes_.end()) {
        budget_->in_use -= it->second;
        sizes_.erase(it);
    }
    inner_->deallocate(p);
}

}  // namespace vantrel
