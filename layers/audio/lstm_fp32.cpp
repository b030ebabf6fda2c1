#include "layers/audio/lstm_fp32.h"

#include <cstring>

#include "kernels/gemm/gemm_f32.h"
#include "kernels/audio/lstm_f32.h"
#include "kernels/parallel/strip_pool.h"
#include "layers/common/fetch_f32_tensor.h"
#include "layers/common/fetch_typed_tensor.h"
#include "layers/common/layer_buffers.h"
#include "layers/common/layer_checks.h"
#include "loader/op_registry.h"

namespace vantrel {

namespace {
constexpr const char* kOp = "lstm_fp32";

Buffer packed_block(const float* w, int32_t n, int32_t k) {
    return Buffer(pack_f32(w, n, k), 0, packed_f32_bytes(n, k),
                  [](void* p) { free_packed_f32(static_cast<float*>(p)); });
}

// An empty tensor means no bias, like an absent one.
WeightFetch non_empty(const WeightFetch& fetch) {
    return [&fetch](const std::string& n, std::vector<int>& shape, std::vector<uint8_t>& bytes,
                    uint64_t max_bytes) { return fetch(n, shape, bytes, max_bytes) && !bytes.empty(); };
}

const float* or_null(const std::vector<float>& v) { return v.empty() ? nullptr : v.data(); }

// Per-direction working memory, allocated before the parallel region so that
// nothing inside it can throw.
struct Work {
    std::vector<float> proj, z, h, c;
    Work(int64_t t, int64_t hidden) : proj(size_t(t * 4 * hidden)), z(size_t(4 * hidden)), h(size_t(hidden)),
                                      c(size_t(hidden)) {}
};

// One direction over T steps into `rows` (T rows of H floats at row stride
// `stride`).
void run_direction(const LstmFp32::Direction& d, const float* x, int32_t T, int32_t I, int32_t H,
                   bool reverse, Work& w, float* rows, int64_t stride) {
    const int32_t G = 4 * H;
    gemm_f32(x, static_cast<const float*>(d.packed_ih.data), or_null(d.b_ih), w.proj.data(), false, T, I, G, false);
    std::fill(w.h.begin(), w.h.end(), 0.0f);
    std::fill(w.c.begin(), w.c.end(), 0.0f);
    const float* b_hh = or_null(d.b_hh);
    for (int64_t s = 0; s < T; ++s) {
        const int64_t t = reverse ? T - 1 - s : s;
        gemm_f32(w.h.data(), static_cast<const float*>(d.packed_hh.data), b_hh, w.z.data(), false, 1, H, G, false);
        lstm_cell_f32(w.z.data(), w.proj.data() + t * G, w.c.data(), w.h.data(), H);
        std::memcpy(rows + t * stride, w.h.data(), size_t(H) * sizeof(float));
    }
}
}  // namespace

LstmFp32::LstmFp32(const std::string& node_name, int32_t hidden_size_, bool bidirectional_)
    : hidden_size(hidden_size_), bidirectional(bidirectional_) {
    name = node_name;
    require_arg_at_least(kOp, name, "hidden_size", hidden_size, 1);
    // The gate width 4H is a 32-bit GEMM extent.
    if (hidden_size > INT32_MAX / 4)
        layer_fail(kOp, name, "argument 'hidden_size' (" + std::to_string(hidden_size) + ") is too large");
}

void LstmFp32::load_weights(const WeightFetch& fetch) {
    const int64_t H = hidden_size, G = 4 * H;
    const int ndir = bidirectional ? 2 : 1;
    loaded_ = false;
    for (Direction& d : dir) d = Direction();
    input_size = 0;

    // I is not an argument: the forward input weights define it, and every
    // other tensor must then match exactly. A record beyond the largest
    // input size is refused before its data is read, and a recorded shape
    // must hold exactly the values the bytes hold.
    std::vector<float> w_ih0;
    {
        std::vector<int> shape;
        std::vector<uint8_t> bytes;
        const std::string t = name + ".weight_ih_l0";
        uint64_t got = 0;
        if (!fetch_record(fetch, t, mul_sat(uint64_t(G) * 4, uint64_t(INT32_MAX)), shape, bytes, got))
            layer_fail(kOp, name, "weight tensor '" + t + "' is missing");
        const uint64_t n = got / 4;
        if (got % 4 != 0 || n == 0 || n % uint64_t(G) != 0 || n / uint64_t(G) > uint64_t(INT32_MAX))
            layer_fail(kOp, name, "weight tensor '" + t + "' has " + std::to_string(got) +
                                      " bytes, expected a positive multiple of 4*hidden_size = " +
                                      std::to_string(G) + " float32 values");
        require_shape_holds(kOp, name, t, shape, got, int64_t(n), "float32");
        input_size = int32_t(n / uint64_t(G));
        w_ih0.resize(size_t(n));
        std::memcpy(w_ih0.data(), bytes.data(), size_t(got));
    }
    const int64_t I = input_size;
    const WeightFetch bias_fetch = non_empty(fetch);
    for (int r = 0; r < ndir; ++r) {
        const std::string sfx = r ? "_l0_reverse" : "_l0";
        Direction& d = dir[r];
        if (r == 0)
            d.w_ih = std::move(w_ih0);
        else
            fetch_f32_tensor(kOp, name, fetch, name + ".weight_ih" + sfx, G * I, true, d.w_ih);
        fetch_f32_tensor(kOp, name, fetch, name + ".weight_hh" + sfx, G * H, true, d.w_hh);
        fetch_f32_tensor(kOp, name, bias_fetch, name + ".bias_ih" + sfx, G, false, d.b_ih);
        fetch_f32_tensor(kOp, name, bias_fetch, name + ".bias_hh" + sfx, G, false, d.b_hh);
    }
    const Backend& be = active_backend_or_throw();
    for (int r = 0; r < ndir; ++r) {
        Direction& d = dir[r];
        d.packed_ih = packed_block(d.w_ih.data(), int32_t(G), int32_t(I));
        d.packed_hh = packed_block(d.w_hh.data(), int32_t(G), int32_t(H));
        // Only a device kernel reads the raw matrices.
        if (!be.k_lstm_f32) {
            std::vector<float>().swap(d.w_ih);
            std::vector<float>().swap(d.w_hh);
        }
    }
    loaded_ = true;
}

Shape3 LstmFp32::output_shape(Shape3 in) const {
    return Shape3{(bidirectional ? 2 : 1) * hidden_size, in.h < 0 ? 0 : in.h, in.w < 0 ? 0 : in.w};
}

void LstmFp32::upload_weights(Allocator& alloc) {
    if (!alloc.is_device() || !active_backend_or_throw().k_lstm_f32) return;
    auto copy = [&](const std::vector<float>& host) {
        if (host.empty()) return Buffer();
        Buffer b = alloc.make_buffer(host.size() * sizeof(float));
        alloc.copy_to_device(b.data, host.data(), host.size() * sizeof(float));
        return b;
    };
    for (Direction& d : dir) {
        d.dev_w_ih = copy(d.w_ih);
        d.dev_w_hh = copy(d.w_hh);
        d.dev_b_ih = copy(d.b_ih);
        d.dev_b_hh = copy(d.b_hh);
    }
}

Shape3 LstmFp32::forward(const TensorView* inputs, int num_inputs, const BufferView* output,
                         ExecContext* ctx) {
    const Backend& be = active_backend_or_throw();
    require_inputs(kOp, name, num_inputs, 1);
    if (!loaded_) layer_fail(kOp, name, "weights are not loaded");
    const TensorView& x = inputs[0];
    if (x.c != input_size)
        layer_fail(kOp, name, "input has " + std::to_string(x.c) + " features per step, the weights expect " +
                                  std::to_string(input_size));
    const Shape3 os = output_shape(x.shape());
    const int64_t T = int64_t(os.h) * os.w, H = hidden_size, D = bidirectional ? 2 : 1;
    const int32_t steps = checked_int32_count(kOp, name, T);
    require_input_extent(kOp, name, inputs, 0, 4);
    require_output_extent(kOp, name, output, T * D * H, 4);
    if (T == 0) return os;
    const float* in = static_cast<const float*>(x.data);
    float* out = static_cast<float*>(output->data);

    if (x.on_device == 3 && be.k_lstm_f32) {
        auto pick = [](const Buffer& dev, const std::vector<float>& host) {
            return dev.empty() ? or_null(host) : static_cast<const float*>(dev.data);
        };
        const Direction &f = dir[0], &r = dir[1];
        be.k_lstm_f32(in, pick(f.dev_w_ih, f.w_ih), pick(f.dev_w_hh, f.w_hh), pick(f.dev_b_ih, f.b_ih),
                      pick(f.dev_b_hh, f.b_hh), pick(r.dev_w_ih, r.w_ih), pick(r.dev_w_hh, r.w_hh),
                      pick(r.dev_b_ih, r.b_ih), pick(r.dev_b_hh, r.b_hh), out, steps, input_size, hidden_size,
                      bidirectional, ctx ? ctx->stream : nullptr);
        return os;
    }

    if (!bidirectional) {
        Work w(T, H);
        run_direction(dir[0], in, steps, input_size, hidden_size, false, w, out, H);
        return os;
    }
    Work wf(T, H), wr(T, H);
    std::vector<float> fwd(static_cast<size_t>(T * H)), rev(static_cast<size_t>(T * H));
    // One direction a thread; inside an enclosing region they run one after
    // the other.
    const int team = strip_team();
    run_strips(2, team, [&](int64_t d, int) {
        if (d == 0)
            run_direction(dir[0], in, steps, input_size, hidden_size, false, wf, fwd.data(), H);
        else
            run_direction(dir[1], in, steps, input_size, hidden_size, true, wr, rev.data(), H);
    });
    for (int64_t t = 0; t < T; ++t) {
        std::memcpy(out + t * 2 * H, fwd.data() + t * H, size_t(H) * sizeof(float));
        std::memcpy(out + t * 2 * H + H, rev.data() + t * H, size_t(H) * sizeof(float));
    }
    return os;
}

std::unique_ptr<ILayer> create_lstm_fp32(const LayerInit& in) {
    return std::make_unique<LstmFp32>(in.name, in.args.i("hidden_size"), in.args.b("bidirectional"));
}

}  // namespace vantrel
