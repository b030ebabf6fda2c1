// Helpers shared by the fuzz harnesses: in-memory files the loaders can open
// by path, and a memory-capped backend so that a file asking for huge
// tensors fails with the engine's allocation error instead of exhausting
// the fuzzer's memory limit.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "engine/allocator.h"
#include "engine/backend.h"

namespace fuzz {

// An anonymous in-memory file reachable as /proc/self/fd/N.
class MemFile {
public:
    MemFile(const uint8_t* data, size_t size) {
        fd_ = memfd_create("vantrel-fuzz", 0);
        if (fd_ < 0) std::abort();
        size_t done = 0;
        while (done < size) {
            ssize_t n = write(fd_, data + done, size - done);
            if (n <= 0) std::abort();
            done += size_t(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemFile() { close(fd_); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// Host allocator with a per-block and a live-total cap; a refused block
// makes Allocator::make_buffer throw, as a real allocation failure would.
class CappedAllocator final : public vantrel::Allocator {
public:
    static constexpr size_t kMaxBlock = size_t(64) << 20;
    static constexpr size_t kMaxLive = size_t(256) << 20;

    bool is_device() const override { return false; }
    void* allocate(size_t bytes) override {
        if (bytes > kMaxBlock || live_ + bytes > kMaxLive) return nullptr;
        auto* p = static_cast<size_t*>(std::malloc(bytes + 16));
        if (!p) return nullptr;
        *p = bytes;
        live_ += bytes;
        return reinterpret_cast<uint8_t*>(p) + 16;
    }
    void deallocate(void* q) override {
        if (!q) return;
        auto* p = reinterpret_cast<size_t*>(static_cast<uint8_t*>(q) - 16);
        live_ -= *p;
        std::free(p);
    }
    void copy_to_device(void* d, const void* s, size_t n) override { if (n) std::memcpy(d, s, n); }
    void copy_to_host(void* d, const void* s, size_t n) override { if (n) std::memcpy(d, s, n); }
    void copy_device(void* d, const void* s, size_t n) override { if (n) std::memcpy(d, s, n); }
    void synchronize() override {}
    void fill_zero(void* p, size_t n) override { if (n) std::memset(p, 0, n); }

private:
    size_t live_ = 0;
};

inline vantrel::Allocator* capped_allocator() {
    static CappedAllocator* a = new CappedAllocator();
    return a;
}

// Registers the CPU backend's kernels again under the capped allocator,
// ahead of the CPU backend itself. Call once, before any model is built.
inline void install_capped_backend() {
    static vantrel::Backend b = vantrel::active_backend_or_throw();
    b.k_name = "cpu-capped";
    b.k_priority += 1;
    b.k_get_allocator = &capped_allocator;
    vantrel::register_backend(&b);
}

}  // namespace fuzz
