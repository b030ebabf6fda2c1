#include "layers/image/gemm_int8.h"

#include "kernels/gemm/gemm_s8.h"
#include "kernels/quantize.h"
#include "layers/common/fetch_typed_tensor.h"
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
    fetch_typed_tensor(kOp, name, fetch, name + ".weight", int64_t(C_out) * C_in, "int8", w);
    fetch_typed_tensor(kOp, name, fetch, name + ".req_scale", C_out, "float32", rs);
    require_scales(kOp, name, name + ".req_scale", rs);
    fetch_typed_tensor(kOp, name, fetch, name + ".eff_bias", C_out, "int64", eb);
    packed = Buffer();
    packed_owner_.reset();
    device_packed_ = Buffer();
    weight = std::move(w);
    req_scale = std::move(rs);
    eff_bias = std::move(eb);
    multiplier.resize(size_t(C_out));
    shift.resize(size_t(C_out));
    row_sums.resize(size_t(C_out));
    for (size_t n = 0; n < size_t(C_out); ++n) {
        QuantMultiplier q = quantize_multiplier(req_scale[n]);
        multiplier[n] = q.multiplier;
        shift[n] = q.shift;
        int64_t s = 0;
        for (size_t k = 0; k < size_t(C_in); ++k) s += weight[n * size_t(C_in) + k];
        row_sums[n] = int32_t(uint32_t(uint64_t(s)));
    }
    packed = pack_s8_shared(kOp, name,
                            "GemmInt8:" + name + ".weight:" + std::to_string(C_out) + "x" + std::to_string(C_in),
                            weight.data(), C_out, C_in, packed_owner_);
}

Shape3 GemmInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                         ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    const int64_t n_in = element_count(inputs[0].shape());
    if (n_in != C_in)
        layer_fail(kOp, name, "input has " + std::to_string(n_in) + " elements, expected C_in = " +
                                  std::to_string(C_in));
    if (packed.empty()) layer_fail(kOp, name, "weights are not loaded");
    require_input_extent(kOp, name, inputs, 0, 1);
    require_output_extent(kOp, name, output, C_out, 4);
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
