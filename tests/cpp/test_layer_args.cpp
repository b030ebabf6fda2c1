#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "layers/common/conv_geometry.h"
#include "layers/common/placeholder_layer.h"
#include "loader/layer_args.h"
#include "loader/layer_factory.h"
#include "loader/op_registry.h"
#include "loader/op_table.h"

using namespace vantrel;

// Op names, codes and the aliases, written out from the table by hand.
TEST(OpTable, NamesAndCodes) {
    const char* names[kFileFormatOpCount] = {
        "conv_int8", "conv_fp32", "gemm_int8", "gemm_fp32", "add_int8", "add_fp32", "maxpool_int8",
        "maxpool_fp32", "avgpool_int8", "avgpool_fp32", "patch_prep_fp32", "layernorm_fp32",
        "attention_fp32", "attention_int8", "seqgemm_fp32", "seqgemm_int8", "cls_extract_fp32",
        "upsample_bilinear_fp32", "pos_emb_add_fp32", "leaky_relu_fp32", "exp_fp32", "sin_fp32",
        "sigmoid_fp32", "tanh_fp32", "gelu_fp32", "conv1d_fp32", "conv1d_int8",
        "conv_transpose1d_fp32", "lstm_fp32", "ada_in1d_fp32", "ada_layer_norm_fp32",
        "embedding_fp32", "bert_embeddings_fp32", "snake1d_fp32", "length_regulate_fp32",
        "istft_fp32", "stft_fp32", "concat1d_fp32", "upsample_nearest1d_fp32", "sine_gen_fp32",
        "sum_channels_fp32", "scale_fp32", "reflection_pad1d_fp32", "slice_channels_fp32",
        "rms_norm_fp32", "silu_fp32", "elemwise_mul_fp32", "causal_attn_core_fp32"};
    for (int code = 1; code <= kFileFormatOpCount; ++code) {
        EXPECT_EQ(op_code_from_name(names[code - 1]), code) << names[code - 1];
        EXPECT_STREQ(op_name_from_code(code), names[code - 1]);
    }
    EXPECT_EQ(op_code_from_name("conv"), 1);
    EXPECT_EQ(op_code_from_name("gemm"), 3);
    EXPECT_EQ(op_code_from_name("add"), 5);
    EXPECT_EQ(op_code_from_name("maxpool"), 7);
    EXPECT_EQ(op_code_from_name("avgpool"), 9);
    for (const char* bad : {"", "CONV", "conv_FP32", "conv_fp32 ", "softmax_fp32"})
        EXPECT_EQ(op_code_from_name(bad), OP_UNKNOWN) << bad;
    EXPECT_STREQ(op_name_from_code(0), "");
    EXPECT_STREQ(op_name_from_code(kOpCount + 1), "");
}

namespace {
// The argument values a node's op reads, as the factory reads them.
LayerArgs args_for(const std::string& json) {
    JsonValue node = parse_json(json);
    return LayerArgs(op_code_from_name(at(node, "op").text), node);
}
}  // namespace

