#include "engine/cpu_backend/cpu_backend.h"

#include <cstdlib>

#include "engine/allocator.h"
#include "kernels/cpu_kernels.h"
#include "kernels/elementwise/activation.h"
#include "kernels/pool/avgpool.h"
#include "kernels/pool/maxpool.h"
#include "kernels/pool/upsample_bilinear.h"
#include "kernels/elementwise/add_f32.h"
#include "kernels/elementwise/add_s8.h"
#include "kernels/elementwise/scale_f32.h"
#include "kernels/norm/layer_norm_f32.h"
#include "kernels/norm/rms_norm_f32.h"
#include "kernels/elementwise/embedding_f32.h"
#include "kernels/elementwise/add_row_vector_f32.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/conv/conv2d_f32.h"
#include "kernels/conv/conv2d_f32_wino.h"
#include "kernels/conv/conv2d_s8.h"
#include "kernels/conv/conv2d_s8_wino.h"
#include "kernels/elementwise/concat1d_f32.h"
#include "kernels/elementwise/mul_f32.h"
#include "kernels/elementwise/row_sum_f32.h"
#include "kernels/elementwise/slice_channels_f32.h"

// includes: sequence matrix-product and self-attention kernels
// sequence matrix products
#include "kernels/gemm/seq_gemm_f32.h"
#include "kernels/gemm/seq_gemm_f32_alt.h"
// self-attention
#include "kernels/attention/attention_f32.h"
// includes: causal attention kernels
#include "kernels/attention/causal_attention_f32.h"
// includes: recurrent and spectral kernels
// includes: style, source and resampling kernels
#include "kernels/norm/ada_in1d_f32.h"
#include "kernels/norm/ada_layer_norm_f32.h"
#include "kernels/audio/snake_f32.h"
#include "kernels/pool/upsample_nearest1d_f32.h"
// includes: int8 and transposed 1-D convolution kernels

