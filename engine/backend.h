// The backend: a plain table of kernel function pointers plus an allocator,
// and the process-wide registry of backends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/allocator.h"

namespace vantrel {

// 0 = host CPU; 1, 2 = devices whose memory is not host-addressable;
// 3 = a device that runs only some transposed 1-D convolutions.
using BackendKind = uint8_t;
constexpr BackendKind kBackendHost = 0;

using KPackS8 = int8_t* (*)(const int8_t* w, int32_t n, int32_t k);
using KPackF32 = float* (*)(const float* w, int32_t n, int32_t k);
using KFreePackedS8 = void (*)(int8_t* p);
using KFreePackedF32 = void (*)(float* p);
using KAddF32 = void (*)(const float* a, const float* b, float* out, int32_t n, bool relu,
                         void* stream);
using KAddS8 = void (*)(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp,
                        int32_t out_zp, int8_t* out, int32_t n, void* stream, float in1_scale,
                        float in2_scale, float out_scale);
using KAvgPoolF32 = void (*)(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                             void* stream);
using KAvgPoolS8 = void (*)(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out,
                            int32_t c, int32_t h, int32_t w, void* stream, float in_scale,
                            float out_scale);
using KScaleF32 = void (*)(const float* x, float* y, int32_t n, void* stream, float scalar);
using KUpsampleBilinearF32 = void (*)(const float* in, float* out, int32_t c, int32_t h,
                                      int32_t w, int32_t oh, int32_t ow, void* stream);
using KMaxPoolF32 = void (*)(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                             int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                             int32_t pad_h, int32_t pad_w, void* stream);
using KMaxPoolS8 = void (*)(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w,
                            int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                            int32_t pad_h, int32_t pad_w, void* stream);
using KInplaceF32 = void (*)(float* x, int32_t n, void* stream);
using KUnaryF32 = void (*)(const float* x, float* y, int32_t n, void* stream);
using KLeakyReluF32 = void (*)(const float* x, float* y, int32_t n, void* stream, float alpha);
// y = min(max(x, lo), hi); NaN passes through.
using KClampF32 = void (*)(const float* x, float* y, int32_t n, void* stream, float lo, float hi);
using KLayerNormF32 = void (*)(const float* in, const float* gamma, const float* beta,
                               float* out, int32_t rows, int32_t c, void* stream, float eps);
using KRmsNormF32 = void (*)(const float* in, const float* gamma, float* out, int32_t rows,
                             int32_t c, void* stream, float eps);
using KAccumulateF32 = void (*)(float* dst, const float* src, int32_t n);
using KAddRowVectorF32 = void (*)(float* x, const float* v, int32_t rows, int32_t n);
using KRowSumF32 = void (*)(const float* in, float* out, int32_t rows, int32_t n);
using KEmbeddingF32 = void (*)(const float* ids, const float* table, float* out, int32_t n,
                               int32_t vocab, int32_t dim);
using KGemmF32 = void (*)(const float* a, const float* bp, const float* bias, float* y, bool relu,
                          int32_t m, int32_t k, int32_t n, bool in_team);
using KLinearF32 = void (*)(const float* x, const float* w, const float* bias, float* y, int32_t k,
                            int32_t n, const float* bp, void* stream);
using KConv2dF32 = void (*)(const float* in, const float* w, const float* bias, float* out,
                            int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t kh,
                            int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                            int32_t pad_w, bool relu, const float* bp, float* scratch,
                            int32_t dilation_h, int32_t dilation_w, void* stream);
using KConv2dF32Wino = void (*)(const float* in, const float* const u[16], const float* bias,
                                float* out, int32_t cin, int32_t h, int32_t w_in, int32_t cout,
                                bool relu, float* scratch, void* stream, const float* w_raw);
using KGemmS8Requant = void (*)(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                                const int32_t* multiplier, const int32_t* shift,
                                const float* scale, int8_t out_zp, void* out, bool float_out,
                                int32_t m, int32_t k, int32_t n, bool out_transposed,
                                bool in_team, const int32_t* row_sums, void* stream);
using KGemmS8S32 = void (*)(const int8_t* a, const int8_t* bp, int32_t* y, int32_t m, int32_t k,
                            int32_t n, const int32_t* extra);
// Token matrix times packed fp32 weights (+ bias, GELU); w is the raw
// [N][K] rows, bp the block from k_pack_f32 (kernels/gemm/seq_gemm_f32.h).
using KSeqGemmF32 = void (*)(const float* x, const float* w, const float* bias, float* y,
                             int32_t t, int32_t k, int32_t n, bool gelu, const float* bp,
                             void* stream);
// One token times N plain int8 rows of K bytes with per-row scales
// (kernels/gemm/seq_gemm_f32_alt.h).
using KSeqGemmF32Alt = void (*)(const float* x, const int8_t* q, const float* scale,
                                const float* bias, float* y, int32_t k, int32_t n, void* stream);
using KSeqGemmS8 = void (*)(const float* x, const int8_t* bp, const float* w_scale,
                            const int64_t* ib, const float* fb, int8_t* qbuf, float* sbuf,
                            float* y, int32_t m, int32_t k, int32_t n, bool gelu, void* stream);
using KConv2dS8 = void (*)(const int8_t* in, const int8_t* w, const int8_t* bp,
                           const int64_t* eff_bias, const int32_t* multiplier,
                           const int32_t* shift, int8_t in_zp, int8_t out_zp, int8_t* out,
                           int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t kh,
                           int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                           int32_t pad_w, int32_t groups, int8_t* scratch, bool dense,
                           const int32_t* row_sums, void* stream);
using KConv2dS8Wino = void (*)(const int8_t* in, const int8_t* const u[16], const float u_scale[16],
                               const int64_t* wino_bias, const int32_t* multiplier,
                               const int32_t* shift, const float* req_scale, int8_t in_zp,
                               float input_transform_scale, int8_t out_zp, int8_t* out,
                               int32_t cin, int32_t h, int32_t w_in, int32_t cout,
                               int8_t* scratch0, int32_t* scratch1,
                               const int32_t* const wino_correction[16], void* stream);

using KConv1dF32 = void (*)(const float* in, const float* w, const float* bias, float* out,
                            int32_t cin, int32_t l, int32_t cout, int32_t k, int32_t stride,
                            int32_t pad, int32_t dilation, bool relu, void* stream);
// Device 1-D int8 convolution: float input, int8 weights [o][k][c] with one
// float scale per output channel.
using KConv1dS8 = void (*)(const float* in, const int8_t* w, const float* w_scale,
                           const float* bias, float* out, int32_t cin, int32_t l, int32_t w_in,
                           int32_t cout, int32_t k, int32_t stride, int32_t pad,
                           int32_t dilation, int32_t groups, void* stream);
// Device transposed 1-D convolution, weights [c_in][c_out/groups][k].
using KConvTranspose1dF32 = void (*)(const float* in, const float* w, const float* bias,
                                     float* out, int32_t cin, int32_t l, int32_t cout,
                                     int32_t k, int32_t stride, int32_t pad,
                                     int32_t output_padding, int32_t groups, void* stream);
using KConcat1dF32 = void (*)(const float* a, const float* b, float* out, int32_t n, int32_t c1,
                              int32_t c2, bool broadcast, void* stream);
using KSliceChannelsF32 = void (*)(const float* x, float* out, int32_t n, int32_t c,
                                   int32_t start, int32_t count, void* stream);
using KMulF32 = void (*)(const float* a, const float* b, float* out, int32_t n, void* stream);
// Image channel operations: per-channel scale of rows of c channels,
// concatenation of `count` tensors along channels, channel shuffle.
using KChannelMulF32 = void (*)(const float* x, const float* s, float* y, int32_t rows, int32_t c,
                                void* stream);
using KConcatF32 = void (*)(const float* const* in, const int32_t* c, int32_t count, float* out,
                            int32_t rows, void* stream);
using KChannelShuffleF32 = void (*)(const float* x, float* y, int32_t rows, int32_t c, int32_t groups,
                                    void* stream);
// c planes of hw values to hw rows of c channels (an image's NCHW input).
using KNchwToNhwcF32 = void (*)(const float* x, float* y, int32_t c, int64_t hw, void* stream);
// Whole float self-attention block: QKV projection, attention, output
// projection (kernels/attention/attention_f32.h describes the arguments).
using KAttentionF32 = void (*)(const float* x, const float* w_qkv, const float* b_qkv,
                               const float* w_proj, const float* b_proj, float* out,
                               int32_t tokens, int32_t embed, int32_t num_heads, float* scratch,
                               const float* packed_qkv, const float* packed_proj, void* stream,
                               bool dynamic_quantize);
// Causal grouped-query attention with rotary encoding over a key/value cache
// (kernels/attention/causal_attention_f32.h describes the arguments).
using KCausalAttentionF32 = void (*)(const float* q, const float* k, const float* v,
                                     float* kv_cache, int32_t cache_position, int32_t capacity,
                                     float* out, int32_t tokens, float rope_theta,
                                     int32_t num_q_heads, int32_t num_kv_heads, int32_t head_dim,
                                     int32_t rope_position, uint8_t cache_flag, float* work,
                                     void* stream);

// Style-conditioned normalisation of T rows of C channels: out = beta +
// (1 + gamma) * x_hat, instance norm over time (optional per-channel norm
// affine) or layer norm over channels.
using KAdaIn1dF32 = void (*)(const float* x, float* out, const float* gamma, const float* beta,
                             int32_t t, int32_t c, void* stream, const float* norm_w, float eps,
                             const float* norm_b);
using KAdaLayerNormF32 = void (*)(const float* x, float* out, const float* gamma,
                                  const float* beta, int32_t t, int32_t c, void* stream, float eps);
// Snake x + (1/alpha) * sin^2(alpha * x) per channel over T rows of C.
using KSnakeF32 = void (*)(const float* x, float* out, const float* alpha, const float* inv_alpha,
                           int32_t t, int32_t c, void* stream);
// Device harmonic sine source with upsampling (no noise).
using KSineGenF32 = void (*)(const float* f0, float* out, int32_t t, int32_t harmonics,
                             int32_t sample_rate, int32_t upsample_scale, void* stream,
                             float sine_amp, float voiced_threshold);
using KUpsampleNearest1dF32 = void (*)(const float* in, float* out, int32_t n, int32_t c,
                                       int32_t scale, void* stream);
using KReflectionPad1dF32 = void (*)(const float* in, float* out, int32_t n, int32_t c,
                                     void* stream);
// Device LSTM over t steps of i inputs: raw weights [4h][i] / [4h][h] and
// biases [4h] (null when absent) of each direction (reverse ones null when
// not bidirectional); out gets t rows of (bidirectional ? 2h : h).
using KLstmF32 = void (*)(const float* x, const float* w_ih, const float* w_hh, const float* b_ih,
                          const float* b_hh, const float* w_ih_rev, const float* w_hh_rev,
                          const float* b_ih_rev, const float* b_hh_rev, float* out, int32_t t,
                          int32_t i, int32_t h, bool bidirectional, void* stream);
// Device STFT of s samples into `frames` rows of n_fft/2 + 1 magnitudes then
// as many phases; bases [n_fft/2 + 1][n_fft].
using KStftF32 = void (*)(const float* x, const float* w_re, const float* w_im, float* out,
                          int32_t s, int32_t frames, int32_t n_fft, int32_t hop, void* stream);
// Device inverse STFT of t frames of n_fft/2 + 1 magnitudes and phases into
// (t - 1) * hop samples.
using KIstftF32 = void (*)(const float* mag, const float* phase, float* out, int32_t t,
                           int32_t n_fft, int32_t hop, bool normalized, void* stream);

// Whole int8 self-attention block of a device backend, over the operands
// AttentionInt8 holds: input x [T][E], int8 weights with per-row scales and
// float biases (null when absent), their packed blocks (k_pack_s8), the
// float QKV scratch (3*T*E), int8 activation codes (T*E) and per-row scales
// (3*E). The CPU leaves the slot empty and runs the block on the host.
using KAttentionS8 = void (*)(const float* x, const int8_t* w_qkv, const float* w_qkv_scales,
                              const float* b_qkv, const int8_t* w_proj,
                              const float* w_proj_scales, const float* b_proj, float* out,
                              int32_t tokens, int32_t embed, int32_t num_heads,
                              const int8_t* packed_qkv, const int8_t* packed_proj,
                              float* qkv_scratch, int8_t* code_scratch, float* scale_scratch,
                              void* stream);

// Pooling onto the caller's oh x ow grid (kernels/pool/maxpool.h and
// avgpool2d.h describe the windows and divisors).
using KMaxPoolCeilF32 = void (*)(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                                 int32_t oh, int32_t ow, int32_t kh, int32_t kw, int32_t stride_h,
                                 int32_t stride_w, int32_t pad_h, int32_t pad_w, void* stream);
using KAvgPool2dF32 = void (*)(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t oh,
                               int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                               int32_t pad_h, int32_t pad_w, bool count_include_pad, void* stream);
using KAdaptiveAvgPoolF32 = void (*)(const float* in, float* out, int32_t c, int32_t h, int32_t w,
                                     int32_t oh, int32_t ow, void* stream);
// Weight-only int8 sequence product (kernels/gemm/seq_gemm_w8.h): x [T][K]
// float, q [N][K] int8 with scales [N][ceil(K / group)], bias [N] or null,
// y [T][N].
using KSeqGemmW8F32 = void (*)(const float* x, const int8_t* q, const float* scales,
                               const float* bias, float* y, int32_t t, int32_t k, int32_t n,
                               int32_t group, void* stream);

// Int8 image kernels (kernels/elementwise/lut_s8.h, int8_channels.h,
// quantize_s8.h and kernels/pool/avgpool2d_s8.h describe them).
using KLutS8 = void (*)(const int8_t* x, const int8_t* table, int8_t* y, int64_t n, void* stream);
using KConcatS8 = void (*)(const int8_t* const* in, const int8_t* const* tables, const int32_t* c,
                           int32_t count, int8_t* out, int32_t rows, void* stream);
using KChannelShuffleS8 = void (*)(const int8_t* x, int8_t* y, int32_t rows, int32_t c, int32_t groups,
                                   void* stream);
using KChannelMulS8 = void (*)(const int8_t* x, const int8_t* s, int8_t* y, int32_t rows, int32_t c,
                               int32_t x_zp, int32_t s_zp, int32_t out_zp, int32_t multiplier, int32_t shift,
                               void* stream);
using KMaxPoolCeilS8 = void (*)(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t oh,
                                int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                                int32_t pad_h, int32_t pad_w, void* stream);
using KAvgPool2dS8 = void (*)(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t oh,
                              int32_t ow, int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                              int32_t pad_h, int32_t pad_w, bool count_include_pad, int32_t in_zp,
                              int32_t out_zp, float ratio, void* stream);
using KAdaptiveAvgPoolS8 = void (*)(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w,
                                    int32_t oh, int32_t ow, int32_t in_zp, int32_t out_zp, float ratio,
                                    void* stream);
using KQuantizeS8 = void (*)(const float* x, int8_t* y, int64_t n, float scale, int32_t zp, void* stream);
using KDequantizeS8 = void (*)(const int8_t* x, float* y, int64_t n, float scale, int32_t zp, void* stream);

// Slot order is part of the table's contract: name, priority/kind,
// allocator, then the kernels of engine/kernel_slots.def (slots 3..60 first).
struct Backend {
    const char* k_name;
    int32_t k_priority;
    BackendKind kind;
    Allocator* (*k_get_allocator)();

#define VANTREL_KERNEL_SLOT(type, name) type name;
#include "engine/kernel_slots.def"
#undef VANTREL_KERNEL_SLOT
};

// Table position of each kernel slot, from the same list:
// KernelSlot::k_pack_s8 == 3 ... KernelSlot::k_causal_attention_f32 == 60.
struct KernelSlot {
    enum : int {
        before_first = 2,
#define VANTREL_KERNEL_SLOT(type, name) name,
#include "engine/kernel_slots.def"
#undef VANTREL_KERNEL_SLOT
        end
    };
};
constexpr int kFirstKernelSlot = KernelSlot::before_first + 1;
constexpr int kKernelSlots = KernelSlot::end - kFirstKernelSlot;

// The layout is fixed: the first 61 pointer-sized slots are the table every
// backend fills (kernels 3..60); kernels of later ops follow at the end, each
// a function pointer at its table position.
constexpr int kBaseKernelSlots = 58;
static_assert(kKernelSlots >= kBaseKernelSlots && KernelSlot::k_causal_attention_f32 == 60,
              "the 58 base kernel slots come first, in their order");
static_assert(std::is_standard_layout_v<Backend>, "Backend is a plain table");
static_assert(sizeof(Backend) == size_t(kFirstKernelSlot + kKernelSlots) * sizeof(void*),
              "Backend must be pointer-sized slots only");
static_assert(offsetof(Backend, k_get_allocator) == 2 * sizeof(void*), "allocator getter is slot 2");
#define VANTREL_KERNEL_SLOT(type, name)                                                          \
    static_assert(std::is_pointer_v<type> && std::is_function_v<std::remove_pointer_t<type>> && \
                      sizeof(type) == sizeof(void*),                                             \
                  #name " must be one function pointer");                                        \
    static_assert(offsetof(Backend, name) == KernelSlot::name * sizeof(void*),                   \
                  #name " must sit at its table position");
#include "engine/kernel_slots.def"
#undef VANTREL_KERNEL_SLOT

// Names of the kernel slots in table order (3..60, then later ones).
const char* kernel_slot_name(int slot);
// Pointer-sized view of kernel slot 3..60 (null when the slot is empty).
const void* kernel_slot(const Backend& b, int slot);

// Process-wide registry, created on first use.
std::vector<const Backend*>& backend_registry();

// Appends a backend, stable-sorts by descending priority and activates the
// first entry. Called by each backend's static registration.
void register_backend(const Backend* b);

const Backend* active_backend_ptr();
const Backend& active_backend_or_throw();
bool set_backend(const std::string& name);
std::string active_backend();

extern const char* const kNoBackendMessage;

}  // namespace vantrel