struct DefaultCase {
    const char* op;
    const char* key;
    ArgType type;
    double value;
};
class ArgDefaults : public ::testing::TestWithParam<DefaultCase> {};
TEST_P(ArgDefaults, FromEmptyNode) {
    const DefaultCase& c = GetParam();
    LayerArgs a = args_for(std::string(R"({"op":")") + c.op + "\"}");
    switch (c.type) {
        case ArgType::Int: EXPECT_EQ(a.i(c.key), int32_t(c.value)); break;
        case ArgType::Float: EXPECT_FLOAT_EQ(a.f(c.key), float(c.value)); break;
        case ArgType::Bool: EXPECT_EQ(a.b(c.key), c.value != 0); break;
    }
}
INSTANTIATE_TEST_SUITE_P(
    Table, ArgDefaults,
    ::testing::Values(
        DefaultCase{"conv_int8", "kH", ArgType::Int, 1}, DefaultCase{"conv_int8", "groups", ArgType::Int, 1},
        DefaultCase{"conv_fp32", "dilation_w", ArgType::Int, 1}, DefaultCase{"gemm_int8", "in_zp", ArgType::Int, 0},
        DefaultCase{"add_int8", "out_scale", ArgType::Float, 1.0}, DefaultCase{"maxpool_fp32", "kW", ArgType::Int, 3},
        DefaultCase{"maxpool_int8", "stride_h", ArgType::Int, 2}, DefaultCase{"avgpool_int8", "in_scale", ArgType::Float, 1.0},
        DefaultCase{"layernorm_fp32", "eps", ArgType::Float, 1e-6}, DefaultCase{"attention_fp32", "dynamic_quantize", ArgType::Bool, 0},
        DefaultCase{"upsample_bilinear_fp32", "scale_w", ArgType::Float, 2.0},
        DefaultCase{"leaky_relu_fp32", "alpha", ArgType::Float, 0.2}, DefaultCase{"conv1d_int8", "dilation", ArgType::Int, 1},
        DefaultCase{"conv_transpose1d_fp32", "output_padding", ArgType::Int, 0},
        DefaultCase{"ada_in1d_fp32", "eps", ArgType::Float, 1e-5}, DefaultCase{"bert_embeddings_fp32", "emb_size", ArgType::Int, 128},
        DefaultCase{"istft_fp32", "n_fft", ArgType::Int, 20}, DefaultCase{"stft_fp32", "hop_size", ArgType::Int, 5},
        DefaultCase{"upsample_nearest1d_fp32", "scale_factor", ArgType::Int, 2},
        DefaultCase{"sine_gen_fp32", "sample_rate", ArgType::Int, 24000}, DefaultCase{"sine_gen_fp32", "harmonic_num", ArgType::Int, 8},
        DefaultCase{"sine_gen_fp32", "sine_amp", ArgType::Float, 0.1}, DefaultCase{"sine_gen_fp32", "voiced_threshold", ArgType::Float, 10.0},
        DefaultCase{"scale_fp32", "scalar", ArgType::Float, 1.0}, DefaultCase{"rms_norm_fp32", "eps", ArgType::Float, 1e-6},
        DefaultCase{"causal_attn_core_fp32", "rope_theta", ArgType::Float, 10000.0}));

TEST(LayerArgs, CausalCacheCapacityIsTheOneKeyBeyondTheTable) {
    const ArgSpec& extra = op_arg_specs(OP_CAUSAL_ATTN_CORE_FP32).back();
    EXPECT_STREQ(extra.key, "max_seq_len");
    EXPECT_TRUE(extra.optional);
    EXPECT_EQ(args_for(R"({"op":"causal_attn_core_fp32","args":{"max_seq_len":64}})").i("max_seq_len"), 64);
}

TEST(LayerArgs, LookupPrecedenceAndConversions) {
    LayerArgs a = args_for(R"({"op":"conv_fp32","C_out":8,"args":{"C_out":16,"C_in":3},"groups":0,"kH":"5"})");
    EXPECT_EQ(a.i("C_out"), 8);
    EXPECT_EQ(a.i("C_in"), 3);
    EXPECT_EQ(a.i("kH"), 0);  // a string reads as 0, not as the default
    EXPECT_EQ(a.i("kW"), 1);
    EXPECT_EQ(a.i("groups"), 0);
    EXPECT_EQ(conv_inner_k(a.i("C_in"), a.i("groups"), 1, 1), 3);
    EXPECT_EQ(conv_inner_k(16, 4, 3, 3), 36);
    EXPECT_EQ(conv_inner_k(16, -1, 3, 3), 144);
    EXPECT_THROW(a.i("nonexistent"), std::logic_error);

    JsonValue n = parse_json(R"({"dq":1,"dq9":0.9,"s":"yes","t":true,"big":3e10,"f":-2.75,"args":{"x":4}})");
    EXPECT_TRUE(arg_bool(n, "dq"));
    EXPECT_FALSE(arg_bool(n, "dq9"));
    EXPECT_FALSE(arg_bool(n, "s"));
    EXPECT_TRUE(arg_bool(n, "t"));
    EXPECT_FALSE(arg_bool(n, "missing"));
    EXPECT_EQ(arg_int(n, "big", 0), 2147483647);
    EXPECT_EQ(arg_int(n, "f", 0), -2);
    EXPECT_EQ(arg_int(n, "x", 7), 4);
    EXPECT_EQ(arg_int(n, "missing", 7), 7);
    EXPECT_FLOAT_EQ(arg_float(n, "f", 0), -2.75f);
}