namespace vantrel {

namespace {
Allocator* get_cpu_allocator() { return &cpu_allocator(); }

// The registered table. It is refilled in place, so the registry's pointer
// stays valid when another path is selected.
Backend g_cpu_backend{};

// The Backend for `path`; the slots it shares with the CPU-internal table
// take that table's variants, chosen for the same path.
Backend make_cpu_backend(KernelPath path, const CpuKernels& k) {
    Backend b{};
    b.k_name = "cpu";
    b.k_priority = 0;
    b.kind = kBackendHost;
    b.k_get_allocator = &get_cpu_allocator;
    // Each kernel slot gets its variant for `path` here; an empty slot stays
    // null.
    // -- element-wise and activation kernels
#if defined(__x86_64__)
#define VANTREL_PICK_ELEMENTWISE(T, fn) pick_kernel<T>(path, &fn, &fn##_avx2, &fn##_avx512, nullptr)
#elif defined(__aarch64__)
#define VANTREL_PICK_ELEMENTWISE(T, fn) pick_kernel<T>(path, &fn, nullptr, nullptr, &fn##_neon)
#else
#define VANTREL_PICK_ELEMENTWISE(T, fn) (&fn)
#endif
    b.k_add_f32 = VANTREL_PICK_ELEMENTWISE(KAddF32, k_add_f32);
    b.k_add_s8 = VANTREL_PICK_ELEMENTWISE(KAddS8, k_add_s8);
    b.k_scale_f32 = VANTREL_PICK_ELEMENTWISE(KScaleF32, k_scale_f32);
    b.k_leaky_relu_f32 = VANTREL_PICK_ELEMENTWISE(KLeakyReluF32, k_leaky_relu_f32);
    b.k_exp_f32 = VANTREL_PICK_ELEMENTWISE(KUnaryF32, k_exp_f32);
    b.k_sin_f32 = VANTREL_PICK_ELEMENTWISE(KUnaryF32, k_sin_f32);
    b.k_sigmoid_f32 = VANTREL_PICK_ELEMENTWISE(KUnaryF32, k_sigmoid_f32);
    b.k_tanh_f32 = VANTREL_PICK_ELEMENTWISE(KUnaryF32, k_tanh_f32);
    b.k_gelu_f32 = k.gelu_f32;
    b.k_silu_f32 = VANTREL_PICK_ELEMENTWISE(KUnaryF32, k_silu_f32);
#undef VANTREL_PICK_ELEMENTWISE
    // -- pooling and resampling kernels
#if defined(__x86_64__)
#define VANTREL_PICK_POOL(T, fn) pick_kernel<T>(path, &fn, &fn##_avx2, &fn##_avx512, nullptr)
#elif defined(__aarch64__)
#define VANTREL_PICK_POOL(T, fn) pick_kernel<T>(path, &fn, nullptr, nullptr, &fn##_neon)
#else
#define VANTREL_PICK_POOL(T, fn) (&fn)
#endif
    b.k_maxpool_f32 = VANTREL_PICK_POOL(KMaxPoolF32, k_maxpool_f32);
    b.k_maxpool_s8 = VANTREL_PICK_POOL(KMaxPoolS8, k_maxpool_s8);
    b.k_avgpool_f32 = VANTREL_PICK_POOL(KAvgPoolF32, k_avgpool_f32);
    b.k_avgpool_s8 = VANTREL_PICK_POOL(KAvgPoolS8, k_avgpool_s8);
    b.k_upsample_bilinear_f32 = VANTREL_PICK_POOL(KUpsampleBilinearF32, k_upsample_bilinear_f32);
    // The second int8 pooling slots have no caller; they hold the same kernels.
    b.k_maxpool_s8_alt = b.k_maxpool_s8;
    b.k_avgpool_s8_alt = b.k_avgpool_s8;
#undef VANTREL_PICK_POOL
    // -- float matrix-product kernels
    // The engine every kernel calls, so a block from k_pack_f32 fits it.
    b.k_pack_f32 = k.pack_f32;
    b.k_gemm_f32 = k.gemm_f32;
    b.k_linear_f32 = k.linear_f32;
    b.k_relu_f32 = k.relu_f32;
    // Every path's block is a new[] float array.
    b.k_free_packed_f32 = &free_packed_f32;
    b.k_relu_f32_alt = b.k_relu_f32;
    // -- float convolution kernels
    // One portable version each: their heavy work is the table's GEMM.
    b.k_conv2d_f32 = pick_kernel<KConv2dF32>(path, &k_conv2d_f32, nullptr, nullptr, nullptr);
    b.k_conv2d_f32_wino =
        pick_kernel<KConv2dF32Wino>(path, &k_conv2d_f32_wino, nullptr, nullptr, nullptr);
    // -- int8 matrix-product kernels
    // One packed layout serves every path.
    b.k_pack_s8 = pick_kernel<KPackS8>(path, &pack_s8, nullptr, nullptr, nullptr);
    b.k_free_packed_s8 = pick_kernel<KFreePackedS8>(path, &free_packed_s8, nullptr, nullptr, nullptr);
    b.k_seq_gemm_s8 = pick_kernel<KSeqGemmS8>(path, &seq_gemm_s8, nullptr, nullptr, nullptr);
    b.k_gemm_s8_requant = k.gemm_s8_requant;
    b.k_gemm_s8_s32 = k.gemm_s8_s32;
    // -- int8 convolution kernels
    // One portable version each: their heavy work is the table's int8 GEMM
    // (and its depthwise kernel).
    b.k_conv2d_s8 = pick_kernel<KConv2dS8>(path, &k_conv2d_s8, nullptr, nullptr, nullptr);
    b.k_conv2d_s8_wino =
        pick_kernel<KConv2dS8Wino>(path, &k_conv2d_s8_wino, nullptr, nullptr, nullptr);
    // -- normalisation and embedding kernels
#if defined(__x86_64__)
#define VANTREL_PICK_NORM(T, fn) pick_kernel<T>(path, &fn, &fn##_avx2, &fn##_avx512, nullptr)
#elif defined(__aarch64__)
#define VANTREL_PICK_NORM(T, fn) pick_kernel<T>(path, &fn, nullptr, nullptr, &fn##_neon)
#else
#define VANTREL_PICK_NORM(T, fn) (&fn)
#endif
    b.k_layer_norm_f32 = VANTREL_PICK_NORM(KLayerNormF32, k_layer_norm_f32);
    b.k_rms_norm_f32 = VANTREL_PICK_NORM(KRmsNormF32, k_rms_norm_f32);
    b.k_embedding_f32 = VANTREL_PICK_NORM(KEmbeddingF32, k_embedding_f32);
    b.k_add_row_vector_f32 = VANTREL_PICK_NORM(KAddRowVectorF32, k_add_row_vector_f32);
#undef VANTREL_PICK_NORM
    // -- 1-D convolution and channel kernels
    // k_conv1d_f32 stays null: Conv1dFp32 computes on the host itself. The
    // row copies of concatenation and slicing have one portable version.
    b.k_concat1d_f32 = pick_kernel<KConcat1dF32>(path, &k_concat1d_f32, nullptr, nullptr, nullptr);
    b.k_slice_channels_f32 =
        pick_kernel<KSliceChannelsF32>(path, &k_slice_channels_f32, nullptr, nullptr, nullptr);
#if defined(__x86_64__)
    b.k_mul_f32 = pick_kernel<KMulF32>(path, &k_mul_f32, &k_mul_f32_avx2, &k_mul_f32_avx512, nullptr);
    b.k_row_sum_f32 = pick_kernel<KRowSumF32>(path, &k_row_sum_f32, nullptr, nullptr, nullptr);
#elif defined(__aarch64__)
    b.k_mul_f32 = pick_kernel<KMulF32>(path, &k_mul_f32, nullptr, nullptr, &k_mul_f32_neon);
    b.k_row_sum_f32 = pick_kernel<KRowSumF32>(path, &k_row_sum_f32, nullptr, nullptr, &k_row_sum_f32_neon);
#else
    b.k_mul_f32 = &k_mul_f32;
    b.k_row_sum_f32 = &k_row_sum_f32;
#endif
    // -- sequence matrix-product and self-attention kernels
    // sequence matrix products
    // k_seq_gemm_f32 follows the same path as k_pack_f32, whose block it reads.
#if defined(__x86_64__)
    b.k_seq_gemm_f32 = pick_kernel<KSeqGemmF32>(path,
        &k_seq_gemm_f32, &k_seq_gemm_f32_avx2, &k_seq_gemm_f32_avx512, nullptr);
    b.k_seq_gemm_f32_alt = pick_kernel<KSeqGemmF32Alt>(path,
        &k_seq_gemm_f32_alt, &k_seq_gemm_f32_alt_avx2, &k_seq_gemm_f32_alt_avx512, nullptr);
#elif defined(__aarch64__)
    b.k_seq_gemm_f32 = pick_kernel<KSeqGemmF32>(path,
        &k_seq_gemm_f32, nullptr, nullptr, &k_seq_gemm_f32_neon);
    b.k_seq_gemm_f32_alt = pick_kernel<KSeqGemmF32Alt>(path,
        &k_seq_gemm_f32_alt, nullptr, nullptr, &k_seq_gemm_f32_alt_neon);
#else
    b.k_seq_gemm_f32 = &k_seq_gemm_f32;
    b.k_seq_gemm_f32_alt = &k_seq_gemm_f32_alt;
#endif
    // self-attention
    // Its GEMMs and attention core come from the CPU-internal table.
    b.k_attention_f32 = &k_attention_f32;
    // -- causal attention kernels
#if defined(__x86_64__)
    // The AVX-512 path takes the AVX2 kernel: eight lanes fix the order.
    b.k_causal_attention_f32 = pick_kernel<KCausalAttentionF32>(path,
        &k_causal_attention_f32, &k_causal_attention_f32_avx2, nullptr, nullptr);
#elif defined(__aarch64__)
    b.k_causal_attention_f32 = pick_kernel<KCausalAttentionF32>(path,
        &k_causal_attention_f32, nullptr, nullptr, &k_causal_attention_f32_neon);
#else
    b.k_causal_attention_f32 = &k_causal_attention_f32;
#endif
    // -- recurrent and spectral kernels
    // k_lstm_f32, k_stft_f32 and k_istft_f32 stay null: LstmFp32, StftFp32
    // and IstftFp32 compute on the host (LSTM cell and STFT through the
    // CPU-internal table).
    // -- style, source and resampling kernels
    // k_sine_gen_f32 and k_reflection_pad1d_f32 stay null: both layers
    // compute on the host themselves. Nearest upsampling is row copies.
#if defined(__x86_64__)
#define VANTREL_PICK_STYLE(T, fn) pick_kernel<T>(path, &fn, &fn##_avx2, &fn##_avx512, nullptr)
#elif defined(__aarch64__)
#define VANTREL_PICK_STYLE(T, fn) pick_kernel<T>(path, &fn, nullptr, nullptr, &fn##_neon)
#else
#define VANTREL_PICK_STYLE(T, fn) (&fn)
#endif
    b.k_ada_in1d_f32 = VANTREL_PICK_STYLE(KAdaIn1dF32, k_ada_in1d_f32);
    b.k_ada_layer_norm_f32 = VANTREL_PICK_STYLE(KAdaLayerNormF32, k_ada_layer_norm_f32);
    b.k_snake_f32 = VANTREL_PICK_STYLE(KSnakeF32, k_snake_f32);
#undef VANTREL_PICK_STYLE
    b.k_upsample_nearest1d_f32 = pick_kernel<KUpsampleNearest1dF32>(path,
        &k_upsample_nearest1d_f32, nullptr, nullptr, nullptr);
    // -- int8 and transposed 1-D convolution kernels
    // k_conv1d_s8 and k_conv_transpose1d_f32 stay null: Conv1dInt8 and
    // ConvTranspose1dFp32 compute on the host through the GEMM engines.
    return b;
}

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
