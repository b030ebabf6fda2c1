#include "loader/layer_args.h"

#include <stdexcept>

namespace vantrel {

namespace {
using T = ArgType;

const std::vector<ArgSpec> kNone;

const std::vector<ArgSpec> kConvInt8 = {
    {"C_out", T::Int, 0}, {"C_in", T::Int, 0}, {"kH", T::Int, 1}, {"kW", T::Int, 1},
    {"stride_h", T::Int, 1}, {"stride_w", T::Int, 1}, {"pad_h", T::Int, 0}, {"pad_w", T::Int, 0},
    {"groups", T::Int, 1}, {"in_zp", T::Int, 0}, {"out_zp", T::Int, 0}};
const std::vector<ArgSpec> kConvFp32 = {
    {"C_out", T::Int, 0}, {"C_in", T::Int, 0}, {"kH", T::Int, 1}, {"kW", T::Int, 1},
    {"stride_h", T::Int, 1}, {"stride_w", T::Int, 1}, {"pad_h", T::Int, 0}, {"pad_w", T::Int, 0},
    {"groups", T::Int, 1}, {"dilation_h", T::Int, 1}, {"dilation_w", T::Int, 1}};
const std::vector<ArgSpec> kGemmInt8 = {{"C_out", T::Int, 0}, {"C_in", T::Int, 0}, {"in_zp", T::Int, 0}};
const std::vector<ArgSpec> kGemmFp32 = {{"C_out", T::Int, 0}, {"C_in", T::Int, 0}};
const std::vector<ArgSpec> kAddInt8 = {
    {"in1_scale", T::Float, 1.0}, {"in2_scale", T::Float, 1.0}, {"out_scale", T::Float, 1.0},
    {"in1_zp", T::Int, 0}, {"in2_zp", T::Int, 0}, {"out_zp", T::Int, 0}};
const std::vector<ArgSpec> kMaxPoolInt8 = {
    {"kH", T::Int, 3}, {"kW", T::Int, 3}, {"stride_h", T::Int, 2}, {"stride_w", T::Int, 2},
    {"pad_h", T::Int, 0}, {"pad_w", T::Int, 0}, {"in_zp", T::Int, 0}, {"out_zp", T::Int, 0}};
const std::vector<ArgSpec> kMaxPoolFp32 = {
    {"kH", T::Int, 3}, {"kW", T::Int, 3}, {"stride_h", T::Int, 2}, {"stride_w", T::Int, 2},
    {"pad_h", T::Int, 0}, {"pad_w", T::Int, 0}};
const std::vector<ArgSpec> kAvgPoolInt8 = {
    {"in_scale", T::Float, 1.0}, {"out_scale", T::Float, 1.0}, {"in_zp", T::Int, 0}, {"out_zp", T::Int, 0}};
const std::vector<ArgSpec> kEps6 = {{"eps", T::Float, 1e-6}};
const std::vector<ArgSpec> kAttentionFp32 = {
    {"num_heads", T::Int, 0}, {"embed_dim", T::Int, 0}, {"dynamic_quantize", T::Bool, 0}};
const std::vector<ArgSpec> kAttentionInt8 = {{"num_heads", T::Int, 0}, {"embed_dim", T::Int, 0}};
const std::vector<ArgSpec> kSeqGemmFp32 = {
    {"gelu", T::Bool, 0}, {"C_out", T::Int, 0}, {"C_in", T::Int, 0}, {"dynamic_quantize", T::Bool, 0}};
const std::vector<ArgSpec> kSeqGemmInt8 = {{"gelu", T::Bool, 0}, {"C_out", T::Int, 0}, {"C_in", T::Int, 0}};
const std::vector<ArgSpec> kUpsampleBilinear = {{"scale_h", T::Float, 2.0}, {"scale_w", T::Float, 2.0}};
const std::vector<ArgSpec> kLeakyRelu = {{"alpha", T::Float, 0.2}};
const std::vector<ArgSpec> kConv1d = {
    {"C_out", T::Int, 0}, {"C_in", T::Int, 0}, {"kernel_size", T::Int, 1}, {"stride", T::Int, 1},
    {"padding", T::Int, 0}, {"dilation", T::Int, 1}, {"groups", T::Int, 1}};
const std::vector<ArgSpec> kConvTranspose1d = {
    {"C_out", T::Int, 0}, {"C_in", T::Int, 0}, {"kernel_size", T::Int, 1}, {"stride", T::Int, 1},
    {"padding", T::Int, 0}, {"output_padding", T::Int, 0}, {"groups", T::Int, 1}};
const std::vector<ArgSpec> kLstm = {{"hidden_size", T::Int, 0}, {"bidirectional", T::Bool, 0}};
const std::vector<ArgSpec> kAdaNorm = {{"C", T::Int, 0}, {"C_style", T::Int, 0}, {"eps", T::Float, 1e-5}};
const std::vector<ArgSpec> kEmbedding = {{"num_embeddings", T::Int, 0}, {"embedding_dim", T::Int, 0}};
const std::vector<ArgSpec> kBertEmbeddings = {{"emb_size", T::Int, 128}};
const std::vector<ArgSpec> kIstft = {{"n_fft", T::Int, 20}, {"hop_size", T::Int, 5}, {"normalized", T::Bool, 0}};
const std::vector<ArgSpec> kStft = {{"n_fft", T::Int, 20}, {"hop_size", T::Int, 5}};
const std::vector<ArgSpec> kConcat1d = {{"C2", T::Int, 0}};
const std::vector<ArgSpec> kUpsampleNearest1d = {{"scale_factor", T::Int, 2}};
const std::vector<ArgSpec> kSineGen = {
    {"sample_rate", T::Int, 24000}, {"harmonic_num", T::Int, 8}, {"sine_amp", T::Float, 0.1},
    {"voiced_threshold", T::Float, 10.0}, {"noise_std", T::Float, 0.0}, {"upsample_scale", T::Int, 0}};
const std::vector<ArgSpec> kScale = {{"scalar", T::Float, 1.0}};
const std::vector<ArgSpec> kSliceChannels = {{"ch_start", T::Int, 0}, {"ch_end", T::Int, 0}};
const std::vector<ArgSpec> kCausalAttn = {
    {"num_q_heads", T::Int, 0}, {"num_kv_heads", T::Int, 0}, {"head_dim", T::Int, 0},
    {"rope_theta", T::Float, 10000.0}};
}  // namespace

const std::vector<ArgSpec>& op_arg_specs(int32_t op) {
    switch (op) {
        case OP_CONV_INT8: return kConvInt8;
        case OP_CONV_FP32: return kConvFp32;
        case OP_GEMM_INT8: return kGemmInt8;
        case OP_GEMM_FP32: return kGemmFp32;
        case OP_ADD_INT8: return kAddInt8;
        case OP_MAXPOOL_INT8: return kMaxPoolInt8;
        case OP_MAXPOOL_FP32: return kMaxPoolFp32;
        case OP_AVGPOOL_INT8: return kAvgPoolInt8;
        case OP_LAYERNORM_FP32: return kEps6;
        case OP_ATTENTION_FP32: return kAttentionFp32;
        case OP_ATTENTION_INT8: return kAttentionInt8;
        case OP_SEQGEMM_FP32: return kSeqGemmFp32;
        case OP_SEQGEMM_INT8: return kSeqGemmInt8;
        case OP_UPSAMPLE_BILINEAR_FP32: return kUpsampleBilinear;
        case OP_LEAKY_RELU_FP32: return kLeakyRelu;
        case OP_CONV1D_FP32: return kConv1d;
        case OP_CONV1D_INT8: return kConv1d;
        case OP_CONV_TRANSPOSE1D_FP32: return kConvTranspose1d;
        case OP_LSTM_FP32: return kLstm;
        case OP_ADA_IN1D_FP32: return kAdaNorm;
        case OP_ADA_LAYER_NORM_FP32: return kAdaNorm;
        case OP_EMBEDDING_FP32: return kEmbedding;
        case OP_BERT_EMBEDDINGS_FP32: return kBertEmbeddings;
        case OP_ISTFT_FP32: return kIstft;
        case OP_STFT_FP32: return kStft;
        case OP_CONCAT1D_FP32: return kConcat1d;
        case OP_UPSAMPLE_NEAREST1D_FP32: return kUpsampleNearest1d;
        case OP_SINE_GEN_FP32: return kSineGen;
        case OP_SCALE_FP32: return kScale;
        case OP_SLICE_CHANNELS_FP32: return kSliceChannels;
        case OP_RMS_NORM_FP32: return kEps6;
        case OP_CAUSAL_ATTN_CORE_FP32: return kCausalAttn;
        default: return kNone;
    }
}

const JsonValue* find_arg(const JsonValue& node, const std::string& key) {
    if (has(node, key)) return &at(node, key);
    if (has(node, "args")) {
        const JsonValue& args = at(node, "args");
        if (has(args, key)) return &at(args, key);
    }
    return nullptr;
}

int32_t arg_int(const JsonValue& node, const std::string& key, int32_t def) {
    const JsonValue* v = find_arg(node, key);
    return v ? json_number_to_int32(v->number) : def;
}

float arg_float(const JsonValue& node, const std::string& key, float def) {
    const JsonValue* v = find_arg(node, key);
    return v ? float(v->number) : def;
}

bool arg_bool(const JsonValue& node, const std::string& key) {
    const JsonValue* v = find_arg(node, key);
    return v ? json_flag(*v) : false;
}

LayerArgs::LayerArgs(int32_t op, const JsonValue& node) {
    for (const ArgSpec& s : op_arg_specs(op)) {
        Value v;
        v.key = s.key;
        v.type = s.type;
        switch (s.type) {
            case ArgType::Int: v.i = arg_int(node, s.key, int32_t(s.def)); break;
            case ArgType::Float: v.f = arg_float(node, s.key, float(s.def)); break;
            case ArgType::Bool: v.b = arg_bool(node, s.key); break;
        }
        values_.push_back(std::move(v));
    }
}

const LayerArgs::Value& LayerArgs::find(const std::string& key, ArgType t) const {
    for (const Value& v : values_)
        if (v.key == key && v.type == t) return v;
    throw std::logic_error("layer argument '" + key + "' is not declared for this op");
}

int32_t LayerArgs::i(const std::string& key) const { return find(key, ArgType::Int).i; }
float LayerArgs::f(const std::string& key) const { return find(key, ArgType::Float).f; }
bool LayerArgs::b(const std::string& key) const { return find(key, ArgType::Bool).b; }

int32_t conv_inner_k(int32_t c_in, int32_t groups, int32_t kh, int32_t kw) {
    int32_t g = groups > 0 ? groups : 1;
    // Saturate instead of overflowing; oversized geometry is rejected at load.
    int64_t k = int64_t(c_in / g) * kh * kw;
    if (k > INT32_MAX) return INT32_MAX;
    if (k < INT32_MIN) return INT32_MIN;
    return int32_t(k);
}

bool is_decoder_weight_name(const std::string& name) {
    return (name.size() >= 7 && name.compare(0, 7, "layers.") == 0) || name == "lm_head";
}

int activation_kind(int32_t op) {
    switch (op) {
        case OP_LEAKY_RELU_FP32: return 0;
        case OP_EXP_FP32: return 1;
        case OP_SIN_FP32: return 2;
        case OP_SIGMOID_FP32: return 3;
        case OP_TANH_FP32: return 4;
        case OP_GELU_FP32: return 5;
        case OP_SILU_FP32: return 6;
        default: return -1;
    }
}

}  // namespace vantrel
