// Huge-page advice for large packed weight blocks: fewer translation misses
// when a decoder streams its weights once per token.
#pragma once
#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

namespace vantrel {

// Advises the whole pages inside [p, p + bytes); madvise needs a page-aligned
// start, and the partial pages at either end belong to other allocations.
// The advice is a hint: its result is ignored.
inline void advise_huge_pages(const void* p, uint64_t bytes) {
#if defined(MADV_HUGEPAGE)
    if (!p || bytes == 0) return;
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) return;
    const uintptr_t pg = uintptr_t(page), begin = uintptr_t(p);
    if (bytes > UINTPTR_MAX - begin) return;
    const uintptr_t end = begin + uintptr_t(bytes);
    const uintptr_t first = begin / pg * pg + (begin % pg ? pg : 0), last = end / pg * pg;
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace vantrel
