#include "engine/cpu_backend/cpu_backend.h"

#include <cstdlib>

#include "engine/allocator.h"
#include "kernels/attention/attention_f32.h"
#include "kernels/attention/causal_attention_f32.h"
#include "kernels/audio/snake_f32.h"
#include "kernels/conv/conv2d_f32.h"
#include "kernels/conv/conv2d_f32_wino.h"
#include "kernels/conv/conv2d_s8.h"
#include "kernels/conv/conv2d_s8_wino.h"
#include "kernels/cpu_kernels.h"
#include "kernels/elementwise/activation.h"
#include "kernels/elementwise/activation_ungrouped.h"
#include "kernels/elementwise/add_f32.h"
#include "kernels/elementwise/add_row_vector_f32.h"
#include "kernels/elementwise/add_s8.h"
#include "kernels/elementwise/channel_mul_f32.h"
#include "kernels/elementwise/channel_shuffle_f32.h"
#include "kernels/elementwise/nchw_to_nhwc_f32.h"
#include "kernels/elementwise/concat1d_f32.h"
#include "kernels/elementwise/concat_f32.h"
#include "kernels/elementwise/embedding_f32.h"
#include "kernels/elementwise/int8_channels.h"
#include "kernels/elementwise/lut_s8.h"
#include "kernels/elementwise/mul_f32.h"
#include "kernels/elementwise/quantize_s8.h"
#include "kernels/elementwise/row_sum_f32.h"
#include "kernels/elementwise/scale_f32.h"
#include "kernels/elementwise/slice_channels_f32.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/gemm/seq_gemm_f32.h"
#include "kernels/gemm/seq_gemm_f32_alt.h"
#include "kernels/gemm/seq_gemm_w8.h"
#include "kernels/norm/ada_in1d_f32.h"
#include "kernels/norm/ada_layer_norm_f32.h"
#include "kernels/norm/layer_norm_f32.h"
#include "kernels/norm/rms_norm_f32.h"
#include "kernels/pool/avgpool.h"
#include "kernels/pool/avgpool2d.h"
#include "kernels/pool/avgpool2d_s8.h"
#include "kernels/pool/maxpool.h"
#include "kernels/pool/upsample_bilinear.h"
#include "kernels/pool/upsample_nearest1d_f32.h"

