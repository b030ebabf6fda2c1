#include "loader/layer_factory.h"

#include "layers/image/activation_fp32.h"
#include "layers/image/add_fp32.h"
#include "layers/image/add_int8.h"
#include "layers/image/avgpool_fp32.h"
#include "layers/image/avgpool_int8.h"
#include "layers/image/cls_extract_fp32.h"
#include "layers/image/maxpool_fp32.h"
#include "layers/image/maxpool_int8.h"
#include "layers/image/upsample_bilinear_fp32.h"
#include "layers/image/conv_fp32.h"
#include "layers/image/gemm_fp32.h"
#include "layers/image/conv_int8.h"
#include "layers/image/gemm_int8.h"
#include "layers/image/scale_fp32.h"
#include "layers/audio/concat1d_fp32.h"
#include "layers/audio/conv1d_fp32.h"
#include "layers/audio/elemwise_mul_fp32.h"
#include "layers/audio/slice_channels_fp32.h"
#include "layers/audio/sum_channels_fp32.h"
#include "layers/sequence/bert_embeddings_fp32.h"
#include "layers/sequence/embedding_fp32.h"
#include "layers/sequence/layer_norm_fp32.h"
#include "layers/sequence/patch_prep_fp32.h"
#include "layers/sequence/pos_emb_add_fp32.h"
#include "layers/sequence/rms_norm_fp32.h"
// includes: sequence matrix-product and self-attention layers
// sequence matrix products
#include "layers/sequence/seq_gemm_fp32.h"
#include "layers/sequence/seq_gemm_int8.h"
// self-attention
#include "layers/sequence/attention_fp32.h"
#include "layers/sequence/attention_int8.h"
// includes: causal attention layers
#include "layers/sequence/causal_attn_core_fp32.h"
// includes: recurrent and spectral layers
#include "layers/audio/istft_fp32.h"
#include "layers/audio/lstm_fp32.h"
#include "layers/audio/stft_fp32.h"
// includes: style, source and resampling layers
#include "layers/audio/ada_in1d_fp32.h"
#include "layers/audio/ada_layer_norm_fp32.h"
#include "layers/audio/length_regulate_fp32.h"
#include "layers/audio/reflection_pad1d_fp32.h"
#include "layers/audio/sine_gen_fp32.h"
#include "layers/audio/snake_fp32.h"
#include "layers/audio/upsample_nearest1d_fp32.h"
// includes: int8 and transposed 1-D convolution layers
#include "layers/audio/conv1d_int8.h"
#include "layers/audio/conv_transpose1d_fp32.h"
#include "layers/common/placeholder_layer.h"
#include "loader/layer_args.h"
#include "loader/op_table.h"

