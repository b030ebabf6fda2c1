#include "layers/sequence/seq_gemm_fp32.h"

#include <algorithm>
#include <cmath>

#include "kernels/gemm/fake_quantize_u8.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/seq_gemm_f32.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/fetch_typed_tensor.h"
#include "layers/common/packed_f32_buffer.h"
#include "layers/common/layer_buffers.h"
#include "layers/common/layer_checks.h"
#include "layers/sequence/huge_page_advice.h"
#include "layers/sequence/seq_gemm_io.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {

constexpr const char* kOp = "seqgemm_fp32";

// Symmetric per-row codes: scale = amax / 127 (as amax * 0.007874016), or
// 1e-8 with all-zero codes for a row whose magnitude is at most 1e-8.
void quantize_weight_rows(const float* w, int64_t n, int64_t k, int8_t* q, float* scale) {
    for (int64_t r = 0; r < n; ++r) {
        const float* row = w + r * k;
        float amax = 0.0f;
        for (int64_t i = 0; i < k; ++i) amax = std::fmax(amax, std::fabs(row[i]));
        float inv = 0.0f;
        scale[r] = 1e-8f;
        if (amax > 1e-8f) {
            inv = 127.0f / amax;
            scale[r] = amax * 0.007874016f;
        }
        for (int64_t i = 0; i < k; ++i) {
            const float v = std::round(row[i] * inv);
            // NaN (a NaN weight, or an infinite one times inv = 0) becomes 0:
            // its integer conversion would be undefined.
            q[r * k + i] = std::isnan(v) ? int8_t(0) : int8_t(v < -128.0f ? -128.0f : (v > 127.0f ? 127.0f : v));
        }
    }
}

}  // namespace

SeqGemmFp32::SeqGemmFp32(const std::string& node_name, bool gelu_, int32_t C_out_, int32_t C_in_,
                         bool dynamic_quantize_, bool huge_page_hint_, bool step_int8_)
    : gelu(gelu_), C_out(C_out_), C_in(C_in_), dynamic_quantize(dynamic_quantize_),
      huge_page_hint(huge_page_hint_), step_int8(step_int8_) {
    name = node_name;
    require_arg_at_least(kOp, name, "C_out", C_out, 1);
    require_arg_at_least(kOp, name, "C_in", C_in, 1);
}

void SeqGemmFp32::load_weights(const WeightFetch& fetch) {
    const int64_t nk = int64_t(C_out) * C_in;
    std::vector<float> w, b;
    std::vector<int8_t> q;
    if (fetch_typed_tensor_if(kOp, name, fetch, name + ".weight_i8", nk, "int8", false, q)) {
        std::vector<float> s;
        fetch_typed_tensor(kOp, name, fetch, name + ".w_scales", C_out, "float32", s);
        w.resize(size_t(nk));
        for (int64_t r = 0; r < C_out; ++r)
            for (int64_t i = 0; i < C_in; ++i) w[r * C_in + i] = float(q[r * C_in + i]) * s[r];
    } else {
        fetch_typed_tensor(kOp, name, fetch, name + ".weight", nk, "float32", w);
    }
    fetch_f32_tensor(kOp, name, fetch, name + ".bias", C_out, false, b);

    packed = Buffer();
    packed_owner_.reset();
    device_packed_ = Buffer();
    device_rows_ = Buffer();
    device_scales_ = Buffer();
    weight = std::move(w);
    bias = std::move(b);
    token_rows.clear();
    token_scales.clear();
    if (step_int8) {
        token_rows.assign(size_t(nk), 0);
        token_scales.assign(size_t(C_out), 0.0f);
        quantize_weight_rows(weight.data(), C_out, C_in, token_rows.data(), token_scales.data());
    }
    packed = pack_f32_shared(kOp, name,
                             "SeqGemmFp32:" + name + ".weight:" + std::to_string(C_out) + "x" +
                                 std::to_string(C_in),
                             weight.data(), C_out, C_in, packed_owner_);
    if (huge_page_hint && !packed.on_device) advise_huge_pages(packed.data, packed.size);
}