TEST(LayerArgs, DerivedValues) {
    for (const char* yes : {"layers.3.mlp.fc1", "lm_head", "layers."})
        EXPECT_TRUE(is_decoder_weight_name(yes)) << yes;
    for (const char* no : {"lm_head2", "layer.0", "layers", "", "xlayers.1"})
        EXPECT_FALSE(is_decoder_weight_name(no)) << no;
    EXPECT_EQ(activation_kind(OP_LEAKY_RELU_FP32), 0);
    EXPECT_EQ(activation_kind(OP_GELU_FP32), 5);
    EXPECT_EQ(activation_kind(OP_SILU_FP32), 6);
    EXPECT_EQ(activation_kind(OP_CONV_FP32), -1);
    // exp reads no arguments, so an "alpha" is ignored.
    EXPECT_TRUE(args_for(R"({"op":"exp_fp32","alpha":0.9})").values().empty());
}

TEST(LayerFactory, EveryOpBuildsALayerOfItsRegisteredTypes) {
    for (int op = 1; op <= kOpCount; ++op) {
        const OpInfo* info = op_info(op);
        ASSERT_TRUE(info) << op;
        // Sizes that default to 0 are not a valid geometry; give them 4
        // (paddings stay 0).
        JsonValue node = parse_json("{}");
        for (const ArgSpec& s : info->args)
            if (s.type == ArgType::Int && s.def == 0 && !s.optional && !std::strstr(s.key, "pad"))
                get_or_insert(node, s.key) = parse_json("4");
        std::unique_ptr<ILayer> l = create_layer("n", op, node, true);
        ASSERT_TRUE(l) << info->name;
        EXPECT_EQ(l->name, "n");
        EXPECT_TRUE(l->relu);
        EXPECT_EQ(l->dtype(), info->output_dtype) << info->name;
        EXPECT_EQ(l->input_dtype(), info->input_dtype) << info->name;
        EXPECT_EQ(dynamic_cast<PlaceholderLayer*>(l.get()), nullptr) << info->name;
        // Only these write int8.
        bool int8_out = op == OP_CONV_INT8 || op == OP_ADD_INT8 || op == OP_MAXPOOL_INT8 || op == OP_AVGPOOL_INT8 ||
                        op == OP_LUT_INT8 || op == OP_CONCAT_INT8 || op == OP_CHANNEL_SHUFFLE_INT8 ||
                        op == OP_CHANNEL_MUL_INT8 || op == OP_AVGPOOL2D_INT8 || op == OP_ADAPTIVE_AVGPOOL_INT8 ||
                        op == OP_QUANTIZE_INT8;
        EXPECT_EQ(info->output_dtype, int8_out ? kDtypeInt8 : kDtypeFp32) << info->name;
    }
    JsonValue node = parse_json("{}");
    EXPECT_FALSE(create_layer("n", 0, node, false));
    EXPECT_FALSE(create_layer("n", kOpCount + 1, node, false));
    EXPECT_FALSE(create_layer("n", -1, node, false));
}

// Found by fuzz_arch: three 31-bit kernel factors overflowed 64 bits.
TEST(ConvGeometry, HugeKernelIsRefusedWithoutOverflow) {
    const int32_t big = 2147483647;
    EXPECT_THROW(vantrel::require_conv2d_geometry("conv_fp32", "c", 1, big, big, big, 1, 1, 0, 0, 1),
                 std::exception);
}
