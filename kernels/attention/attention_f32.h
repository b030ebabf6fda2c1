// Whole float self-attention block (slot k_attention_f32): fused QKV
// projection, the attention core (attention_core.h) and the output
// projection.
//
// x [T][E]; w_qkv [3E][E] and w_proj [E][E] row-major with their packed
// forms from pack_f32 (a null packed block is packed from the raw matrix for
// this call); biases [3E] / [E] or null. `scratch` holds 4*T*E floats (null:
// a thread-local buffer). Steps: QKV = x w_qkv^T + b_qkv into scratch; heads
// (the last T*E floats of scratch) = 0; core into heads, fake-quantised when
// dynamic_quantize is set; out = heads w_proj^T + b_proj. Nothing happens when T or E is not
// positive; with no heads (or E < H) the attention output is 0 and out is
// the projection bias.
//
// attention_f32_masked is the same block with a key mask for the core
// (attention_core.h): key_mask[t] == 0 leaves token t out as a key, and
// `epi` (null: none) runs on the output projection's tiles (a folded
// residual add).
#pragma once
#include <cstdint>

#include "kernels/gemm/gemm_f32_epilogue.h"

namespace vantrel {

void k_attention_f32(const float* x, const float* w_qkv, const float* b_qkv, const float* w_proj,
                     const float* b_proj, float* out, int32_t tokens, int32_t embed,
                     int32_t num_heads, float* scratch, const float* packed_qkv,
                     const float* packed_proj, void* stream, bool dynamic_quantize);

void attention_f32_masked(const float* x, const float* w_qkv, const float* b_qkv, const float* w_proj,
                          const float* b_proj, float* out, int32_t tokens, int32_t embed,
                          int32_t num_heads, float* scratch, const float* packed_qkv,
                          const float* packed_proj, void* stream, bool dynamic_quantize,
                          const float* key_mask, const ConvEpilogueF32* epi = nullptr);

}  // namespace vantrel
