// Memory allocators and the owning Buffer block.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

namespace vantrel {

class Buffer;

class Allocator {
public:
    virtual bool is_device() const = 0;
    virtual void* allocate(size_t bytes) = 0;
    virtual void deallocate(void* p) = 0;
    virtual void copy_to_device(void* dst, const void* src, size_t bytes) = 0;
    virtual void copy_to_host(void* dst, const void* src, size_t bytes) = 0;
    virtual void copy_device(void* dst, const void* src, size_t bytes) = 0;
    virtual void synchronize() = 0;
    virtual void fill_zero(void* p, size_t bytes) = 0;
    virtual ~Allocator() = default;

    // Wraps an allocation into an owning Buffer. A failed allocation of a
    // non-empty block throws: handing layers a null block of full recorded
    // size would let them write through null.
    Buffer make_buffer(size_t bytes);
};

// Host allocator: malloc/free/memcpy. Stateless.
class CpuAllocator final : public Allocator {
public:
    bool is_device() const override { return false; }
    void* allocate(size_t bytes) override;
    void deallocate(void* p) override;
    void copy_to_device(void* dst, const void* src, size_t bytes) override;
    void copy_to_host(void* dst, const void* src, size_t bytes) override;
    void copy_device(void* dst, const void* src, size_t bytes) override;
    void synchronize() override {}
    void fill_zero(void* p, size_t bytes) override;
};

// The allocator the CPU backend hands out, and the one the executor uses for
// host staging. Both live for the whole process.
CpuAllocator& cpu_allocator();
CpuAllocator& host_staging_allocator();

// Owning memory block; move-only. Released through its deleter.
class Buffer {
public:
    void* data = nullptr;
    uint8_t on_device = 0;
    uint64_t size = 0;
    std::function<void(void*)> deleter;

    Buffer() = default;
    Buffer(void* d, uint8_t dev, uint64_t n, std::function<void(void*)> del)
        : data(d), on_device(dev), size(n), deleter(std::move(del)) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept { take(o); }
    Buffer& operator=(Buffer&& o) noexcept {
        if (this != &o) {
            release();
            take(o);
        }
        return *this;
    }
    ~Buffer() { release(); }

    bool empty() const { return data == nullptr; }

private:
    void release() noexcept {
        if (data && deleter) deleter(data);
        data = nullptr;
        on_device = 0;
        size = 0;
        deleter = nullptr;
    }
    void take(Buffer& o) noexcept {
        data = o.data;
        on_device = o.on_device;
        size = o.size;
        deleter = std::move(o.deleter);
        o.data = nullptr;
        o.on_device = 0;
        o.size = 0;
        o.deleter = nullptr;
    }
};

}  // namespace vantrel