Shape3 SeqGemmFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                            ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    const SeqGemmIo io = seq_gemm_io(kOp, name, inputs, num_inputs, output, C_in, C_out, !packed.empty());
    const Shape3 out{C_out, inputs[0].h, inputs[0].w};
    ConvEpilogueF32 epi;
    const Shape3 reported =
        residual_.active() ? residual_.bind(kOp, name, inputs, num_inputs, out, io.tokens * C_out, epi) : out;
    if (io.tokens == 0) return reported;
    void* stream = ctx ? ctx->stream : nullptr;
    const float* b = bias.empty() ? nullptr : bias.data();

    if (!residual_.active() && step_int8 && io.tokens == 1 && !token_rows.empty() && be.k_seq_gemm_f32_alt) {
        seq_gemm_one_token(kOp, name, be, io, device_rows_, token_rows.data(), device_scales_, token_scales.data(), b,
                           C_in, C_out, gelu, stream);
        return out;
    }

    const float* x = io.x;
    std::vector<float> fq;
    if (dynamic_quantize) {
        const int64_t n = io.tokens * C_in;
        fq.assign(x, x + n);
        fake_quantize_u8(fq.data(), n);
        x = fq.data();
    }
    const float* bp = static_cast<const float*>(device_packed_.data ? device_packed_.data : packed.data);
    // On the host the GELU runs on each tile while it is in cache rather
    // than as a pass of its own.
    const bool erf = !gelu_erf_node_.empty();
    KUnaryF32 erf_fn = nullptr;
    if (erf) {
        if (!be.k_gelu_erf_f32) layer_fail(kOp, name, "the active backend has no k_gelu_erf_f32 kernel");
        erf_fn = be.k_gelu_erf_f32;
    }
    const bool host = be.kind == kBackendHost && !device_packed_.data;
    // A lone token (a decoding step) keeps the sequence kernel, with its
    // own split of one row; the folded ops then follow as passes of their own.
    if (io.tokens > 1 && (epi.residual || (host && ((gelu && C_out % 4 == 0) || erf)))) {
        if (gelu) epi.row_fn = seq_gelu_kernel(kOp, name, be);
        epi.row_unary = erf_fn;
        gemm_f32_epi(x, bp, b, io.y, false, io.tokens32, C_in, C_out, false, &epi);
        return reported;
    }
    if (be.k_seq_gemm_f32) {
        be.k_seq_gemm_f32(x, weight.data(), b, io.y, io.tokens32, C_in, C_out, gelu, bp, stream);
    } else if (be.kind == kBackendHost && be.k_gemm_f32) {
        // The block came from this backend's k_pack_f32 (the active path's),
        // so its GEMM reads it.
        seq_gemm_f32_using(be.k_gemm_f32, &packed_f32_bytes, seq_gelu_kernel(kOp, name, be), x, b, io.y, io.tokens32,
                           C_in, C_out, gelu, bp, stream);
    } else {
        layer_fail(kOp, name, "the active backend has no k_seq_gemm_f32 kernel");
    }
    const int64_t total = io.tokens * C_out, chunk = int64_t(1) << 30;
    if (erf)
        for (int64_t i = 0; i < total; i += chunk)
            erf_fn(io.y + i, io.y + i, int32_t(std::min(chunk, total - i)), stream);
    if (epi.residual) {
        // bind() has checked the count against 32 bits.
        if (!be.k_add_f32) layer_fail(kOp, name, "the active backend has no k_add_f32 kernel");
        be.k_add_f32(io.y, epi.residual, io.y, int32_t(total), epi.residual_relu, stream);
    }
    return reported;
}

bool SeqGemmFp32::fuse_residual_add(const std::string& add_node, bool residual_first, bool relu) {
    if (step_int8 || (gelu && C_out % 4 != 0)) return false;
    return residual_.take(add_node, residual_first, relu);
}

bool SeqGemmFp32::fuse_gelu_erf(const std::string& gelu_node) {
    if (gelu || step_int8 || residual_.active() || !gelu_erf_node_.empty() || gelu_node.empty()) return false;
    gelu_erf_node_ = gelu_node;
    return true;
}

void SeqGemmFp32::upload_weights(Allocator& alloc) {
    if (!alloc.is_device() || packed.empty()) return;
    device_packed_ = device_copy(alloc, packed.data, size_t(packed.size));
    if (!token_rows.empty()) {
        device_rows_ = device_copy(alloc, token_rows);
        device_scales_ = device_copy(alloc, token_scales);
    }
}

std::unique_ptr<ILayer> create_seqgemm_fp32(const LayerInit& in) {
    return std::make_unique<SeqGemmFp32>(in.name, in.args.b("gelu"), in.args.i("C_out"), in.args.i("C_in"),
                                         in.args.b("dynamic_quantize"), is_decoder_weight_name(in.name),
                                         in.args.b("step_int8"));
}

}  // namespace vantrel
