#include "layers/image/gemm_fp32.h"

#include "kernels/gemm/gemm_f32.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/packed_f32_buffer.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "gemm_fp32";
}

GemmFp32::GemmFp32(const std::string& node_name, int32_t C_out_, int32_t C_in_)
    : C_in(C_in_), C_out(C_out_) {
    name = node_name;
    require_arg_at_least(kOp, name, "C_out", C_out, 1);
    require_arg_at_least(kOp, name, "C_in", C_in, 1);
}

void GemmFp32::load_weights(const WeightFetch& fetch) {
    std::vector<float> w, b;
    fetch_f32_tensor(kOp, name, fetch, name + ".weight", int64_t(C_out) * C_in, true, w);
    fetch_f32_tensor(kOp, name, fetch, name + ".bias", C_out, false, b);
    packed = Buffer();
    packed_owner_.reset();
    device_packed_ = Buffer();
    weight = std::move(w);
    bias = std::move(b);
    packed = pack_f32_shared(kOp, name,
                             "GemmFp32:" + name + ".weight:" + std::to_string(C_out) + "x" +
                                 std::to_string(C_in),
                             weight.data(), C_out, C_in, packed_owner_);
}

Shape3 GemmFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                         ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_flat_input(kOp, name, inputs, num_inputs, output, C_in, C_out, !packed.empty(), 4);
    float* y = static_cast<float*>(output->data);
    void* stream = ctx ? ctx->stream : nullptr;
    KLinearF32 linear = be.k_linear_f32 ? be.k_linear_f32 : &linear_f32;
    linear(static_cast<const float*>(inputs[0].data), weight.data(),
           bias.empty() ? nullptr : bias.data(), y, C_in, C_out,
           static_cast<const float*>(packed.data), stream);
    if (relu) {
        KInplaceF32 r = be.k_relu_f32 ? be.k_relu_f32 : &relu_f32;
        r(y, C_out, stream);
    }
    return Shape3{C_out, 1, 1};
}

void GemmFp32::upload_weights(Allocator& alloc) {
    if (!alloc.is_device() || packed.empty()) return;
    device_packed_ = alloc.make_buffer(size_t(packed.size));
    alloc.copy_to_device(device_packed_.data, packed.data, size_t(packed.size));
}

std::unique_ptr<ILayer> create_gemm_fp32(const LayerInit& in) {
    return std::make_unique<GemmFp32>(in.name, in.args.i("C_out"), in.args.i("C_in"));
}

}  // namespace vantrel
