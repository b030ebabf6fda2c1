#include "layers/audio/style_projection.h"

#include <cstring>

#include "kernels/gemm/gemm_f32.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/fetch_typed_tensor.h"
#include "layers/common/packed_f32_buffer.h"
#include "layers/common/layer_checks.h"

namespace vantrel {

void StyleProjection::load(const char* op, const std::string& node, const WeightFetch& fetch, int32_t c,
                           int32_t s) {
    c_ = c;
    s_ = s;
    const int64_t rows = 2 * int64_t(c), n = rows * s;
    const std::string a = node + ".fc.weight";
    std::vector<float> w;
    std::vector<int8_t> q;
    if (fetch_typed_tensor_if(op, node, fetch, a + "_i8", n, "int8", false, q)) {
        std::vector<float> scale;
        // The scales' name replaces the text after the weight name's last '.'.
        const std::string sname = a.substr(0, a.rfind('.') + 1) + "w_scales";
        fetch_typed_tensor(op, node, fetch, sname, rows, "float32", scale);
        w.resize(size_t(n));
        for (int64_t r = 0; r < rows; ++r)
            for (int64_t k = 0; k < s; ++k) w[size_t(r * s + k)] = float(q[size_t(r * s + k)]) * scale[size_t(r)];
    } else {
        fetch_f32_tensor(op, node, fetch, a, n, true, w);
    }
    std::vector<float> b;
    const WeightFetch bias_fetch = [&](const std::string& nm, std::vector<int>& sh, std::vector<uint8_t>& bytes,
                                       uint64_t max_bytes) {
        return fetch(nm, sh, bytes, max_bytes) && !bytes.empty();
    };
    fetch_f32_tensor(op, node, bias_fetch, node + ".fc.bias", rows, false, b);
    packed_ = Buffer();
    packed_owner_.reset();
    device_weight_ = Buffer();
    device_bias_ = Buffer();
    device_proj_ = Buffer();
    weight = std::move(w);
    bias = std::move(b);
    packed_ = pack_f32_shared(op, node,
                              std::string(op) + ":" + node + ".fc.weight:" + std::to_string(rows) + "x" +
                                  std::to_string(s),
                              weight.data(), int32_t(rows), s, packed_owner_);
    loaded_ = true;
}

const float* StyleProjection::project(const Backend& be, const float* style, void* stream) {
    const int32_t rows = 2 * c_;
    if (proj_.size() < size_t(rows)) proj_.resize(size_t(rows));
    KLinearF32 linear = be.k_linear_f32 ? be.k_linear_f32 : &linear_f32;
    // Without a packed block the linear kernel packs for this call.
    linear(style, weight.empty() ? nullptr : weight.data(), bias.empty() ? nullptr : bias.data(),
           proj_.data(), s_, rows, packed_.empty() ? nullptr : static_cast<const float*>(packed_.data), stream);
    return proj_.data();
}

void StyleProjection::upload(Allocator& alloc) {
    if (!alloc.is_device() || !loaded_) return;
    auto copy = [&](const std::vector<float>& v) {
        Buffer d = alloc.make_buffer(v.size() * sizeof(float));
        alloc.copy_to_device(d.data, v.data(), v.size() * sizeof(float));
        return d;
    };
    device_weight_ = copy(weight);
    if (!bias.empty()) device_bias_ = copy(bias);
    device_proj_ = alloc.make_buffer(size_t(2 * int64_t(c_)) * sizeof(float));
}

const float* StyleProjection::project_on_device(const Backend& be, const float* style, void* stream) {
    be.k_linear_f32(style, static_cast<const float*>(device_weight_.data),
                    device_bias_.empty() ? nullptr : static_cast<const float*>(device_bias_.data),
                    static_cast<float*>(device_proj_.data), s_, 2 * c_, nullptr, stream);
    return static_cast<const float*>(device_proj_.data);
}

void StyleProjection::release_host() {
    std::vector<float>().swap(proj_);
    // The packed block carries the weights on the host; the raw matrix is
    // only needed where nothing was packed.
    if (!packed_.empty()) std::vector<float>().swap(weight);
}

}  // namespace vantrel
