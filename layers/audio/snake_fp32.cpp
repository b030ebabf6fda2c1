#include "layers/audio/snake_fp32.h"

#include <cstring>

#include "kernels/audio/snake_f32.h"
#include "layers/common/checked_extent.h"
#include "layers/common/fetch_typed_tensor.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "snake1d_fp32";
}

void SnakeFp32::load_weights(const WeightFetch& fetch) {
    std::vector<int> shape;
    std::vector<uint8_t> bytes;
    const std::string tensor = name + ".alpha";
    // The channel count is the tensor's own length: a record beyond the
    // largest one is refused before its data is read, and a recorded shape
    // must hold exactly the values the bytes hold.
    uint64_t got = 0;
    if (!fetch_record(fetch, tensor, uint64_t(INT32_MAX) * 4, shape, bytes, got))
        layer_fail(kOp, name, "weight tensor '" + tensor + "' is missing");
    if (got == 0 || got % 4 != 0)
        layer_fail(kOp, name, "weight tensor '" + tensor + "' has " + std::to_string(got) +
                                  " bytes, not one or more float32 values");
    if (got / 4 > uint64_t(INT32_MAX)) layer_fail(kOp, name, "weight tensor '" + tensor + "' is too large");
    require_shape_holds(kOp, name, tensor, shape, got, int64_t(got / 4), "float32");
    std::vector<float> a(bytes.size() / 4), ia(a.size());
    std::memcpy(a.data(), bytes.data(), bytes.size());
    for (size_t i = 0; i < a.size(); ++i) ia[i] = 1.0f / (a[i] + 1e-9f);
    alpha = std::move(a);
    inv_alpha = std::move(ia);
    device_alpha_ = Buffer();
    device_inv_alpha_ = Buffer();
}

Shape3 SnakeFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                          ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    if (alpha.empty()) layer_fail(kOp, name, "weights are not loaded");
    const TensorView& x = inputs[0];
    if (int64_t(x.c) != int64_t(alpha.size()))
        layer_fail(kOp, name, "input has " + std::to_string(x.c) + " channels, '" + name + ".alpha' holds " +
                                  std::to_string(alpha.size()));
    const int32_t t = checked_int32_count(kOp, name, checked_elements(kOp, name, "input 0", 1, x.h, x.w, 4));
    const int64_t n = checked_elements(kOp, name, "input 0", x.c, x.h, x.w, 4);
    checked_int32_count(kOp, name, n);
    require_view_holds(kOp, name, "input 0", x.bytes, n, 4);
    require_output_extent(kOp, name, output, n, 4);
    if (t == 0) return x.shape();
    const bool dev = !device_alpha_.empty();
    KSnakeF32 k = be.k_snake_f32 ? be.k_snake_f32 : &k_snake_f32;
    k(static_cast<const float*>(x.data), static_cast<float*>(output->data),
      dev ? static_cast<const float*>(device_alpha_.data) : alpha.data(),
      dev ? static_cast<const float*>(device_inv_alpha_.data) : inv_alpha.data(), t, x.c,
      ctx ? ctx->stream : nullptr);
    return x.shape();
}

void SnakeFp32::upload_weights(Allocator& alloc) {
    if (!alloc.is_device() || alpha.empty()) return;
    const size_t bytes = alpha.size() * sizeof(float);
    device_alpha_ = alloc.make_buffer(bytes);
    alloc.copy_to_device(device_alpha_.data, alpha.data(), bytes);
    device_inv_alpha_ = alloc.make_buffer(bytes);
    alloc.copy_to_device(device_inv_alpha_.data, inv_alpha.data(), bytes);
}

std::unique_ptr<ILayer> create_snake1d_fp32(const LayerInit&) {
    return std::make_unique<SnakeFp32>();
}

}  // namespace vantrel
