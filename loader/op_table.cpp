#include "loader/op_table.h"

#include <cstring>

namespace vantrel {

namespace {
struct OpEntry {
    const char* name;
    OpCode code;
};

// Table order matters: lookups scan it front to back, so the reverse lookup
// always finds the long name before an alias.
const OpEntry kOps[] = {
    {"conv_int8", OP_CONV_INT8}, {"conv_fp32", OP_CONV_FP32},
    {"gemm_int8", OP_GEMM_INT8}, {"gemm_fp32", OP_GEMM_FP32},
    {"add_int8", OP_ADD_INT8}, {"add_fp32", OP_ADD_FP32},
    {"maxpool_int8", OP_MAXPOOL_INT8}, {"maxpool_fp32", OP_MAXPOOL_FP32},
    {"avgpool_int8", OP_AVGPOOL_INT8}, {"avgpool_fp32", OP_AVGPOOL_FP32},
    {"patch_prep_fp32", OP_PATCH_PREP_FP32}, {"layernorm_fp32", OP_LAYERNORM_FP32},
    {"attention_fp32", OP_ATTENTION_FP32}, {"attention_int8", OP_ATTENTION_INT8},
    {"seqgemm_fp32", OP_SEQGEMM_FP32}, {"seqgemm_int8", OP_SEQGEMM_INT8},
    {"cls_extract_fp32", OP_CLS_EXTRACT_FP32},
    {"upsample_bilinear_fp32", OP_UPSAMPLE_BILINEAR_FP32},
    {"pos_emb_add_fp32", OP_POS_EMB_ADD_FP32}, {"leaky_relu_fp32", OP_LEAKY_RELU_FP32},
    {"exp_fp32", OP_EXP_FP32}, {"sin_fp32", OP_SIN_FP32},
    {"sigmoid_fp32", OP_SIGMOID_FP32}, {"tanh_fp32", OP_TANH_FP32},
    {"gelu_fp32", OP_GELU_FP32}, {"conv1d_fp32", OP_CONV1D_FP32},
    {"conv1d_int8", OP_CONV1D_INT8}, {"conv_transpose1d_fp32", OP_CONV_TRANSPOSE1D_FP32},
    {"lstm_fp32", OP_LSTM_FP32}, {"ada_in1d_fp32", OP_ADA_IN1D_FP32},
    {"ada_layer_norm_fp32", OP_ADA_LAYER_NORM_FP32}, {"embedding_fp32", OP_EMBEDDING_FP32},
    {"bert_embeddings_fp32", OP_BERT_EMBEDDINGS_FP32}, {"snake1d_fp32", OP_SNAKE1D_FP32},
    {"length_regulate_fp32", OP_LENGTH_REGULATE_FP32}, {"istft_fp32", OP_ISTFT_FP32},
    {"stft_fp32", OP_STFT_FP32}, {"concat1d_fp32", OP_CONCAT1D_FP32},
    {"upsample_nearest1d_fp32", OP_UPSAMPLE_NEAREST1D_FP32}, {"sine_gen_fp32", OP_SINE_GEN_FP32},
    {"sum_channels_fp32", OP_SUM_CHANNELS_FP32}, {"scale_fp32", OP_SCALE_FP32},
    {"reflection_pad1d_fp32", OP_REFLECTION_PAD1D_FP32},
    {"slice_channels_fp32", OP_SLICE_CHANNELS_FP32}, {"rms_norm_fp32", OP_RMS_NORM_FP32},
    {"silu_fp32", OP_SILU_FP32}, {"elemwise_mul_fp32", OP_ELEMWISE_MUL_FP32},
    {"causal_attn_core_fp32", OP_CAUSAL_ATTN_CORE_FP32},
    // Short aliases for the int8 image ops.
    {"conv", OP_CONV_INT8}, {"gemm", OP_GEMM_INT8}, {"add", OP_ADD_INT8},
    {"maxpool", OP_MAXPOOL_INT8}, {"avgpool", OP_AVGPOOL_INT8},
};
}  // namespace

OpCode op_code_from_name(const std::string& name) {
    for (const OpEntry& e : kOps)
        if (name == e.name) return e.code;
    return OP_UNKNOWN;
}

const char* op_name_from_code(int32_t code) {
    for (const OpEntry& e : kOps)
        if (e.code == code) return e.name;
    return "";
}

}  // namespace vantrel
