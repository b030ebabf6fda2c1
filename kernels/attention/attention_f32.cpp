#include "kernels/attention/attention_f32.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "kernels/attention/attention_core.h"
#include "kernels/gemm/fake_quantize_u8.h"
#include "kernels/gemm/gemm_f32.h"

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
    gemm_f32(x, bq, b_qkv, scratch, false, tokens, embed, 3 * embed, false);
    // Columns no head covers, and every column when the mask keeps no key,
    // stay 0; otherwise the core writes every output.
    if (key_mask || num_heads <= 0 || embed % num_heads != 0) std::fill(heads, heads + T * E, 0.0f);
    attention_core_f32(scratch, heads, tokens, embed, num_heads, key_mask);
    if (dynamic_quantize) fake_quantize_u8(heads, T * E);
    gemm_f32_epi(heads, bp, b_proj, out, false, tokens, embed, embed, false, epi);
}

}  // namespace vantrel
