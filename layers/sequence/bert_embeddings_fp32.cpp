#include "layers/sequence/bert_embeddings_fp32.h"

#include <cmath>
#include <cstring>

#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/layer_checks.h"
#include "layers/sequence/fetch_f32_table.h"
#include "layers/sequence/sequence_extent.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "bert_embeddings_fp32";
constexpr float kEps = 1e-12f;
}  // namespace

BertEmbeddingsFp32::BertEmbeddingsFp32(const std::string& node_name, int32_t emb_size) : E(emb_size) {
    name = node_name;
    require_arg_at_least(kOp, name, "emb_size", E, 1);
}

void BertEmbeddingsFp32::load_weights(const WeightFetch& fetch) {
    if (!fetch) return;
    std::vector<float> w, p, t, g, b;
    fetch_f32_table(kOp, name, fetch, name + ".word_weight", E, true, w);
    fetch_f32_table(kOp, name, fetch, name + ".pos_weight", E, true, p);
    fetch_f32_table(kOp, name, fetch, name + ".type_weight", E, false, t);
    fetch_f32_tensor(kOp, name, fetch, name + ".layernorm.weight", E, false, g);
    fetch_f32_tensor(kOp, name, fetch, name + ".layernorm.bias", E, false, b);
    word = std::move(w);
    pos = std::move(p);
    type = std::move(t);
    gamma = std::move(g);
    beta = std::move(b);
}

Shape3 BertEmbeddingsFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                                   ExecContext* /*ctx*/) {
    active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    if (word.empty() || pos.empty()) layer_fail(kOp, name, "weights are not loaded");
    const TensorView& x = inputs[0];
    require_one_id_per_position(kOp, name, x);
    const int64_t T = token_count(x);
    const int64_t n = E;
    const int64_t vocab = int64_t(word.size()) / n, positions = int64_t(pos.size()) / n;
    require_view_holds(kOp, name, "input 0", x.bytes, T, 4);
    if (T > positions)
        layer_fail(kOp, name, "sequence of " + std::to_string(T) + " tokens is longer than the " +
                                  std::to_string(positions) + " rows of '" + name + ".pos_weight'");
    require_output_extent(kOp, name, output, checked_product(kOp, name, "output", T, n), 4);
    const Shape3 out_shape = output_shape(x.shape());
    if (T == 0) return out_shape;

    // Ids are read before any output row is written: the output may share
    // the input's buffer.
    std::vector<int64_t> ids(static_cast<size_t>(T));
    const float* raw = static_cast<const float*>(x.data);
    for (int64_t t = 0; t < T; ++t) {
        const float v = raw[t];
        // Compared before the conversion, so NaN and huge values never reach it.
        if (!(v > -1.0f && double(v) < double(vocab)))
            layer_fail(kOp, name, "token id " + std::to_string(v) + " at position " + std::to_string(t) +
                                      " is outside the " + std::to_string(vocab) + " rows of '" + name +
                                      ".word_weight'");
        ids[size_t(t)] = int64_t(v);
    }

    // Each vector that is present applies: a gamma without a beta still
    // scales, a beta without a gamma still shifts.
    const bool has_gamma = !gamma.empty(), has_beta = !beta.empty();
    const float inv = 1.0f / float(E);
    float* out = static_cast<float*>(output->data);
    for (int64_t t = 0; t < T; ++t) {
        const float* wr = word.data() + ids[size_t(t)] * n;
        const float* pr = pos.data() + t * n;
        float* e = out + t * n;
        for (int64_t j = 0; j < n; ++j) {
            float s = wr[j] + pr[j];
            if (!type.empty()) s = s + type[size_t(j)];
            e[j] = s;
        }
        float sum = 0.0f;
        for (int64_t j = 0; j < n; ++j) sum = sum + e[j];
        const float mean = sum * inv;
        float sq = 0.0f;
        for (int64_t j = 0; j < n; ++j) {
            const float d = e[j] - mean;
            sq = sq + d * d;
        }
        const float r = 1.0f / std::sqrt(sq * inv + kEps);
        for (int64_t j = 0; j < n; ++j) {
            float y = (e[j] - mean) * (has_gamma ? gamma[size_t(j)] * r : r);
            e[j] = has_beta ? y + beta[size_t(j)] : y;
        }
    }
    return out_shape;
}

std::unique_ptr<ILayer> create_bert_embeddings_fp32(const LayerInit& in) {
    return std::make_unique<BertEmbeddingsFp32>(in.name, in.args.i("emb_size"));
}

}  // namespace vantrel
