#include "kernels/attention/attention_f32.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "kernels/attention/attention_core.h"
#include "kernels/gemm/fake_quantize_u8.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_f32_split.h"
#include "kernels/parallel/strip_pool.h"

namespace vantrel {

namespace {

struct PackedDeleter {
    void operator()(float* p) const { free_packed_f32(p); }
};
using PackedPtr = std::unique_ptr<float, PackedDeleter>;

// The caller's packed block, or one packed from `w` for this call only.
const float* packed_or_temp(const float* packed, const float* w, int32_t n, int32_t k, PackedPtr& temp) {
    if (packed) return packed;
    if (!w) return nullptr;
    temp.reset(pack_f32(w, n, k));
    return temp.get();
}

// Each head's query, key and value columns come from their own panels of
// the packed QKV block, so a thread computes them and that head's attention
// in one go: one team for both, the head's products still in its cache when
// the core reads them. Heads are claimed from a shared counter. Every value
// is the one the whole product and the core give (each column sums over k
// alone, each head is computed whole by one thread).
void run_heads_fused(const float* x, const float* bq, const float* b_qkv, float* heads, int64_t T, int64_t E,
                     int64_t H, int64_t d, int64_t width, const float* key_mask) {
    auto head = [&](int64_t h, int) {
        thread_local std::vector<float> qkv;
        qkv.resize(size_t(3 * T * d));
        for (int64_t part = 0; part < 3; ++part) {
            const int64_t col = part * E + h * d;  // first column of this head's part
            gemm_f32(x, bq + col / width * E * width, b_qkv ? b_qkv + col : nullptr, qkv.data() + part * T * d,
                     false, int32_t(T), int32_t(E), int32_t(d), false);
        }
        attention_head_f32(qkv.data(), qkv.data() + T * d, qkv.data() + 2 * T * d, d, heads + h * d, E,
                           int32_t(T), int32_t(d), key_mask);
    };
    run_strips(H, gemm_f32_large_enough(T, E, 3 * E) ? strip_team() : 1, head);
}

}  // namespace

void k_attention_f32(const float* x, const float* w_qkv, const float* b_qkv, const float* w_proj,
                     const float* b_proj, float* out, int32_t tokens, int32_t embed,
                     int32_t num_heads, float* scratch, const float* packed_qkv,
                     const float* packed_proj, void* stream, bool dynamic_quantize) {
    attention_f32_masked(x, w_qkv, b_qkv, w_proj, b_proj, out, tokens, embed, num_heads, scratch, packed_qkv,
                         packed_proj, stream, dynamic_quantize, nullptr);
}

void attention_f32_masked(const float* x, const float* w_qkv, const float* b_qkv, const float* w_proj,
                          const float* b_proj, float* out, int32_t tokens, int32_t embed,
                          int32_t num_heads, float* scratch, const float* packed_qkv,
                          const float* packed_proj, void* /*stream*/, bool dynamic_quantize,
                          const float* key_mask, const ConvEpilogueF32* epi) {
    if (!x || !out || tokens <= 0 || embed <= 0 || int64_t(embed) * 3 > INT32_MAX) return;
    PackedPtr temp_qkv, temp_proj;
    const float* bq = packed_or_temp(packed_qkv, w_qkv, 3 * embed, embed, temp_qkv);
    const float* bp = packed_or_temp(packed_proj, w_proj, embed, embed, temp_proj);
    if (!bq || !bp) return;
    const int64_t T = tokens, E = embed;
    thread_local std::vector<float> own;
    if (!scratch) {
        own.resize(size_t(4 * T * E));
        scratch = own.data();
    }
    // The core writes past the QKV matrix, where the projection reads it:
    // no copy of its output on one thread between the two products.
    float* heads = scratch + 3 * T * E;
    // Columns no head covers, and every column when the mask keeps no key,
    // stay 0; otherwise the core writes every output.
    if (key_mask || num_heads <= 0 || embed % num_heads != 0) std::fill(heads, heads + T * E, 0.0f);
    const int64_t H = num_heads, d = H > 0 ? E / H : 0;
    // Panel width of the packed blocks (one panel of one row).
    const int64_t width = int64_t(packed_f32_bytes(1, 1) / sizeof(float));
    if (H > 1 && E % H == 0 && width > 0 && d % width == 0) {
        run_heads_fused(x, bq, b_qkv, heads, T, E, H, d, width, key_mask);
    } else {
        gemm_f32(x, bq, b_qkv, scratch, false, tokens, embed, 3 * embed, false);
        attention_core_f32(scratch, heads, tokens, embed, num_heads, key_mask);
    }
    if (dynamic_quantize) fake_quantize_u8(heads, T * E);
    gemm_f32_epi(heads, bp, b_proj, out, false, tokens, embed, embed, false, epi);
}

}  // namespace vantrel
