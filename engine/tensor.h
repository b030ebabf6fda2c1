// Shapes and non-owning views that travel between the executor and layers.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vantrel {

// Shape of every tensor: channels, rows, columns. Data is channels-last:
// element (y, x, ch) lies at (y*w + x)*c + ch; sequences and 1-D signals
// have w == 1.
struct Shape3 {
    int32_t c = 0;
    int32_t h = 0;
    int32_t w = 0;
};

inline bool operator==(const Shape3& a, const Shape3& b) {
    return a.c == b.c && a.h == b.h && a.w == b.w;
}
inline bool operator!=(const Shape3& a, const Shape3& b) { return !(a == b); }

// Element count with each factor clamped to at least 0, in 64 bits. c*h
// fits; a product with w beyond 64 bits saturates at INT64_MAX, so a crafted
// shape can never wrap into a small count that passes a size check.
inline int64_t element_count(const Shape3& s) {
    auto clamp0 = [](int32_t v) { return v < 0 ? int64_t{0} : int64_t{v}; };
    int64_t ch = clamp0(s.c) * clamp0(s.h), w = clamp0(s.w);
    if (ch != 0 && w > INT64_MAX / ch) return INT64_MAX;
    return ch * w;
}

// count * elem_bytes, saturating like element_count.
inline uint64_t byte_count(int64_t count, int64_t elem_bytes) {
    if (count <= 0 || elem_bytes <= 0) return 0;
    if (uint64_t(count) > UINT64_MAX / uint64_t(elem_bytes)) return UINT64_MAX;
    return uint64_t(count) * uint64_t(elem_bytes);
}

struct BufferView {
    void* data = nullptr;
    uint8_t on_device = 0;
    uint64_t bytes = 0;
};

// One input of forward: the buffer (capacity may exceed the shape) and the
// tensor's logical shape.
struct TensorView {
    void* data = nullptr;
    uint8_t on_device = 0;
    uint64_t bytes = 0;
    int32_t c = 0;
    int32_t h = 0;
    int32_t w = 0;

    Shape3 shape() const { return Shape3{c, h, w}; }
};

constexpr int kScratchAreas = 8;
constexpr int kMaxLayerInputs = 8;

// Minimum byte size of each scratch area; layers only raise entries.
struct ScratchRequest {
    uint64_t bytes[kScratchAreas] = {0, 0, 0, 0, 0, 0, 0, 0};

    void need(int area, uint64_t n) {
        if (n > bytes[area]) bytes[area] = n;
    }
};

struct ExecContext {
    BufferView scratch[kScratchAreas];
    void* stream = nullptr;
    int32_t position = 0;
    uint8_t cache_flag = 0;
};

}  // namespace vantrel
