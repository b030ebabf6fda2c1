#include "layers/sequence/embedding_fp32.h"

#include <cmath>
#include <cstring>

#include "kernels/elementwise/embedding_f32.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/layer_checks.h"
#include "layers/sequence/sequence_extent.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "embedding_fp32";
}

EmbeddingFp32::EmbeddingFp32(const std::string& node_name, int32_t num_embeddings, int32_t embedding_dim)
    : vocab(num_embeddings), dim(embedding_dim) {
    name = node_name;
    require_arg_at_least(kOp, name, "num_embeddings", vocab, 1);
    require_arg_at_least(kOp, name, "embedding_dim", dim, 1);
}

void EmbeddingFp32::load_weights(const WeightFetch& fetch) {
    if (!fetch) return;
    std::vector<float> w;
    fetch_f32_tensor(kOp, name, fetch, name + ".weight", int64_t(vocab) * dim, true, w);
    weight = std::move(w);
}

Shape3 EmbeddingFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                              ExecContext* /*ctx*/) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    if (weight.empty()) layer_fail(kOp, name, "weights are not loaded");
    const TensorView& x = inputs[0];
    require_one_id_per_position(kOp, name, x);
    const int64_t T = token_count(x);
    require_view_holds(kOp, name, "input 0", x.bytes, T, 4);
    require_output_extent(kOp, name, output, checked_product(kOp, name, "output", T, dim), 4);
    const Shape3 out = output_shape(x.shape());
    if (T == 0) return out;
    const int32_t n = checked_int32_count(kOp, name, T);
    // A private copy of the ids: the output may share the input's buffer.
    std::vector<float> ids(static_cast<size_t>(T));
    std::memcpy(ids.data(), x.data, size_t(T) * sizeof(float));
    // An id past the table has no row: refused, as the BERT embeddings do,
    // instead of being read as the nearest row (ids truncate toward zero).
    for (int64_t t = 0; t < T; ++t) {
        const float v = ids[size_t(t)];
        if (std::isnan(v)) layer_fail(kOp, name, "token id at position " + std::to_string(t) + " is NaN");
        if (!(v > -1.0f && double(v) < double(vocab)))
            layer_fail(kOp, name, "token id " + std::to_string(v) + " at position " + std::to_string(t) +
                                      " is outside the " + std::to_string(vocab) + " rows of '" + name +
                                      ".weight'");
    }
    // The layer runs on the host: a device backend's kernel would expect
    // device memory, and the host kernel serves an empty slot.
    KEmbeddingF32 fn =
        be.kind == kBackendHost && be.k_embedding_f32 ? be.k_embedding_f32 : &k_embedding_f32;
    fn(ids.data(), weight.data(), static_cast<float*>(output->data), n, vocab, dim);
    return out;
}

std::unique_ptr<ILayer> create_embedding_fp32(const LayerInit& in) {
    return std::make_unique<EmbeddingFp32>(in.name, in.args.i("num_embeddings"), in.args.i("embedding_dim"));
}

}  // namespace vantrel
