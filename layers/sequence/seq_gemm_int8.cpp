#include "layers/sequence/seq_gemm_int8.h"

#include "kernels/gemm/gemm_s8.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/fetch_typed_tensor.h"
#include "layers/common/packed_s8_buffer.h"
#include "layers/common/layer_buffers.h"
#include "layers/common/layer_checks.h"
#include "layers/sequence/huge_page_advice.h"
#include "layers/sequence/seq_gemm_io.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {

constexpr const char* kOp = "seqgemm_int8";

// Scratch area `area` when the context supplies one: it must hold `need`
// bytes. Without one, the host kernels use their own thread-local buffers.
void* scratch_area(const std::string& node, const ExecContext* ctx, int area, uint64_t need) {
    if (!ctx || !ctx->scratch[area].data) return nullptr;
    if (ctx->scratch[area].bytes < need)
        layer_fail(kOp, node, "scratch area " + std::to_string(area) + " holds " +
                                  std::to_string(ctx->scratch[area].bytes) + " bytes, needs " +
                                  std::to_string(need));
    return ctx->scratch[area].data;
}

}  // namespace

SeqGemmInt8::SeqGemmInt8(const std::string& node_name, bool gelu_, int32_t C_out_, int32_t C_in_,
                         bool huge_page_hint_)
    : gelu(gelu_), C_out(C_out_), C_in(C_in_), huge_page_hint(huge_page_hint_) {
    name = node_name;
    require_arg_at_least(kOp, name, "C_out", C_out, 1);
    require_arg_at_least(kOp, name, "C_in", C_in, 1);
}

void SeqGemmInt8::load_weights(const WeightFetch& fetch) {
    std::vector<int8_t> q;
    std::vector<float> s, b;
    fetch_typed_tensor(kOp, name, fetch, name + ".weight_i8", int64_t(C_out) * C_in, "int8", q);
    fetch_typed_tensor(kOp, name, fetch, name + ".w_scales", C_out, "float32", s);
    fetch_f32_tensor(kOp, name, fetch, name + ".bias", C_out, false, b);
    packed = Buffer();
    packed_owner_.reset();
    device_packed_ = Buffer();
    device_rows_ = Buffer();
    device_scales_ = Buffer();
    weight_i8 = std::move(q);
    w_scales = std::move(s);
    bias = std::move(b);
    int_bias.assign(size_t(C_out), 0);
    packed = pack_s8_shared(kOp, name,
                            "SeqGemmInt8:" + name + ".weight_i8:" + std::to_string(C_out) + "x" +
                                std::to_string(C_in),
                            weight_i8.data(), C_out, C_in, packed_owner_);
    if (huge_page_hint && !packed.on_device) advise_huge_pages(packed.data, packed.size);
}

void SeqGemmInt8::plan_scratch(Shape3 input, ScratchRequest& req) const {
    const int64_t t = int64_t(input.h < 0 ? 0 : input.h) * int64_t(input.w < 0 ? 0 : input.w);
    if (t > 0) req.need(4, byte_count(t, C_in));
    if (input.h != 0 || input.w != 0) req.need(5, byte_count(C_out, 4));
}

Shape3 SeqGemmInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                            ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const SeqGemmIo io = seq_gemm_io(kOp, name, inputs, num_inputs, output, C_in, C_out, !packed.empty());
    const Shape3 out{C_out, inputs[0].h, inputs[0].w};
    if (io.tokens == 0) return out;
    void* stream = ctx ? ctx->stream : nullptr;
    const float* b = bias.empty() ? nullptr : bias.data();

    if (io.tokens == 1 && be.k_seq_gemm_f32_alt) {
        seq_gemm_one_token(kOp, name, be, io, device_rows_, weight_i8.data(), device_scales_, w_scales.data(), b,
                           C_in, C_out, gelu, stream);
        return out;
    }

    int8_t* qbuf = static_cast<int8_t*>(scratch_area(name, ctx, 4, byte_count(io.tokens, C_in)));
    float* sbuf = static_cast<float*>(scratch_area(name, ctx, 5, byte_count(C_out, 4)));
    if (be.kind != kBackendHost) {
        if (!be.k_seq_gemm_s8) layer_fail(kOp, name, "the active backend has no k_seq_gemm_s8 kernel");
        if (!qbuf || !sbuf) layer_fail(kOp, name, "scratch areas 4 and 5 are required on a device backend");
        const int8_t* bp = static_cast<const int8_t*>(device_packed_.data ? device_packed_.data : packed.data);
        be.k_seq_gemm_s8(io.x, bp, w_scales.data(), int_bias.data(), b, qbuf, sbuf, io.y, io.tokens32,
                         C_in, C_out, gelu, stream);
        return out;
    }
    // GELU inside the product's parallel region (the host's k_gelu_f32).
    seq_gemm_s8(io.x, static_cast<const int8_t*>(packed.data), w_scales.data(), int_bias.data(), b, qbuf,
                sbuf, io.y, io.tokens32, C_in, C_out, gelu, stream);
    return out;
}

void SeqGemmInt8::upload_weights(Allocator& alloc) {
    if (!alloc.is_device() || packed.empty()) return;
    device_packed_ = device_copy(alloc, packed.data, size_t(packed.size));
    device_rows_ = device_copy(alloc, weight_i8);
    device_scales_ = device_copy(alloc, w_scales);
}

std::unique_ptr<ILayer> create_seqgemm_int8(const LayerInit& in) {
    return std::make_unique<SeqGemmInt8>(in.name, in.args.b("gelu"), in.args.i("C_out"), in.args.i("C_in"),
                                         is_decoder_weight_name(in.name));
}

}  // namespace vantrel