namespace vantrel {

std::unique_ptr<ILayer> create_layer(const std::string& name, int32_t op, const JsonValue& node,
                                     bool relu) {
    if (op < 1 || op > kOpCount) return nullptr;
    LayerArgs args(op, node);
    std::unique_ptr<ILayer> layer;
    switch (op) {
        // Layer classes join here as they are built; until then an op keeps
        // its arguments in a placeholder that refuses to run.
        // -- element-wise and activation layers
        case OP_ADD_FP32: layer.reset(new AddFp32()); break;
        case OP_ADD_INT8:
            layer.reset(new AddInt8(name, args.f("in1_scale"), args.f("in2_scale"), args.f("out_scale"),
                                    args.i("in1_zp"), args.i("in2_zp"), args.i("out_zp")));
            break;
        // Only leaky ReLU reads "alpha"; the others keep the default 0.2.
        case OP_LEAKY_RELU_FP32: layer.reset(new ActivationFp32(0, args.f("alpha"))); break;
        case OP_EXP_FP32: case OP_SIN_FP32: case OP_SIGMOID_FP32: case OP_TANH_FP32:
        case OP_GELU_FP32: case OP_SILU_FP32:
            layer.reset(new ActivationFp32(activation_kind(op), 0.2f));
            break;
        case OP_SCALE_FP32: layer.reset(new ScaleFp32(args.f("scalar"))); break;
        // -- pooling and resampling layers
        case OP_MAXPOOL_FP32:
            layer.reset(new MaxPoolFp32(name, args.i("kH"), args.i("kW"), args.i("stride_h"),
                                        args.i("stride_w"), args.i("pad_h"), args.i("pad_w")));
            break;
        case OP_MAXPOOL_INT8:  // zero points keep their low 8 bits
            layer.reset(new MaxPoolInt8(name, args.i("kH"), args.i("kW"), args.i("stride_h"),
                                        args.i("stride_w"), args.i("pad_h"), args.i("pad_w"),
                                        int8_t(args.i("in_zp")), int8_t(args.i("out_zp"))));
            break;
        case OP_AVGPOOL_FP32: layer.reset(new AvgPoolFp32()); break;
        case OP_AVGPOOL_INT8:
            layer.reset(new AvgPoolInt8(name, args.f("in_scale"), args.f("out_scale"),
                                        args.i("in_zp"), args.i("out_zp")));
            break;
        case OP_UPSAMPLE_BILINEAR_FP32:
            layer.reset(new UpsampleBilinearFp32(name, args.f("scale_h"), args.f("scale_w")));
            break;
        case OP_CLS_EXTRACT_FP32: layer.reset(new ClsExtractFp32()); break;
        // -- float convolution and fully connected layers
        case OP_CONV_FP32:
            layer.reset(new ConvFp32(name, args.i("C_out"), args.i("C_in"), args.i("kH"), args.i("kW"),
                                     args.i("stride_h"), args.i("stride_w"), args.i("pad_h"),
                                     args.i("pad_w"), args.i("groups"), args.i("dilation_h"),
                                     args.i("dilation_w")));
            break;
        case OP_GEMM_FP32: layer.reset(new GemmFp32(name, args.i("C_out"), args.i("C_in"))); break;
        // -- int8 convolution and fully connected layers
        case OP_CONV_INT8:  // zero points keep their low 8 bits
            layer.reset(new ConvInt8(name, args.i("C_out"), args.i("C_in"), args.i("kH"), args.i("kW"),
                                     args.i("stride_h"), args.i("stride_w"), args.i("pad_h"),
                                     args.i("pad_w"), args.i("groups"), int8_t(args.i("in_zp")),
                                     int8_t(args.i("out_zp"))));
            break;
        case OP_GEMM_INT8:
            layer.reset(new GemmInt8(name, args.i("C_out"), args.i("C_in"), args.i("in_zp")));
            break;
        // -- normalisation and embedding layers
        case OP_LAYERNORM_FP32: layer.reset(new LayerNormFp32(name, args.f("eps"))); break;
        case OP_RMS_NORM_FP32: layer.reset(new RmsNormFp32(name, args.f("eps"))); break;
        case OP_EMBEDDING_FP32:
            layer.reset(new EmbeddingFp32(name, args.i("num_embeddings"), args.i("embedding_dim")));
            break;
        case OP_BERT_EMBEDDINGS_FP32: layer.reset(new BertEmbeddingsFp32(name, args.i("emb_size"))); break;
        case OP_PATCH_PREP_FP32: layer.reset(new PatchPrepFp32()); break;
        case OP_POS_EMB_ADD_FP32: layer.reset(new PosEmbAddFp32()); break;
        // -- 1-D convolution and channel layers
        case OP_CONV1D_FP32:
            layer.reset(new Conv1dFp32(name, args.i("C_out"), args.i("C_in"), args.i("kernel_size"),
                                       args.i("stride"), args.i("padding"), args.i("dilation"),
                                       args.i("groups")));
            break;
        case OP_CONCAT1D_FP32: layer.reset(new Concat1dFp32(name, args.i("C2"))); break;
        case OP_SLICE_CHANNELS_FP32:
            layer.reset(new SliceChannelsFp32(name, args.i("ch_start"), args.i("ch_end")));
            break;
        case OP_SUM_CHANNELS_FP32: layer.reset(new SumChannelsFp32()); break;
        case OP_ELEMWISE_MUL_FP32: layer.reset(new ElemwiseMulFp32()); break;
        // -- sequence matrix-product and self-attention layers
        // sequence matrix products
        case OP_SEQGEMM_FP32:
            layer.reset(new SeqGemmFp32(name, args.b("gelu"), args.i("C_out"), args.i("C_in"),
                                        args.b("dynamic_quantize"), is_decoder_weight_name(name)));
            break;
        case OP_SEQGEMM_INT8:
            layer.reset(new SeqGemmInt8(name, args.b("gelu"), args.i("C_out"), args.i("C_in"),
                                        is_decoder_weight_name(name)));
            break;
        // self-attention
        case OP_ATTENTION_FP32:
            layer.reset(new AttentionFp32(name, args.i("num_heads"), args.i("embed_dim"), args.b("dynamic_quantize")));
            break;
        case OP_ATTENTION_INT8: layer.reset(new AttentionInt8(name, args.i("num_heads"), args.i("embed_dim"))); break;
        // -- causal attention layers
        case OP_CAUSAL_ATTN_CORE_FP32:
            // "max_seq_len" is not in the op's table: an optional cache
            // capacity the node may declare (files without it still load).
            layer.reset(new CausalAttnCoreFp32(name, args.i("num_q_heads"), args.i("num_kv_heads"),
                                               args.i("head_dim"), args.f("rope_theta"),
                                               arg_int(node, "max_seq_len", 0)));
            break;
        // -- recurrent and spectral layers
        case OP_LSTM_FP32: layer.reset(new LstmFp32(name, args.i("hidden_size"), args.b("bidirectional"))); break;
        case OP_STFT_FP32: layer.reset(new StftFp32(name, args.i("n_fft"), args.i("hop_size"))); break;
        case OP_ISTFT_FP32:
            layer.reset(new IstftFp32(name, args.i("n_fft"), args.i("hop_size"), args.b("normalized")));
            break;
        // -- style, source and resampling layers
        case OP_ADA_IN1D_FP32:
            layer.reset(new AdaIn1dFp32(name, args.i("C"), args.i("C_style"), args.f("eps")));
            break;
        case OP_ADA_LAYER_NORM_FP32:
            layer.reset(new AdaLayerNormFp32(name, args.i("C"), args.i("C_style"), args.f("eps")));
            break;
        case OP_SNAKE1D_FP32: layer.reset(new SnakeFp32()); break;
        case OP_SINE_GEN_FP32:
            layer.reset(new SineGenFp32(name, args.i("sample_rate"), args.i("harmonic_num"), args.f("sine_amp"),
                                        args.f("voiced_threshold"), args.f("noise_std"),
                                        args.i("upsample_scale")));
            break;
        case OP_LENGTH_REGULATE_FP32: layer.reset(new LengthRegulateFp32()); break;
        case OP_UPSAMPLE_NEAREST1D_FP32:
            layer.reset(new UpsampleNearest1dFp32(name, args.i("scale_factor")));
            break;
        case OP_REFLECTION_PAD1D_FP32: layer.reset(new ReflectionPad1dFp32()); break;
        // -- int8 and transposed 1-D convolution layers
        case OP_CONV1D_INT8:
            layer.reset(new Conv1dInt8(name, args.i("C_out"), args.i("C_in"), args.i("kernel_size"),
                                       args.i("stride"), args.i("padding"), args.i("dilation"),
                                       args.i("groups")));
            break;
        case OP_CONV_TRANSPOSE1D_FP32:
            layer.reset(new ConvTranspose1dFp32(name, args.i("C_out"), args.i("C_in"), args.i("kernel_size"),
                                                args.i("stride"), args.i("padding"),
                                                args.i("output_padding"), args.i("groups")));
            break;
        default: layer.reset(new PlaceholderLayer(op, std::move(args))); break;
    }
    layer->name = name;
    layer->relu = relu;
    return layer;
}

}  // namespace vantrel
