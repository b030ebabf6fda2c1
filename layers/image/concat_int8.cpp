#include "layers/image/concat_int8.h"

#include "layers/common/checked_extent.h"
#include "layers/common/fetch_typed_tensor.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "concat_int8";
}

void ConcatInt8::load_weights(const WeightFetch& fetch) {
    const std::string key = name + ".tables";
    std::vector<int> shape;
    std::vector<uint8_t> bytes;
    tables.clear();
    identity.clear();
    // More tables than inputs a layer takes are refused before they are read.
    uint64_t got = 0;
    if (!fetch_record(fetch, key, 256 * uint64_t(kMaxLayerInputs), shape, bytes, got)) return;
    if (got == 0 || got % 256 != 0 || got > 256 * uint64_t(kMaxLayerInputs))
        layer_fail(kOp, name, "weight tensor '" + key + "' holds " + std::to_string(got) +
                                  " int8 values, expected 256 per input (at most " +
                                  std::to_string(kMaxLayerInputs) + " inputs)");
    tables.assign(reinterpret_cast<const int8_t*>(bytes.data()),
                  reinterpret_cast<const int8_t*>(bytes.data()) + bytes.size());
    for (size_t t = 0; t < tables.size() / 256; ++t) {
        bool same = true;
        for (int v = 0; v < 256; ++v) same = same && tables[t * 256 + size_t(v)] == int8_t(v - 128);
        identity.push_back(same);
    }
}

Shape3 ConcatInt8::output_shape_multi(const Shape3* inputs, int count) const {
    if (count <= 0) return Shape3{0, 0, 0};
    int64_t c = 0;
    for (int i = 0; i < count; ++i) c += nonnegative(inputs[i].c);
    return Shape3{int32_t(c > INT32_MAX ? INT32_MAX : c), inputs[0].h, inputs[0].w};
}

Shape3 ConcatInt8::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                           ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 2);
    if (num_inputs > kMaxLayerInputs)
        layer_fail(kOp, name, "has " + std::to_string(num_inputs) + " inputs (max " +
                                  std::to_string(kMaxLayerInputs) + ")");
    if (!tables.empty() && tables.size() != size_t(num_inputs) * 256)
        layer_fail(kOp, name, "weight tensor '" + name + ".tables' holds " + std::to_string(tables.size() / 256) +
                                  " tables for " + std::to_string(num_inputs) + " inputs");
    const TensorView& a = inputs[0];
    const int64_t rows = checked_elements(kOp, name, "input 0", 1, a.h, a.w, 1);
    checked_int32_count(kOp, name, rows);
    const int8_t* data[kMaxLayerInputs];
    const int8_t* maps[kMaxLayerInputs];
    int32_t chans[kMaxLayerInputs];
    int64_t c = 0;
    for (int i = 0; i < num_inputs; ++i) {
        const TensorView& v = inputs[i];
        if (v.h != a.h || v.w != a.w)
            layer_fail(kOp, name, "input " + std::to_string(i) + " is " + std::to_string(v.h) + "x" +
                                      std::to_string(v.w) + " (h x w), input 0 is " + std::to_string(a.h) + "x" +
                                      std::to_string(a.w) + "; concatenated inputs must have equal h and w");
        require_input_holds(kOp, name, inputs, i, 1);
        chans[i] = nonnegative(v.c);
        data[i] = static_cast<const int8_t*>(v.data);
        maps[i] = tables.empty() || identity[size_t(i)] ? nullptr : tables.data() + size_t(i) * 256;
        c += chans[i];
    }
    const int32_t c_out = checked_int32_count(kOp, name, c);
    require_output_extent(kOp, name, output, c * rows, 1);
    checked_int32_count(kOp, name, c * rows);
    if (c * rows > 0)
        require_kernel(kOp, name, be.k_concat_s8, "k_concat_s8")(data, maps, chans, num_inputs,
                                                                  static_cast<int8_t*>(output->data),
                                                                  int32_t(rows), stream_of(ctx));
    return Shape3{c_out, a.h, a.w};
}

std::unique_ptr<ILayer> create_concat_int8(const LayerInit& in) { return std::make_unique<ConcatInt8>(in.name); }

}  // namespace vantrel
