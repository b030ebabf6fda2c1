#include "layers/image/gemm_int8.h"

#include "kernels/gemm/gemm_s8.h"
#include "kernels/quantize.h"
#include "layers/common/requant_weights.h"
#include "layers/common/packed_s8_buffer.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "gemm_int8";
}

GemmInt8::GemmInt8(const std::string& node_name, int32_t C_out_, int32_t C_in_, int32_t in_zp_)
    : C_in(C_in_), C_out(C_out_), in_zp(in_zp_) {
    name = node_name;
    require_arg_at_least(kOp, name, "C_out", C_out, 1);
    require_arg_at_least(kOp, name, "C_in", C_in, 1);
}

void GemmInt8::load_weights(const WeightFetch& fetch) {
    std::vector<int8_t> w;
    std::vector<float> rs;
    std::vector<int64_t> eb;
    fetch_requant_weights(kOp, name, fetch, int64_t(C_out) * C_in, C_out, w, rs, eb);
    packed = Buffer();
    packed_owner_.reset();
    device_packed_ = Buffer();
    weight = std::move(w);
    req_scale = std::move(rs);
    eff_bias = std::move(eb);
    requant_rows(req_scale, weight, C_in, multiplier, shift, row_sums);
    packed = pack_s8_shared(kOp, name,
                            "GemmInt8:" + name + ".weight:" + std::to_string(C_out) + "x" + std::to_string(C_in),
                            weight.data(), C_out, C_in, packed_owner_);
}

Shape3 GemmInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                         ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_flat_input(kOp, name, inputs, num_inputs, output, C_in, C_out, !packed.empty(), 1);
    float* y = static_cast<float*>(output->data);
    const int8_t* x = static_cast<const int8_t*>(inputs[0].data);
    const int8_t* bp = static_cast<const int8_t*>(packed.data);
    if (be.k_gemm_s8_requant)
        be.k_gemm_s8_requant(x, bp, eff_bias.data(), nullptr, nullptr, req_scale.data(), 0, y, true, 1, C_in,
                             C_out, false, false, row_sums.data(), ctx ? ctx->stream : nullptr);
    else
        gemm_s8_f32out(x, bp, eff_bias.data(), req_scale.data(), y, 1, C_in, C_out);
    if (relu)
        for (int32_t n = 0; n < C_out; ++n)
            if (y[n] <= 0.0f) y[n] = 0.0f;
    return Shape3{C_out, 1, 1};
}

void GemmInt8::upload_weights(Allocator& alloc) {
    if (!alloc.is_device() || packed.empty()) return;
    device_packed_ = alloc.make_buffer(size_t(packed.size));
    alloc.copy_to_device(device_packed_.data, packed.data, size_t(packed.size));
}

std::unique_ptr<ILayer> create_gemm_int8(const LayerInit& in) {
    return std::make_unique<GemmInt8>(in.name, in.args.i("C_out"), in.args.i("C_in"), in.args.i("in_zp"));
}

}  // namespace vantrel