namespace vantrel {

namespace {
Allocator* get_cpu_allocator() { return &cpu_allocator(); }

// The registered table. It is refilled in place, so the registry's pointer
// stays valid when another path is selected.
Backend g_cpu_backend{};

// A kernel `fn` with vector versions fn_avx2 and fn_avx512 (x86-64) or
// fn_neon (aarch64) beside it.
#if defined(__x86_64__)
#define VANTREL_VARIANT(fn) pick_kernel<decltype(&fn)>(path, &fn, &fn##_avx2, &fn##_avx512, nullptr)
#elif defined(__aarch64__)
#define VANTREL_VARIANT(fn) pick_kernel<decltype(&fn)>(path, &fn, nullptr, nullptr, &fn##_neon)
#else
#define VANTREL_VARIANT(fn) (&fn)
#endif

// The Backend for `path`, slots in table order. The slots it shares with
// the CPU-internal table take that table's variants, chosen for the same
// path, so a block from k_pack_f32 fits the GEMM every kernel calls.
// Kernels with one version serve every path: their heavy work runs on the
// CPU-internal table's GEMM (and depthwise) kernels, or they only copy.
Backend make_cpu_backend(KernelPath path, const CpuKernels& k) {
    Backend b{};
    b.k_name = "cpu";
    b.k_priority = 0;
    b.kind = kBackendHost;
    b.k_get_allocator = &get_cpu_allocator;
    // -- matrix products and 2-D convolutions
    b.k_pack_s8 = &pack_s8;  // one packed layout for every path
    b.k_pack_f32 = k.pack_f32;
    b.k_free_packed_s8 = &free_packed_s8;
    b.k_free_packed_f32 = &free_packed_f32;  // every path's block comes from alloc_packed_f32
    b.k_gemm_s8_requant = k.gemm_s8_requant;
    b.k_gemm_s8_s32 = k.gemm_s8_s32;
    b.k_gemm_f32 = k.gemm_f32;
    b.k_linear_f32 = k.linear_f32;
    b.k_conv2d_s8 = &k_conv2d_s8;
    b.k_conv2d_s8_wino = &k_conv2d_s8_wino;
    b.k_conv2d_f32 = &k_conv2d_f32;
    b.k_conv2d_f32_wino = &k_conv2d_f32_wino;
    // k_seq_gemm_f32 reads the block of k_pack_f32, whose path it follows.
    b.k_seq_gemm_f32 = VANTREL_VARIANT(k_seq_gemm_f32);
    b.k_seq_gemm_s8 = &seq_gemm_s8;
    b.k_seq_gemm_f32_alt = VANTREL_VARIANT(k_seq_gemm_f32_alt);
    // k_conv1d_s8, k_conv1d_f32 and k_conv_transpose1d_f32 stay null:
    // Conv1dInt8, Conv1dFp32 and ConvTranspose1dFp32 compute on the host.
    // -- attention and normalisation
    b.k_attention_f32 = &k_attention_f32;
    // k_attention_s8 stays null: AttentionInt8 runs on the host.
    b.k_layer_norm_f32 = VANTREL_VARIANT(k_layer_norm_f32);
    // -- pooling; the second int8 pooling slots have no caller and hold the
    // same kernels
    b.k_maxpool_s8 = VANTREL_VARIANT(k_maxpool_s8);
    b.k_maxpool_s8_alt = b.k_maxpool_s8;
    b.k_maxpool_f32 = VANTREL_VARIANT(k_maxpool_f32);
    b.k_avgpool_s8 = VANTREL_VARIANT(k_avgpool_s8);
    b.k_avgpool_s8_alt = b.k_avgpool_s8;
    b.k_avgpool_f32 = VANTREL_VARIANT(k_avgpool_f32);
    // -- element-wise and activations
    b.k_add_f32 = VANTREL_VARIANT(k_add_f32);
    b.k_add_s8 = VANTREL_VARIANT(k_add_s8);
    b.k_relu_f32 = k.relu_f32;
    b.k_gelu_f32 = k.gelu_f32;
    b.k_sigmoid_f32 = VANTREL_VARIANT(k_sigmoid_f32);
    b.k_tanh_f32 = VANTREL_VARIANT(k_tanh_f32);
    b.k_leaky_relu_f32 = VANTREL_VARIANT(k_leaky_relu_f32);
    b.k_exp_f32 = VANTREL_VARIANT(k_exp_f32);
    b.k_sin_f32 = VANTREL_VARIANT(k_sin_f32);
    // -- resampling, style normalisation, rows and channels
    b.k_upsample_nearest1d_f32 = &k_upsample_nearest1d_f32;  // row copies
    b.k_upsample_bilinear_f32 = VANTREL_VARIANT(k_upsample_bilinear_f32);
    b.k_ada_in1d_f32 = VANTREL_VARIANT(k_ada_in1d_f32);
    b.k_ada_layer_norm_f32 = VANTREL_VARIANT(k_ada_layer_norm_f32);
    // k_accumulate_f32 stays null.
    b.k_add_row_vector_f32 = VANTREL_VARIANT(k_add_row_vector_f32);
    b.k_scale_f32 = VANTREL_VARIANT(k_scale_f32);
#if defined(__aarch64__)
    b.k_row_sum_f32 = VANTREL_VARIANT(k_row_sum_f32);
#else
    b.k_row_sum_f32 = &k_row_sum_f32;
#endif
    b.k_relu_f32_alt = b.k_relu_f32;
    b.k_embedding_f32 = VANTREL_VARIANT(k_embedding_f32);
    b.k_concat1d_f32 = &k_concat1d_f32;  // row copies
    b.k_slice_channels_f32 = &k_slice_channels_f32;
    b.k_snake_f32 = VANTREL_VARIANT(k_snake_f32);
    // k_lstm_f32, k_stft_f32, k_istft_f32, k_reflection_pad1d_f32 and
    // k_sine_gen_f32 stay null: their layers compute on the host (LSTM cell
    // and STFT through the CPU-internal table).
    b.k_rms_norm_f32 = VANTREL_VARIANT(k_rms_norm_f32);
    b.k_silu_f32 = VANTREL_VARIANT(k_silu_f32);
    b.k_mul_f32 = VANTREL_VARIANT(k_mul_f32);
    b.k_causal_attention_f32 = VANTREL_VARIANT(k_causal_attention_f32);
    // -- image channel operations
    b.k_channel_mul_f32 = VANTREL_VARIANT(k_channel_mul_f32);
    b.k_concat_f32 = &k_concat_f32;                    // row copies
    b.k_channel_shuffle_f32 = &k_channel_shuffle_f32;  // copies
    b.k_nchw_to_nhwc_f32 = &k_nchw_to_nhwc_f32;        // copies
    // -- pooling of the model-zoo ops
    b.k_maxpool_ceil_f32 = VANTREL_VARIANT(k_maxpool_ceil_f32);
    b.k_avgpool2d_f32 = VANTREL_VARIANT(k_avgpool2d_f32);
    b.k_adaptive_avgpool_f32 = VANTREL_VARIANT(k_adaptive_avgpool_f32);
    b.k_clamp_f32 = VANTREL_VARIANT(k_clamp_f32);
    b.k_hard_swish_f32 = VANTREL_VARIANT(k_hard_swish_f32);
    b.k_hard_sigmoid_f32 = VANTREL_VARIANT(k_hard_sigmoid_f32);
    b.k_gelu_erf_f32 = VANTREL_VARIANT(k_gelu_erf_f32);
#if defined(__x86_64__)
    // Eight lanes fix the order; AVX-512 only tiles many tokens larger.
    b.k_seq_gemm_w8_f32 = pick_kernel<KSeqGemmW8F32>(path, &k_seq_gemm_w8_f32, &k_seq_gemm_w8_f32_avx2,
                                                     &k_seq_gemm_w8_f32_avx512, nullptr);
#else
    b.k_seq_gemm_w8_f32 = VANTREL_VARIANT(k_seq_gemm_w8_f32);
#endif
    // -- int8 image ops
    b.k_lut_s8 = VANTREL_VARIANT(k_lut_s8);
    b.k_concat_s8 = &k_concat_s8;                    // row copies and lookups
    b.k_channel_shuffle_s8 = &k_channel_shuffle_s8;  // copies
    b.k_channel_mul_s8 = VANTREL_VARIANT(k_channel_mul_s8);
    b.k_maxpool_ceil_s8 = VANTREL_VARIANT(k_maxpool_ceil_s8);
    b.k_avgpool2d_s8 = VANTREL_VARIANT(k_avgpool2d_s8);
    b.k_adaptive_avgpool_s8 = VANTREL_VARIANT(k_adaptive_avgpool_s8);
    b.k_quantize_s8 = VANTREL_VARIANT(k_quantize_s8);
    b.k_dequantize_s8 = VANTREL_VARIANT(k_dequantize_s8);
    return b;
}

#undef VANTREL_VARIANT

}  // namespace

void select_cpu_kernel_path(KernelPath path) {
    fill_cpu_kernels(path);
    g_cpu_backend = make_cpu_backend(path, cpu_kernels());
}

const Backend& cpu_backend() {
    static const bool filled = [] {
        select_cpu_kernel_path(select_kernel_path(std::getenv("VANTREL_KERNEL_PATH")));
        return true;
    }();
    (void)filled;
    return g_cpu_backend;
}

namespace {
// Runs at load: allocators first, so they outlive every Buffer, then the
// backend joins the registry and the first entry becomes active.
struct CpuBackendRegistration {
    CpuBackendRegistration() {
        cpu_allocator();
        host_staging_allocator();
        register_backend(&cpu_backend());
    }
} g_cpu_backend_registration;
}  // namespace

}  // namespace vantrel
