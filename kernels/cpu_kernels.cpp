#include "kernels/cpu_kernels.h"

namespace vantrel {

namespace {

#if defined(__x86_64__)
#define VANTREL_VARIANT(portable, fn) \
    pick_kernel<decltype(&portable)>(path, &portable, &fn##_avx2, &fn##_avx512, nullptr)
#elif defined(__aarch64__)
#define VANTREL_VARIANT(portable, fn) \
    pick_kernel<decltype(&portable)>(path, &portable, nullptr, nullptr, &fn##_neon)
#else
#define VANTREL_VARIANT(portable, fn) \
    pick_kernel<decltype(&portable)>(path, &portable, nullptr, nullptr, nullptr)
#endif

constexpr CpuKernels variants_for(KernelPath path) {
    CpuKernels k{};
    k.path = path;
    k.pack_f32 = VANTREL_VARIANT(pack_f32_portable, pack_f32);
    k.packed_f32_bytes = VANTREL_VARIANT(packed_f32_bytes_portable, packed_f32_bytes);
    k.gemm_f32 = VANTREL_VARIANT(gemm_f32_portable, gemm_f32);
    k.gemm_f32_epi = VANTREL_VARIANT(gemm_f32_epi_portable, gemm_f32_epi);
    k.linear_f32 = VANTREL_VARIANT(linear_f32_portable, linear_f32);
    k.relu_f32 = VANTREL_VARIANT(relu_f32_portable, relu_f32);
#if defined(__x86_64__)
    k.gemm_f32_rows = path == KernelPath::Avx512 ? &gemm_f32_rows_avx512 : nullptr;
#endif
    k.gemm_s8_requant = VANTREL_VARIANT(gemm_s8_requant_portable, gemm_s8_requant);
    k.gemm_s8_s32 = VANTREL_VARIANT(gemm_s8_s32_portable, gemm_s8_s32);
    k.gemm_s8_residual = VANTREL_VARIANT(gemm_s8_residual_portable, gemm_s8_residual);
    k.gelu_f32 = VANTREL_VARIANT(k_gelu_f32, k_gelu_f32);
    k.attention_core_f32 = VANTREL_VARIANT(attention_core_f32_portable, attention_core_f32);
    k.attention_head_f32 = VANTREL_VARIANT(attention_head_f32_portable, attention_head_f32);
    k.conv1d_f32_direct = VANTREL_VARIANT(conv1d_f32_direct_portable, conv1d_f32_direct);
    k.conv1d_f32_wino = VANTREL_VARIANT(conv1d_f32_wino_portable, conv1d_f32_wino);
    k.conv2d_f32_depthwise = VANTREL_VARIANT(conv2d_f32_depthwise_portable, conv2d_f32_depthwise);
    k.conv2d_f32_depthwise_epi = VANTREL_VARIANT(conv2d_f32_depthwise_epi_portable, conv2d_f32_depthwise_epi);
    k.conv2d_f32_depthwise_rows = VANTREL_VARIANT(conv2d_f32_depthwise_rows_portable, conv2d_f32_depthwise_rows);
    k.conv2d_s8_depthwise3x3 =
        VANTREL_VARIANT(conv2d_s8_depthwise3x3_portable, conv2d_s8_depthwise3x3);
    k.conv2d_s8_depthwise3x3_rows =
        VANTREL_VARIANT(conv2d_s8_depthwise3x3_rows_portable, conv2d_s8_depthwise3x3_rows);
#if defined(__x86_64__)
    k.conv2d_s8_wino_output = VANTREL_VARIANT(conv2d_s8_wino_output_portable, conv2d_s8_wino_output);
    k.conv2d_s8_wino_input = VANTREL_VARIANT(conv2d_s8_wino_input_portable, conv2d_s8_wino_input);
#else
    // No NEON variants yet.
    k.conv2d_s8_wino_output = &conv2d_s8_wino_output_portable;
    k.conv2d_s8_wino_input = &conv2d_s8_wino_input_portable;
#endif
    k.lstm_cell_f32 = VANTREL_VARIANT(lstm_cell_f32_portable, lstm_cell_f32);
    k.stft_f32 = VANTREL_VARIANT(stft_f32_portable, stft_f32);
#if defined(__x86_64__)
    k.quantize_rows_symmetric = VANTREL_VARIANT(quantize_rows_symmetric_portable, quantize_rows_symmetric);
#else
    // No NEON variant yet.
    k.quantize_rows_symmetric = &quantize_rows_symmetric_portable;
#endif
    return k;
}

#undef VANTREL_VARIANT

// Constant-initialised (kPortable is evaluated at compile time), so a call
// made before the backend fills the table still finds a kernel.
constexpr CpuKernels kPortable = variants_for(KernelPath::Portable);
CpuKernels g_kernels = kPortable;

}  // namespace

const CpuKernels& cpu_kernels() { return g_kernels; }
void fill_cpu_kernels(KernelPath path) { g_kernels = variants_for(path); }
KernelPath active_kernel_path() { return g_kernels.path; }

// Entry points: one call through the table each.

float* pack_f32(const float* w, int32_t n, int32_t k) { return g_kernels.pack_f32(w, n, k); }

uint64_t packed_f32_bytes(int32_t n, int32_t k) { return g_kernels.packed_f32_bytes(n, k); }

void gemm_f32(const float* a, const float* bp, const float* bias, float* y, bool relu, int32_t m,
              int32_t k, int32_t n, bool in_team) {
    g_kernels.gemm_f32(a, bp, bias, y, relu, m, k, n, in_team);
}

void gemm_f32_epi(const float* a, const float* bp, const float* bias, float* y, bool relu, int32_t m,
                  int32_t k, int32_t n, bool in_team, const ConvEpilogueF32* epi) {
    g_kernels.gemm_f32_epi(a, bp, bias, y, relu, m, k, n, in_team, epi);
}

void gemm_f32_plain(const float* a, const float* bp, float* y, int32_t m, int32_t k, int32_t n) {
    g_kernels.gemm_f32(a, bp, nullptr, y, false, m, k, n, false);
}

void linear_f32(const float* x, const float* w, const float* bias, float* y, int32_t k, int32_t n,
                const float* bp, void* stream) {
    g_kernels.linear_f32(x, w, bias, y, k, n, bp, stream);
}

void relu_f32(float* x, int32_t n, void* stream) { g_kernels.relu_f32(x, n, stream); }

void gemm_s8_f32out(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                    const float* scale, float* out, int32_t m, int32_t k, int32_t n,
                    bool out_transposed, bool in_team) {
    g_kernels.gemm_s8_requant(a, bp, eff_bias, nullptr, nullptr, scale, 0, out, true, m, k, n,
                              out_transposed, in_team, nullptr, nullptr);
}

void gemm_s8_s8out(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                   const int32_t* multiplier, const int32_t* shift, int8_t out_zp, int8_t* out,
                   int32_t m, int32_t k, int32_t n, bool out_transposed, bool in_team) {
    g_kernels.gemm_s8_requant(a, bp, eff_bias, multiplier, shift, nullptr, out_zp, out, false, m,
                              k, n, out_transposed, in_team, nullptr, nullptr);
}

void gemm_s8_s8out_residual(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                            const int32_t* multiplier, const int32_t* shift, int8_t out_zp,
                            int8_t* out, int32_t m, int32_t k, int32_t n, const S8ResidualAdd& add) {
    g_kernels.gemm_s8_residual(a, bp, eff_bias, multiplier, shift, out_zp, out, m, k, n, add);
}

void gemm_s8_s32(const int8_t* a, const int8_t* bp, int32_t* y, int32_t m, int32_t k,
                 int32_t n) {
    g_kernels.gemm_s8_s32(a, bp, y, m, k, n, nullptr);
}

void attention_core_f32(const float* qkv, float* out, int32_t tokens, int32_t embed,
                        int32_t num_heads, const float* key_mask) {
    g_kernels.attention_core_f32(qkv, out, tokens, embed, num_heads, key_mask);
}

void attention_head_f32(const float* q, const float* k, const float* v, int64_t ld, float* out, int64_t ldo,
                        int32_t tokens, int32_t d, const float* key_mask) {
    g_kernels.attention_head_f32(q, k, v, ld, out, ldo, tokens, d, key_mask);
}

void conv1d_f32_direct(VANTREL_CONV1D_DIRECT_F32_ARGS) {
    g_kernels.conv1d_f32_direct(p, wp, bias, out, cin, l_out, cout, k, dilation, relu);
}

void conv1d_f32_wino(VANTREL_CONV1D_WINO_F32_ARGS) {
    g_kernels.conv1d_f32_wino(padded, u, bias, out, cin, l_out, cout, r, relu, v, mb);
}

void conv2d_f32_depthwise(VANTREL_DEPTHWISE_F32_ARGS) {
    g_kernels.conv2d_f32_depthwise(in, w_taps, bias, out, cin, h, w_in, cout, kh, kw, stride_h,
                                   stride_w, pad_h, pad_w, dilation_h, dilation_w, relu, stream);
}

void conv2d_f32_depthwise_epi(const float* in, const float* w_taps, const float* bias, float* out,
                              int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t kh,
                              int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                              int32_t pad_w, int32_t dilation_h, int32_t dilation_w, bool relu,
                              const ConvEpilogueF32* epi) {
    g_kernels.conv2d_f32_depthwise_epi(in, w_taps, bias, out, cin, h, w_in, cout, kh, kw, stride_h,
                                       stride_w, pad_h, pad_w, dilation_h, dilation_w, relu, nullptr, epi);
}

void conv2d_f32_depthwise_rows(VANTREL_DEPTHWISE_ROWS_F32_ARGS) {
    g_kernels.conv2d_f32_depthwise_rows(in, w_taps, bias, out, g, cout, relu, oy0, oy1, epi);
}

void conv2d_s8_depthwise3x3(VANTREL_DEPTHWISE3X3_S8_ARGS) {
    g_kernels.conv2d_s8_depthwise3x3(in, w_tap_major, bias32, multiplier, shift, in_zp, out_zp,
                                     out, c, h, w, stride);
}

void conv2d_s8_depthwise3x3_rows(VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS) {
    g_kernels.conv2d_s8_depthwise3x3_rows(in, lo, w_tap_major, bias32, multiplier, shift, in_zp, out_zp, out, c, h,
                                          w, stride, oy0, oy1);
}

void conv2d_s8_wino_output(VANTREL_WINO_S8_OUTPUT_ARGS) { g_kernels.conv2d_s8_wino_output(o, n0, n1); }

void conv2d_s8_wino_input(VANTREL_WINO_S8_INPUT_ARGS) {
    g_kernels.conv2d_s8_wino_input(in, zp_row, h, w, c, tw, vt, n0, n1, v);
}

void lstm_cell_f32(VANTREL_LSTM_CELL_F32_ARGS) { g_kernels.lstm_cell_f32(z, g, c, hs, h); }

void stft_f32(VANTREL_STFT_F32_ARGS) {
    stft_f32_blocks(g_kernels.stft_f32, p, frames, hop, w_re, w_im, n_fft, out);
}

}  // namespace vantrel
